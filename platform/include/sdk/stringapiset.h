// kernel32 stand-in: conversion between UTF-16 and multi-byte code pages.
// Implemented in platform/win32/CodePage.cpp. Off Windows the "ANSI" code
// page (CP_ACP, CP_OEMCP, CP_THREAD_ACP) is UTF-8; other code pages are
// refused with ERROR_INVALID_PARAMETER.
#pragma once

#include "windef.h"
#include "winerror.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_MACCP 2
#define CP_THREAD_ACP 3
#define CP_UTF7 65000
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008

#define WC_COMPOSITECHECK 0x00000200
#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_NO_BEST_FIT_CHARS 0x00000400

typedef const CHAR *LPCCH, *PCCH;
typedef const WCHAR *LPCWCH, *PCWCH;

// Returns the number of units written (or, with a zero output size, needed),
// including the terminator when the input length is -1. 0 on failure, with
// GetLastError: ERROR_INVALID_PARAMETER, ERROR_INSUFFICIENT_BUFFER,
// ERROR_INVALID_FLAGS or ERROR_NO_UNICODE_TRANSLATION.
EXTERN_C int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                                        LPWSTR lpWideCharStr, int cchWideChar);
EXTERN_C int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                                        LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                                        LPBOOL lpUsedDefaultChar);
