// CClassFactory: the IClassFactory that DllGetClassObject hands to COM, one
// per request, creating objects from one factory template. The module's
// lock count (LockServer) lives here too; DllCanUnloadNow reads it.
//
// Ownership: COM reference counting; the factory counts itself among the
// module's live objects (CBaseObject), so the module stays loaded while COM
// holds a factory. The template is static data, not owned.
//
// Threads: any. The reference count and the lock count change atomically.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "framework/CBaseObject.h"
#include "server/CFactoryTemplate.h"

class CClassFactory : public IClassFactory, public CBaseObject {
 public:
  explicit CClassFactory(const CFactoryTemplate *pTemplate);

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IClassFactory
  // E_POINTER for a null ppv; with an outer unknown only IID_IUnknown may be
  // asked for (E_NOINTERFACE, nothing created); a failed creation gives its
  // result (E_OUTOFMEMORY when it gave none) and leaves no object behind; a
  // failed query destroys the new object.
  STDMETHODIMP CreateInstance(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) override;
  STDMETHODIMP LockServer(BOOL fLock) override;

  // TRUE while any LockServer(TRUE) is not yet matched by a LockServer(FALSE).
  static BOOL IsLocked();

 private:
  const CFactoryTemplate *const m_pTemplate;
  LONG volatile m_cRef = 0;
  static LONG volatile m_cLocked;
};
