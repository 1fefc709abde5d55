#include "framework/CEnumMediaTypes.h"

#include <climits>
#include <new>

#include "framework/CBasePin.h"
#include "framework/CMediaType.h"

CEnumMediaTypes::CEnumMediaTypes(CBasePin *pPin, CEnumMediaTypes *pEnum)
    : CBaseObject(TEXT("CEnumMediaTypes")), m_pPin(pPin) {
  if (pEnum) {
    m_Position = pEnum->m_Position;
    m_Version = pEnum->m_Version;
  } else {
    m_Version = pPin->GetMediaTypeVersion();
  }
  m_pPin->AddRef();
}

CEnumMediaTypes::~CEnumMediaTypes() { m_pPin->Release(); }

STDMETHODIMP CEnumMediaTypes::QueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IEnumMediaTypes) || IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IEnumMediaTypes *>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEnumMediaTypes::AddRef() { return static_cast<ULONG>(++m_cRef); }

STDMETHODIMP_(ULONG) CEnumMediaTypes::Release() {
  LONG ref = --m_cRef;
  if (ref == 0) delete this;
  return static_cast<ULONG>(ref < 0 ? 0 : ref);
}

bool CEnumMediaTypes::AreWeOutOfSync() const { return m_pPin->GetMediaTypeVersion() != m_Version; }

STDMETHODIMP CEnumMediaTypes::Next(ULONG cMediaTypes, AM_MEDIA_TYPE **ppMediaTypes, ULONG *pcFetched) {
  if (!ppMediaTypes) return E_POINTER;
  if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
  if (!pcFetched && cMediaTypes > 1) return E_INVALIDARG;
  if (pcFetched) *pcFetched = 0;

  ULONG fetched = 0;
  while (fetched < cMediaTypes && m_Position < INT_MAX) {
    CMediaType cmt;
    HRESULT hr = m_pPin->GetMediaType(m_Position++, &cmt);
    if (hr != S_OK) break;
    auto *pmt = static_cast<AM_MEDIA_TYPE *>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!pmt) break;
    // The format block and pUnk move to the new record: no second copy.
    *pmt = cmt;
    cmt.cbFormat = 0;
    cmt.pbFormat = nullptr;
    cmt.pUnk = nullptr;
    ppMediaTypes[fetched++] = pmt;
  }
  if (pcFetched) *pcFetched = fetched;
  return fetched == cMediaTypes ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumMediaTypes::Skip(ULONG cMediaTypes) {
  if (cMediaTypes == 0) return S_OK;
  if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
  const long long target = static_cast<long long>(m_Position) + cMediaTypes;
  m_Position = target > INT_MAX ? INT_MAX : static_cast<int>(target);
  CMediaType cmt;
  return m_pPin->GetMediaType(m_Position - 1, &cmt) == S_OK ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumMediaTypes::Reset() {
  m_Position = 0;
  m_Version = m_pPin->GetMediaTypeVersion();
  return S_OK;
}

STDMETHODIMP CEnumMediaTypes::Clone(IEnumMediaTypes **ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = nullptr;
  if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
  *ppEnum = new (std::nothrow) CEnumMediaTypes(m_pPin, this);
  return *ppEnum ? S_OK : E_OUTOFMEMORY;
}
