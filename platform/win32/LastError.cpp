// GetLastError / SetLastError: one value per thread, as on Windows.
#include <windows.h>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

EXTERN_C DWORD WINAPI GetLastError(void) { return t_lastError; }

EXTERN_C void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }
