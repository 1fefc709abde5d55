// user32 stand-in: wsprintf with Windows' format semantics (in a wide format
// %s is a wide string and %S a narrow one; in a narrow format the reverse;
// 'l' means 32 bits, as Windows' long). Output is limited to 1024 characters,
// terminator included, as with the real functions.
#pragma once

#include <cstdarg>

#include "winbase.h"

EXTERN_C int WINAPIV wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...);
EXTERN_C int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);
EXTERN_C int WINAPI wvsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, va_list arglist);
EXTERN_C int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist);
#define wsprintf wsprintfW
#define wvsprintf wvsprintfW
