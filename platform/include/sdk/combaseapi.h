// COM library functions (ole32): task memory, apartments, activation.
#pragma once

#include "unknwn.h"

typedef WCHAR OLECHAR;
typedef OLECHAR *LPOLESTR;
typedef const OLECHAR *LPCOLESTR;

typedef enum tagCOINIT {
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_MULTITHREADED = 0x0,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;
typedef enum tagCLSCTX {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
  CLSCTX_ALL = 0x17
} CLSCTX;
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)

EXTERN_C LPVOID STDAPICALLTYPE CoTaskMemAlloc(SIZE_T cb);
EXTERN_C LPVOID STDAPICALLTYPE CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
EXTERN_C void STDAPICALLTYPE CoTaskMemFree(LPVOID pv);

// ---- apartments and activation (platform/com) -----------------------------
#ifndef CO_E_CLASSSTRING
#define CO_E_CLASSSTRING _HRESULT_TYPEDEF_(0x800401F3L)
#endif
EXTERN_C HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
EXTERN_C HRESULT STDAPICALLTYPE CoInitialize(LPVOID pvReserved);
EXTERN_C void STDAPICALLTYPE CoUninitialize(void);
EXTERN_C HRESULT STDAPICALLTYPE CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                                                 LPVOID *ppv);
EXTERN_C HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                                 LPVOID *ppv);
EXTERN_C void STDAPICALLTYPE CoFreeUnusedLibraries(void);

// ---- GUID text ("{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}") ------------------
EXTERN_C int STDAPICALLTYPE StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
EXTERN_C HRESULT STDAPICALLTYPE StringFromCLSID(REFCLSID rclsid, LPOLESTR *lplpsz);
EXTERN_C HRESULT STDAPICALLTYPE StringFromIID(REFIID rclsid, LPOLESTR *lplpsz);
EXTERN_C HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
EXTERN_C HRESULT STDAPICALLTYPE IIDFromString(LPCOLESTR lpsz, LPIID lpiid);
