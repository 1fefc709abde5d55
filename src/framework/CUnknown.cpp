#include "framework/CUnknown.h"

CUnknown::CUnknown(LPCTSTR pName, LPUNKNOWN pUnk, HRESULT *phr)
    : CBaseObject(pName), m_inner(this), m_pUnknown(pUnk ? pUnk : &m_inner) {}

CUnknown::~CUnknown() = default;

STDMETHODIMP CUnknown::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown)) return GetInterface(&m_inner, ppv);
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef() {
  LONG ref = InterlockedIncrement(&m_cRef);
  return ref > 1 ? static_cast<ULONG>(ref) : 1u;
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease() {
  LONG ref = InterlockedDecrement(&m_cRef);
  if (ref == 0) {
    // Keeps a destructor that takes and drops a reference from deleting
    // the object a second time.
    m_cRef = 1;
    delete this;
    return 0;
  }
  return ref > 1 ? static_cast<ULONG>(ref) : 1u;
}

HRESULT GetInterface(LPUNKNOWN pUnk, void **ppv) {
  if (!ppv) return E_POINTER;
  *ppv = pUnk;
  pUnk->AddRef();
  return S_OK;
}
