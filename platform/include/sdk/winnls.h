// kernel32 stand-in: national language support. Only the code page
// conversions are provided (see stringapiset.h) plus the code page queries.
#pragma once

#include "stringapiset.h"

// The active code pages: UTF-8 off Windows.
EXTERN_C UINT WINAPI GetACP(void);
EXTERN_C UINT WINAPI GetOEMCP(void);
