// version.dll's entry points over VersionResource: GetFileVersionInfoSizeW/A,
// GetFileVersionInfoW/A, VerQueryValueW.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "win32/CodePage.h"
#include "win32/VersionResource.h"

namespace {

DWORD BlockSize(const std::string &path, LPDWORD handle) {
  if (handle) *handle = 0;
  std::vector<BYTE> block;
  if (DWORD rc = tp::win32::ReadVersionBlock(path, block); rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return 0;
  }
  return static_cast<DWORD>(block.size());
}

BOOL CopyBlock(const std::string &path, DWORD length, LPVOID data) {
  if (!data || length == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<BYTE> block;
  if (DWORD rc = tp::win32::ReadVersionBlock(path, block); rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return FALSE;
  }
  const size_t n = std::min<size_t>(length, block.size());
  std::memcpy(data, block.data(), n);
  // A shortened copy says so in its root length, so that VerQueryValue (which
  // has only the block to go by) never reads past the caller's buffer.
  if (n < block.size() && n >= 2) {
    static_cast<BYTE *>(data)[0] = static_cast<BYTE>(n & 0xFF);
    static_cast<BYTE *>(data)[1] = static_cast<BYTE>(n >> 8);
  } else if (n < 2) {
    static_cast<BYTE *>(data)[0] = 0;
  }
  return TRUE;
}

}  // namespace

EXTERN_C DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle) {
  if (!lptstrFilename) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return BlockSize(tp::win32::PathFromWide(lptstrFilename), lpdwHandle);
}

EXTERN_C DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle) {
  if (!lptstrFilename) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return BlockSize(tp::win32::PathFromNarrow(lptstrFilename), lpdwHandle);
}

EXTERN_C BOOL WINAPI GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData) {
  if (!lptstrFilename) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return CopyBlock(tp::win32::PathFromWide(lptstrFilename), dwLen, lpData);
}

EXTERN_C BOOL WINAPI GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData) {
  if (!lptstrFilename) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return CopyBlock(tp::win32::PathFromNarrow(lptstrFilename), dwLen, lpData);
}

EXTERN_C BOOL WINAPI VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID *lplpBuffer, PUINT puLen) {
  if (!pBlock || !lpSubBlock || !lplpBuffer || !puLen) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const void *value = nullptr;
  UINT length = 0;
  if (!tp::win32::FindVersionValue(static_cast<const BYTE *>(pBlock), tp::win32::WideView(lpSubBlock), &value,
                                   &length)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  *lplpBuffer = const_cast<void *>(value);
  *puLen = length;
  return TRUE;
}
