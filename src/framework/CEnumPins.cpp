#include "framework/CEnumPins.h"

#include <new>

#include "framework/CBaseFilter.h"
#include "framework/CBasePin.h"

CEnumPins::CEnumPins(CBaseFilter *pFilter, CEnumPins *pEnum) : CBaseObject(TEXT("CEnumPins")), m_pFilter(pFilter) {
  if (pEnum) {
    m_Position = pEnum->m_Position;
    m_PinCount = pEnum->m_PinCount;
    m_Version = pEnum->m_Version;
    try {
      m_PinCache = pEnum->m_PinCache;
    } catch (const std::bad_alloc &) {
      m_valid = false;
    }
  } else {
    m_Version = pFilter->GetPinVersion();
    m_PinCount = pFilter->GetPinCount();
  }
  m_pFilter->AddRef();
}

CEnumPins::~CEnumPins() { m_pFilter->Release(); }

STDMETHODIMP CEnumPins::QueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IEnumPins) || IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IEnumPins *>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEnumPins::AddRef() { return static_cast<ULONG>(++m_cRef); }

STDMETHODIMP_(ULONG) CEnumPins::Release() {
  LONG ref = --m_cRef;
  if (ref == 0) delete this;
  return static_cast<ULONG>(ref < 0 ? 0 : ref);
}

bool CEnumPins::AreWeOutOfSync() const { return m_pFilter->GetPinVersion() != m_Version; }

void CEnumPins::Refresh() {
  m_Version = m_pFilter->GetPinVersion();
  m_PinCount = m_pFilter->GetPinCount();
  m_Position = 0;
}

STDMETHODIMP CEnumPins::Next(ULONG cPins, IPin **ppPins, ULONG *pcFetched) {
  if (!ppPins) return E_POINTER;
  if (!pcFetched && cPins > 1) return E_INVALIDARG;
  if (pcFetched) *pcFetched = 0;
  // The handed-out list survives the refresh, so no pin is given twice.
  if (AreWeOutOfSync()) Refresh();

  ULONG fetched = 0;
  while (fetched < cPins && m_Position < m_PinCount) {
    CBasePin *pin = m_pFilter->GetPin(m_Position++);
    if (!pin) {
      // The list shrank under us: take back what this call handed out so
      // that a caller seeing the failure leaks nothing.
      for (ULONG i = 0; i < fetched; ++i) {
        ppPins[i]->Release();
        ppPins[i] = nullptr;
        m_PinCache.pop_back();
      }
      return VFW_E_ENUM_OUT_OF_SYNC;
    }
    bool seen = false;
    for (CBasePin *p : m_PinCache) seen = seen || p == pin;
    if (seen) continue;
    try {
      m_PinCache.push_back(pin);
    } catch (const std::bad_alloc &) {
      --m_Position;
      break;
    }
    ppPins[fetched] = pin;
    pin->AddRef();
    ++fetched;
  }
  if (pcFetched) *pcFetched = fetched;
  return fetched == cPins ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumPins::Skip(ULONG cPins) {
  if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
  const long long left = static_cast<long long>(m_PinCount) - m_Position;
  if (left < static_cast<long long>(cPins)) return S_FALSE;
  m_Position += static_cast<int>(cPins);
  return S_OK;
}

STDMETHODIMP CEnumPins::Reset() {
  Refresh();
  m_PinCache.clear();
  return S_OK;
}

STDMETHODIMP CEnumPins::Clone(IEnumPins **ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = nullptr;
  if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
  auto *clone = new (std::nothrow) CEnumPins(m_pFilter, this);
  if (!clone) return E_OUTOFMEMORY;
  if (!clone->IsValid()) {
    clone->Release();
    return E_OUTOFMEMORY;
  }
  *ppEnum = clone;
  return S_OK;
}
