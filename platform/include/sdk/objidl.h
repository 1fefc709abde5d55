// COM object interfaces from ole32's IDL that DirectShow headers build on:
// IPersist, and the moniker interfaces, declared only as far as the
// filter mapper's signatures need them.
#pragma once

#include "unknwn.h"

TP_SDK_GUID(IID_IPersist, 0x0000010C, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
TP_SDK_GUID(IID_IMoniker, 0x0000000F, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
TP_SDK_GUID(IID_IEnumMoniker, 0x00000102, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

struct IPersist : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetClassID(CLSID *pClassID) = 0;
};
typedef IPersist *LPPERSIST;

// Monikers are not provided by the stand-in; pointers to them travel only
// as opaque out parameters.
struct IMoniker;
struct IEnumMoniker;
