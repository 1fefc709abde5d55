// OLE automation strings (oleaut32): BSTRs, as the automation interfaces
// hand them out. A BSTR points at its characters, NUL-terminated, after a
// 32-bit byte count; the caller frees it with SysFreeString.
#pragma once

#include "wtypes.h"

EXTERN_C BSTR WINAPI SysAllocString(const OLECHAR *psz);
// len characters from pch (uninitialised when pch is null), then a NUL.
EXTERN_C BSTR WINAPI SysAllocStringLen(const OLECHAR *pch, UINT len);
EXTERN_C void WINAPI SysFreeString(BSTR bstr);
// The characters, without the terminator; 0 for null.
EXTERN_C UINT WINAPI SysStringLen(BSTR bstr);
