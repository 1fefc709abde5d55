#include "server/CClassFactory.h"

#include "trace/Trace.h"

LONG volatile CClassFactory::m_cLocked = 0;

CClassFactory::CClassFactory(const CFactoryTemplate *pTemplate)
    : CBaseObject(TEXT("Class Factory")), m_pTemplate(pTemplate) {}

STDMETHODIMP CClassFactory::QueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *ppv = static_cast<IClassFactory *>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CClassFactory::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }

STDMETHODIMP_(ULONG) CClassFactory::Release() {
  const LONG ref = InterlockedDecrement(&m_cRef);
  if (ref == 0) {
    delete this;
    return 0;
  }
  return static_cast<ULONG>(ref);
}

STDMETHODIMP CClassFactory::CreateInstance(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  // An aggregated object can only hand its outer object the inner unknown.
  if (pUnkOuter && !IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;

  HRESULT hr = S_OK;
  CUnknown *object = m_pTemplate->CreateInstance(pUnkOuter, &hr);
  if (!object) {
    if (SUCCEEDED(hr)) hr = E_OUTOFMEMORY;
    TraceA8("CClassFactory::CreateInstance failed(0x%x)\n", hr);
    return hr;
  }
  if (FAILED(hr)) {
    TraceA8("CClassFactory::CreateInstance failed(0x%x)\n", hr);
    delete object;
    return hr;
  }
  // The query takes the reference handed out; the object goes with the
  // last release if the query fails.
  object->NonDelegatingAddRef();
  hr = object->NonDelegatingQueryInterface(riid, ppv);
  object->NonDelegatingRelease();
  return hr;
}

STDMETHODIMP CClassFactory::LockServer(BOOL fLock) {
  if (fLock)
    InterlockedIncrement(&m_cLocked);
  else
    InterlockedDecrement(&m_cLocked);
  return S_OK;
}

BOOL CClassFactory::IsLocked() { return InterlockedCompareExchange(&m_cLocked, 0, 0) > 0; }
