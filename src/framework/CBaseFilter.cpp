#include "framework/CBaseFilter.h"

#include <climits>
#include <new>

#include <evcode.h>

#include "framework/CBasePin.h"
#include "framework/CEnumPins.h"
#include "trace/Trace.h"

namespace {

// Decimal text to integer as the C library's conversion does it: leading
// white space, an optional sign, digits; anything else ends the number, and
// no digits at all give 0. Clamped instead of overflowing.
long long DecimalToInteger(LPCWSTR text) {
  if (!text) return 0;
  while (*text == u' ' || (*text >= u'\t' && *text <= u'\r')) ++text;
  bool negative = false;
  if (*text == u'+' || *text == u'-') negative = *text++ == u'-';
  long long value = 0;
  for (; *text >= u'0' && *text <= u'9'; ++text) {
    if (value < LLONG_MAX / 10) value = value * 10 + (*text - u'0');
  }
  return negative ? -value : value;
}

size_t WideLength(LPCWSTR s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

}  // namespace

CBaseFilter::CBaseFilter(LPCTSTR pName, LPUNKNOWN pUnk, CCritSec *pLock, REFCLSID clsid, HRESULT *phr)
    : CUnknown(pName, pUnk, phr), m_clsid(clsid), m_pLock(pLock) {}

CBaseFilter::~CBaseFilter() {
  delete[] m_pName;
  if (m_pClock) m_pClock->Release();
}

STDMETHODIMP CBaseFilter::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IBaseFilter) || IsEqualIID(riid, IID_IMediaFilter) || IsEqualIID(riid, IID_IPersist))
    return GetInterface(static_cast<IBaseFilter *>(this), ppv);
  if (IsEqualIID(riid, IID_IAMovieSetup)) return GetInterface(static_cast<IAMovieSetup *>(this), ppv);
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CBaseFilter::GetClassID(CLSID *pClsID) {
  if (!pClsID) return E_POINTER;
  *pClsID = m_clsid;
  return S_OK;
}

// ---- state changes ------------------------------------------------------------

STDMETHODIMP CBaseFilter::Stop() {
  CAutoLock lock(m_pLock);
  HRESULT hrFirstFailure = S_OK;
  if (m_State.load() != State_Stopped) {
    const int count = GetPinCount();
    for (int i = 0; i < count; ++i) {
      CBasePin *pin = GetPin(i);
      if (!pin) break;
      if (!pin->IsConnected()) continue;
      HRESULT hr = pin->Inactive();
      if (FAILED(hr)) TraceA8("CBaseFilter::Stop Inactive failed(0x%08x) pin(%d)\n", hr, i);
      if (FAILED(hr) && SUCCEEDED(hrFirstFailure)) hrFirstFailure = hr;
    }
  }
  m_State = State_Stopped;
  return hrFirstFailure;
}

void CBaseFilter::DeactivatePins(int count) {
  for (int i = 0; i < count; ++i) {
    CBasePin *pin = GetPin(i);
    if (!pin) break;
    if (pin->IsConnected()) pin->Inactive();
  }
}

STDMETHODIMP CBaseFilter::Pause() {
  CAutoLock lock(m_pLock);
  if (m_State.load() == State_Stopped) {
    const int count = GetPinCount();
    for (int i = 0; i < count; ++i) {
      CBasePin *pin = GetPin(i);
      if (!pin) break;
      if (!pin->IsConnected()) continue;
      HRESULT hr = pin->Active();
      if (FAILED(hr)) {
        TraceA8("CBaseFilter::Pause Active failed(0x%08x) pin(%d)\n", hr, i);
        // The filter stays Stopped, and a Stop on a stopped filter visits
        // no pin: the pins activated so far would keep their workers for
        // ever. Undo them now.
        DeactivatePins(i);
        return hr;
      }
    }
  }
  m_State = State_Paused;
  return S_OK;
}

STDMETHODIMP CBaseFilter::Run(REFERENCE_TIME tStart) {
  CAutoLock lock(m_pLock);
  {
    CAutoLock clockLock(&m_clockLock);
    m_tStart = tStart;
  }
  if (m_State.load() == State_Stopped) {
    HRESULT hr = Pause();
    if (FAILED(hr)) return hr;
  }
  if (m_State.load() != State_Running) {
    const int count = GetPinCount();
    for (int i = 0; i < count; ++i) {
      CBasePin *pin = GetPin(i);
      if (!pin) break;
      if (!pin->IsConnected()) continue;
      HRESULT hr = pin->Run(tStart);
      if (FAILED(hr)) {
        TraceA8("CBaseFilter::Run Run failed(0x%08x) pin(%d)\n", hr, i);
        return hr;
      }
    }
  }
  m_State = State_Running;
  return S_OK;
}

STDMETHODIMP CBaseFilter::GetState(DWORD, FILTER_STATE *State) {
  if (!State) return E_POINTER;
  *State = m_State.load();
  return S_OK;
}

bool CBaseFilter::IsActive() {
  CAutoLock lock(m_pLock);
  return m_State.load() != State_Stopped;
}

// ---- clock ----------------------------------------------------------------

STDMETHODIMP CBaseFilter::SetSyncSource(IReferenceClock *pClock) {
  CAutoLock lock(m_pLock);
  if (pClock) pClock->AddRef();
  IReferenceClock *old;
  {
    CAutoLock clockLock(&m_clockLock);
    old = m_pClock;
    m_pClock = pClock;
  }
  if (old) old->Release();
  return S_OK;
}

STDMETHODIMP CBaseFilter::GetSyncSource(IReferenceClock **pClock) {
  if (!pClock) return E_POINTER;
  CAutoLock lock(m_pLock);
  CAutoLock clockLock(&m_clockLock);
  *pClock = m_pClock;
  if (m_pClock) m_pClock->AddRef();
  return S_OK;
}

HRESULT CBaseFilter::StreamTime(REFERENCE_TIME &rtStream) {
  IReferenceClock *clock;
  REFERENCE_TIME start;
  {
    CAutoLock clockLock(&m_clockLock);
    clock = m_pClock;
    start = m_tStart;
    if (clock) clock->AddRef();
  }
  if (!clock) return VFW_E_NO_CLOCK;
  REFERENCE_TIME now = 0;
  HRESULT hr = clock->GetTime(&now);
  clock->Release();
  if (FAILED(hr)) return hr;
  rtStream = now - start;
  return S_OK;
}

// ---- pins -------------------------------------------------------------------

STDMETHODIMP CBaseFilter::EnumPins(IEnumPins **ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = new (std::nothrow) CEnumPins(this, nullptr);
  return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CBaseFilter::FindPin(LPCWSTR Id, IPin **ppPin) {
  if (!ppPin) return E_POINTER;
  CAutoLock lock(m_pLock);
  const long long number = DecimalToInteger(Id);
  CBasePin *pin = (number >= 1 && number <= INT_MAX) ? GetPin(static_cast<int>(number - 1)) : nullptr;
  if (!pin) {
    *ppPin = nullptr;
    return VFW_E_NOT_FOUND;
  }
  *ppPin = pin;
  pin->AddRef();
  return S_OK;
}

int CBaseFilter::FindPinNumber(IPin *pPin) {
  if (!pPin) return -1;
  CAutoLock lock(m_pLock);
  const int count = GetPinCount();
  for (int i = 0; i < count; ++i) {
    CBasePin *pin = GetPin(i);
    if (pin && static_cast<IPin *>(pin) == pPin) return i;
  }
  return -1;
}

// ---- graph ------------------------------------------------------------------

STDMETHODIMP CBaseFilter::QueryFilterInfo(FILTER_INFO *pInfo) {
  if (!pInfo) return E_POINTER;
  CAutoLock lock(m_pLock);
  size_t n = 0;
  if (m_pName) {
    for (; n < MAX_FILTER_NAME - 1 && m_pName[n]; ++n) pInfo->achName[n] = m_pName[n];
  }
  pInfo->achName[n] = 0;
  pInfo->pGraph = m_pGraph;
  if (m_pGraph) m_pGraph->AddRef();
  return S_OK;
}

STDMETHODIMP CBaseFilter::JoinFilterGraph(IFilterGraph *pGraph, LPCWSTR pName) {
  CAutoLock lock(m_pLock);
  // The new name is made first, so that running out of memory changes
  // nothing.
  WCHAR *name = nullptr;
  if (pName) {
    const size_t length = WideLength(pName);
    name = new (std::nothrow) WCHAR[length + 1];
    if (!name) return E_OUTOFMEMORY;
    for (size_t i = 0; i <= length; ++i) name[i] = pName[i];
  }
  m_pGraph = pGraph;
  IMediaEventSink *sink = nullptr;
  if (pGraph && SUCCEEDED(pGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void **>(&sink))) && sink) {
    // Kept uncounted: the graph holds this filter, and the sink lives as
    // long as the graph.
    sink->Release();
  } else {
    sink = nullptr;
  }
  m_pSink = sink;
  delete[] m_pName;
  m_pName = name;
  return S_OK;
}

STDMETHODIMP CBaseFilter::QueryVendorInfo(LPWSTR *pVendorInfo) { return E_NOTIMPL; }

HRESULT CBaseFilter::NotifyEvent(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) {
  IMediaEventSink *sink = m_pSink.load();
  if (!sink) return E_NOTIMPL;
  if (EventCode == EC_COMPLETE) EventParam2 = reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter *>(this));
  return sink->Notify(EventCode, EventParam1, EventParam2);
}

// ---- IAMovieSetup -----------------------------------------------------------

STDMETHODIMP CBaseFilter::Register() { return GetSetupData() ? E_NOTIMPL : S_FALSE; }

STDMETHODIMP CBaseFilter::Unregister() { return GetSetupData() ? E_NOTIMPL : S_FALSE; }
