#include "framework/CBasePin.h"

#include <new>

#include "framework/CBaseFilter.h"
#include "framework/CEnumMediaTypes.h"

namespace {

// Refusals that only mean "not this type"; anything else is a reason worth
// reporting to the caller of Connect.
bool IsPlainRefusal(HRESULT hr) { return hr == E_FAIL || hr == E_INVALIDARG || hr == VFW_E_TYPE_NOT_ACCEPTED; }

size_t WideLength(LPCWSTR s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

}  // namespace

CBasePin::CBasePin(LPCTSTR pObjectName, CBaseFilter *pFilter, CCritSec *pLock, HRESULT *phr, LPCWSTR pName,
                   PIN_DIRECTION dir)
    : CUnknown(pObjectName, nullptr), m_dir(dir), m_pLock(pLock), m_pFilter(pFilter) {
  if (pName) {
    size_t n = WideLength(pName);
    m_pName = new (std::nothrow) WCHAR[n + 1];
    if (m_pName) {
      for (size_t i = 0; i <= n; ++i) m_pName[i] = pName[i];
    }
  }
}

CBasePin::~CBasePin() {
  // A pin is destroyed by its filter; a connection still held is dropped
  // here so the peer is not leaked.
  if (m_Connected) {
    m_Connected->Release();
    m_Connected = nullptr;
  }
  delete[] m_pName;
}

// INonDelegatingUnknown ------------------------------------------------------

STDMETHODIMP CBasePin::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IPin)) return GetInterface(static_cast<IPin *>(this), ppv);
  if (IsEqualIID(riid, IID_IQualityControl)) return GetInterface(static_cast<IQualityControl *>(this), ppv);
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) CBasePin::NonDelegatingAddRef() { return static_cast<IBaseFilter *>(m_pFilter)->AddRef(); }

STDMETHODIMP_(ULONG) CBasePin::NonDelegatingRelease() { return static_cast<IBaseFilter *>(m_pFilter)->Release(); }

bool CBasePin::IsStopped() const { return m_pFilter->IsStopped(); }

// Connection
// -------------------------------------------------------------------

STDMETHODIMP CBasePin::Connect(IPin *pReceivePin, const AM_MEDIA_TYPE *pmt) {
  if (!pReceivePin) return E_POINTER;
  CAutoLock lock(m_pLock);
  if (m_Connected) return VFW_E_ALREADY_CONNECTED;
  if (!IsStopped() && !m_bCanReconnectWhenActive) return VFW_E_NOT_STOPPED;

  HRESULT hr = AgreeMediaType(pReceivePin, static_cast<const CMediaType *>(pmt));
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  return S_OK;
}

HRESULT CBasePin::AgreeMediaType(IPin *pReceivePin, const CMediaType *pmt) {
  // A complete type is the caller's final word: nothing else is tried.
  if (pmt && !pmt->IsPartiallySpecified()) return AttemptConnection(pReceivePin, pmt);

  HRESULT hrFailure = VFW_E_NO_ACCEPTABLE_TYPES;
  for (int pass = 0; pass < 2; ++pass) {
    const bool peerTypes = (pass == 0) != (m_bTryMyTypesFirst != FALSE);
    IEnumMediaTypes *pEnum = nullptr;
    HRESULT hr = peerTypes ? pReceivePin->EnumMediaTypes(&pEnum) : EnumMediaTypes(&pEnum);
    if (FAILED(hr) || !pEnum) continue;
    hr = TryMediaTypes(pReceivePin, pmt, pEnum);
    pEnum->Release();
    if (SUCCEEDED(hr)) return S_OK;
    if (!IsPlainRefusal(hr)) hrFailure = hr;
  }
  return hrFailure;
}

HRESULT CBasePin::TryMediaTypes(IPin *pReceivePin, const CMediaType *pmt, IEnumMediaTypes *pEnum) {
  HRESULT hr = pEnum->Reset();
  if (FAILED(hr)) return hr;

  HRESULT hrFailure = S_OK;
  for (int taken = 0; taken < kMaxTypesPerEnumerator; ++taken) {
    AM_MEDIA_TYPE *pMediaType = nullptr;
    ULONG fetched = 0;
    if (pEnum->Next(1, &pMediaType, &fetched) != S_OK) {
      // A broken enumerator may still have handed something out.
      if (pMediaType) DeleteMediaType(pMediaType);
      break;
    }
    hr = VFW_E_NO_ACCEPTABLE_TYPES;
    if (pMediaType) {
      const CMediaType *candidate = static_cast<const CMediaType *>(pMediaType);
      if (!pmt || candidate->MatchesPartial(pmt)) hr = AttemptConnection(pReceivePin, candidate);
      DeleteMediaType(pMediaType);
    }
    if (SUCCEEDED(hr)) return S_OK;
    if (!IsPlainRefusal(hr) && hrFailure == S_OK) hrFailure = hr;
  }
  return hrFailure == S_OK ? VFW_E_NO_ACCEPTABLE_TYPES : hrFailure;
}

HRESULT CBasePin::AttemptConnection(IPin *pReceivePin, const CMediaType *pmt) {
  HRESULT hr = CheckConnect(pReceivePin);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }

  hr = CheckMediaType(pmt);
  if (hr == S_OK) {
    // The peer counts as connected during the call-backs below.
    m_Connected = pReceivePin;
    m_Connected->AddRef();
    hr = SetMediaType(pmt);
    if (SUCCEEDED(hr)) {
      hr = pReceivePin->ReceiveConnection(static_cast<IPin *>(this), pmt);
      if (SUCCEEDED(hr)) {
        hr = CompleteConnect(pReceivePin);
        if (SUCCEEDED(hr)) return hr;
        pReceivePin->Disconnect();
      }
    }
  } else if (SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG) {
    hr = VFW_E_TYPE_NOT_ACCEPTED;
  }

  BreakConnect();
  if (m_Connected) {
    m_Connected->Release();
    m_Connected = nullptr;
  }
  return hr;
}

STDMETHODIMP CBasePin::ReceiveConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt) {
  if (!pConnector || !pmt) return E_POINTER;
  CAutoLock lock(m_pLock);
  if (m_Connected) return VFW_E_ALREADY_CONNECTED;
  if (!IsStopped() && !m_bCanReconnectWhenActive) return VFW_E_NOT_STOPPED;

  HRESULT hr = CheckConnect(pConnector);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  const CMediaType *type = static_cast<const CMediaType *>(pmt);
  hr = CheckMediaType(type);
  if (hr != S_OK) {
    BreakConnect();
    if (SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG) hr = VFW_E_TYPE_NOT_ACCEPTED;
    return hr;
  }

  m_Connected = pConnector;
  m_Connected->AddRef();
  hr = SetMediaType(type);
  if (SUCCEEDED(hr)) {
    hr = CompleteConnect(pConnector);
    if (SUCCEEDED(hr)) return S_OK;
  }
  m_Connected->Release();
  m_Connected = nullptr;
  BreakConnect();
  return hr;
}

STDMETHODIMP CBasePin::Disconnect() {
  CAutoLock lock(m_pLock);
  if (!IsStopped()) return VFW_E_NOT_STOPPED;
  if (!m_Connected) return S_FALSE;
  HRESULT hr = BreakConnect();
  if (FAILED(hr)) return hr;
  m_Connected->Release();
  m_Connected = nullptr;
  return S_OK;
}

HRESULT CBasePin::CheckConnect(IPin *pPin) {
  PIN_DIRECTION dir;
  HRESULT hr = pPin->QueryDirection(&dir);
  if (FAILED(hr)) return hr;
  if (dir == m_dir) return VFW_E_INVALID_DIRECTION;
  return S_OK;
}

HRESULT CBasePin::SetMediaType(const CMediaType *pmt) {
  if (!pmt) return E_POINTER;
  return m_mt.Set(*pmt);
}

// Queries
// ----------------------------------------------------------------------

STDMETHODIMP CBasePin::ConnectedTo(IPin **ppPin) {
  if (!ppPin) return E_POINTER;
  // Under the lock, so that a concurrent Disconnect cannot release the peer
  // between the read and the AddRef.
  CAutoLock lock(m_pLock);
  *ppPin = m_Connected;
  if (!m_Connected) return VFW_E_NOT_CONNECTED;
  m_Connected->AddRef();
  return S_OK;
}

STDMETHODIMP CBasePin::ConnectionMediaType(AM_MEDIA_TYPE *pmt) {
  if (!pmt) return E_POINTER;
  CAutoLock lock(m_pLock);
  if (!m_Connected) {
    // The caller's record is plain memory: write an empty type into it.
    *pmt = AM_MEDIA_TYPE{};
    pmt->bFixedSizeSamples = TRUE;
    pmt->lSampleSize = 1;
    return VFW_E_NOT_CONNECTED;
  }
  return CopyMediaType(pmt, &m_mt);
}

STDMETHODIMP CBasePin::QueryPinInfo(PIN_INFO *pInfo) {
  if (!pInfo) return E_POINTER;
  pInfo->pFilter = m_pFilter;
  if (m_pFilter) m_pFilter->AddRef();
  size_t i = 0;
  if (m_pName) {
    for (; i < MAX_PIN_NAME - 1 && m_pName[i]; ++i) pInfo->achName[i] = m_pName[i];
  }
  pInfo->achName[i] = 0;
  pInfo->dir = m_dir;
  return S_OK;
}

STDMETHODIMP CBasePin::QueryDirection(PIN_DIRECTION *pPinDir) {
  if (!pPinDir) return E_POINTER;
  *pPinDir = m_dir;
  return S_OK;
}

STDMETHODIMP CBasePin::QueryId(LPWSTR *Id) {
  if (!Id) return E_POINTER;
  int position = -1;
  const int count = m_pFilter->GetPinCount();
  for (int i = 0; i < count; ++i) {
    if (m_pFilter->GetPin(i) == this) {
      position = i;
      break;
    }
  }
  if (position < 0) return VFW_E_NOT_FOUND;

  constexpr size_t kIdChars = 12;
  auto *text = static_cast<LPWSTR>(CoTaskMemAlloc(kIdChars * sizeof(WCHAR)));
  if (!text) return E_OUTOFMEMORY;
  // Decimal digits of position + 1, which is at least 1.
  char digits[kIdChars];
  int n = 0;
  for (unsigned value = static_cast<unsigned>(position) + 1; value != 0 && n < 11; value /= 10) {
    digits[n++] = static_cast<char>('0' + value % 10);
  }
  for (int i = 0; i < n; ++i) text[i] = static_cast<WCHAR>(digits[n - 1 - i]);
  text[n] = 0;
  *Id = text;
  return S_OK;
}

STDMETHODIMP CBasePin::QueryAccept(const AM_MEDIA_TYPE *pmt) {
  if (!pmt) return E_POINTER;
  HRESULT hr = CheckMediaType(static_cast<const CMediaType *>(pmt));
  return FAILED(hr) ? S_FALSE : hr;
}

STDMETHODIMP CBasePin::EnumMediaTypes(IEnumMediaTypes **ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = new (std::nothrow) CEnumMediaTypes(this, nullptr);
  return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CBasePin::QueryInternalConnections(IPin **apPin, ULONG *nPin) { return E_NOTIMPL; }

STDMETHODIMP CBasePin::EndOfStream() { return E_UNEXPECTED; }
STDMETHODIMP CBasePin::BeginFlush() { return E_UNEXPECTED; }
STDMETHODIMP CBasePin::EndFlush() { return E_UNEXPECTED; }

STDMETHODIMP CBasePin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
  m_tStart = tStart;
  m_tStop = tStop;
  m_dRate = dRate;
  return S_OK;
}

// IQualityControl
// ---------------------------------------------------------------

STDMETHODIMP CBasePin::Notify(IBaseFilter *pSelf, Quality q) { return E_NOTIMPL; }

STDMETHODIMP CBasePin::SetSink(IQualityControl *piqc) {
  CAutoLock lock(m_pLock);
  m_pQSink = piqc;
  return S_OK;
}
