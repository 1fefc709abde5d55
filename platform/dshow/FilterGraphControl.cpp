// The graph manager's running side: state changes, the clock, events and
// seeking over the renderers. Building is in FilterGraph.cpp.
#include <evcode.h>
#include <uuids.h>

#include <algorithm>
#include <chrono>

#include "dshow/ComPtr.h"
#include "dshow/FilterGraph.h"
#include "dshow/SystemClock.h"

namespace tp::dshow {
namespace {

// Releases every pointer of a counted list when it goes.
template <class T>
struct Counted {
  std::vector<T *> items;
  ~Counted() {
    for (T *p : items) p->Release();
  }
};

DWORD Milliseconds(LONG ms) { return ms < 0 ? INFINITE : static_cast<DWORD>(ms); }

}  // namespace

// ---- the clock ------------------------------------------------------------------------

HRESULT FilterGraph::SetClockLocked(IReferenceClock *clock) {
  if (clock) clock->AddRef();
  if (m_clock) m_clock->Release();
  m_clock = clock;
  m_clockChosen = true;
  HRESULT result = S_OK;
  for (const Entry &e : m_filters) {
    const HRESULT hr = e.filter->SetSyncSource(clock);
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  return result;
}

STDMETHODIMP FilterGraph::SetSyncSource(IReferenceClock *pClock) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
  return SetClockLocked(pClock);
}

STDMETHODIMP FilterGraph::GetSyncSource(IReferenceClock **pClock) {
  if (!pClock) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  *pClock = m_clock;
  if (m_clock) m_clock->AddRef();
  return S_OK;
}

STDMETHODIMP FilterGraph::SetDefaultSyncSource() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
  // A filter that offers a clock (a renderer playing to hardware) is
  // preferred; otherwise the system clock.
  ComPtr<IReferenceClock> clock;
  for (const Entry &e : m_filters) {
    if (SUCCEEDED(e.filter->QueryInterface(IID_IReferenceClock, clock.putVoid())) && clock) break;
  }
  if (!clock) {
    HRESULT hr = CreateSystemClock(nullptr, IID_IReferenceClock, clock.putVoid());
    if (FAILED(hr)) return hr;
  }
  return SetClockLocked(clock.get());
}

STDMETHODIMP FilterGraph::GetClassID(CLSID *pClassID) {
  if (!pClassID) return E_POINTER;
  *pClassID = CLSID_FilterGraph;
  return S_OK;
}

REFERENCE_TIME FilterGraph::StreamTimeLocked() {
  if (!m_clock) return m_pausedAt;
  REFERENCE_TIME now = 0;
  m_clock->GetTime(&now);
  return std::max<REFERENCE_TIME>(0, now - m_tStart);
}

// ---- state changes --------------------------------------------------------------------

HRESULT FilterGraph::PauseLocked() {
  if (m_state == State_Paused) return S_OK;
  if (m_state == State_Stopped) {
    if (!m_clockChosen) SetDefaultSyncSource();
    Counted<IBaseFilter> renderers{RenderersLocked()};
    m_events.ResetCompletion(renderers.items.size());
  } else {
    m_pausedAt = StreamTimeLocked();
  }
  Counted<IBaseFilter> order{DownstreamFirstLocked()};
  HRESULT result = S_OK;
  for (IBaseFilter *f : order.items) {
    const HRESULT hr = f->Pause();
    if (FAILED(hr)) {
      if (m_state == State_Stopped) {
        for (IBaseFilter *g : order.items) g->Stop();
      }
      return hr;
    }
    if (hr != S_OK) result = hr;
  }
  m_state = State_Paused;
  return result;
}

HRESULT FilterGraph::RunLocked(REFERENCE_TIME tStart) {
  Counted<IBaseFilter> order{DownstreamFirstLocked()};
  for (IBaseFilter *f : order.items) {
    const HRESULT hr = f->Run(tStart);
    if (FAILED(hr)) {
      for (IBaseFilter *g : order.items) g->Pause();
      return hr;
    }
  }
  m_tStart = tStart;
  m_state = State_Running;
  return S_OK;
}

HRESULT FilterGraph::StopLocked() {
  Counted<IBaseFilter> order{DownstreamFirstLocked()};
  HRESULT result = S_OK;
  for (IBaseFilter *f : order.items) {
    const HRESULT hr = f->Stop();
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  m_state = State_Stopped;
  m_pausedAt = 0;
  return result;
}

STDMETHODIMP FilterGraph::Pause() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  return PauseLocked();
}

STDMETHODIMP FilterGraph::Run() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (m_state == State_Running) return S_OK;
  HRESULT hr = PauseLocked();
  if (FAILED(hr)) return hr;
  REFERENCE_TIME start = 0;
  if (m_clock) {
    REFERENCE_TIME now = 0;
    m_clock->GetTime(&now);
    start = now + kRunDelay - m_pausedAt;
  }
  hr = RunLocked(start);
  return FAILED(hr) ? hr : S_OK;
}

STDMETHODIMP FilterGraph::Run(REFERENCE_TIME tStart) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (m_state == State_Running) return S_OK;
  HRESULT hr = PauseLocked();
  if (FAILED(hr)) return hr;
  hr = RunLocked(tStart);
  return FAILED(hr) ? hr : S_OK;
}

STDMETHODIMP FilterGraph::Stop() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  return StopLocked();
}

STDMETHODIMP FilterGraph::GetState(DWORD dwMilliSecsTimeout, FILTER_STATE *State) {
  if (!State) return E_POINTER;
  Counted<IBaseFilter> filters;
  {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    *State = m_state;
    for (const Entry &e : m_filters) {
      e.filter->AddRef();
      filters.items.push_back(e.filter);
    }
  }
  // Each filter gets what is left of the time-out; the lock is not held,
  // so events and other calls go on meanwhile.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliSecsTimeout);
  HRESULT result = S_OK;
  for (IBaseFilter *f : filters.items) {
    DWORD left = dwMilliSecsTimeout;
    if (dwMilliSecsTimeout != INFINITE) {
      const auto rest =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      left = rest > 0 ? static_cast<DWORD>(rest) : 0;
    }
    FILTER_STATE fs;
    const HRESULT hr = f->GetState(left, &fs);
    if (hr == VFW_S_STATE_INTERMEDIATE) {
      result = hr;
    } else if (hr == VFW_S_CANT_CUE && result == S_OK) {
      result = hr;
    } else if (FAILED(hr)) {
      return hr;
    }
  }
  return result;
}

STDMETHODIMP FilterGraph::GetState(LONG msTimeout, OAFilterState *pfs) {
  if (!pfs) return E_POINTER;
  FILTER_STATE state;
  const HRESULT hr = GetState(Milliseconds(msTimeout), &state);
  *pfs = static_cast<OAFilterState>(state);
  return hr;
}

STDMETHODIMP FilterGraph::StopWhenReady() {
  HRESULT hr = Pause();
  if (FAILED(hr)) return hr;
  FILTER_STATE state;
  hr = GetState(INFINITE, &state);
  if (FAILED(hr)) return hr;
  return Stop();
}

STDMETHODIMP FilterGraph::RenderFile(BSTR strFilename) { return RenderFile(strFilename, nullptr); }

// ---- events -----------------------------------------------------------------------------

STDMETHODIMP FilterGraph::Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) {
  m_events.Post(EventCode, EventParam1, EventParam2);
  return S_OK;
}

STDMETHODIMP FilterGraph::GetEventHandle(OAEVENT *hEvent) {
  if (!hEvent) return E_POINTER;
  *hEvent = reinterpret_cast<OAEVENT>(m_events.Handle());
  return S_OK;
}

STDMETHODIMP FilterGraph::GetEvent(LONG *lEventCode, LONG_PTR *lParam1, LONG_PTR *lParam2, LONG msTimeout) {
  if (!lEventCode || !lParam1 || !lParam2) return E_POINTER;
  GraphEvents::Event e{};
  if (!m_events.Get(&e, Milliseconds(msTimeout))) {
    *lEventCode = 0;
    *lParam1 = *lParam2 = 0;
    return E_ABORT;
  }
  *lEventCode = e.code;
  *lParam1 = e.param1;
  *lParam2 = e.param2;
  return S_OK;
}

STDMETHODIMP FilterGraph::WaitForCompletion(LONG msTimeout, LONG *pEvCode) {
  if (!pEvCode) return E_POINTER;
  *pEvCode = 0;
  if (m_state != State_Running) return VFW_E_WRONG_STATE;
  *pEvCode = m_events.WaitForEnd(Milliseconds(msTimeout));
  return *pEvCode ? S_OK : E_ABORT;
}

STDMETHODIMP FilterGraph::CancelDefaultHandling(LONG lEvCode) {
  if (lEvCode != EC_COMPLETE) return E_INVALIDARG;
  m_events.SetDefaultCompletion(false);
  return S_OK;
}

STDMETHODIMP FilterGraph::RestoreDefaultHandling(LONG lEvCode) {
  if (lEvCode != EC_COMPLETE) return E_INVALIDARG;
  m_events.SetDefaultCompletion(true);
  return S_OK;
}

STDMETHODIMP FilterGraph::SetNotifyFlags(LONG lNoNotifyFlags) {
  if (lNoNotifyFlags & ~AM_MEDIAEVENT_NONOTIFY) return E_INVALIDARG;
  m_events.SetNoNotify(lNoNotifyFlags != 0);
  return S_OK;
}

STDMETHODIMP FilterGraph::GetNotifyFlags(LONG *lplNoNotifyFlags) {
  if (!lplNoNotifyFlags) return E_POINTER;
  *lplNoNotifyFlags = m_events.NoNotify() ? AM_MEDIAEVENT_NONOTIFY : 0;
  return S_OK;
}

// ---- seeking ------------------------------------------------------------------------------

STDMETHODIMP FilterGraph::GetCapabilities(DWORD *pCapabilities) {
  if (!pCapabilities) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  Counted<IMediaSeeking> seekers{SeekersLocked()};
  DWORD caps = ~DWORD(0);
  bool any = false;
  for (IMediaSeeking *s : seekers.items) {
    DWORD c = 0;
    if (SUCCEEDED(s->GetCapabilities(&c))) {
      caps &= c;
      any = true;
    }
  }
  *pCapabilities = any ? caps : 0;
  return any ? S_OK : E_NOTIMPL;
}

STDMETHODIMP FilterGraph::CheckCapabilities(DWORD *pCapabilities) {
  if (!pCapabilities) return E_POINTER;
  DWORD caps = 0;
  HRESULT hr = GetCapabilities(&caps);
  if (FAILED(hr)) return hr;
  const DWORD wanted = *pCapabilities;
  *pCapabilities &= caps;
  if (*pCapabilities == wanted) return S_OK;
  return *pCapabilities ? S_FALSE : E_FAIL;
}

STDMETHODIMP FilterGraph::IsFormatSupported(const GUID *pFormat) {
  if (!pFormat) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  Counted<IMediaSeeking> seekers{SeekersLocked()};
  if (seekers.items.empty()) return E_NOTIMPL;
  for (IMediaSeeking *s : seekers.items) {
    if (s->IsFormatSupported(pFormat) != S_OK) return S_FALSE;
  }
  return S_OK;
}

STDMETHODIMP FilterGraph::QueryPreferredFormat(GUID *pFormat) {
  if (!pFormat) return E_POINTER;
  *pFormat = TIME_FORMAT_MEDIA_TIME;
  return S_OK;
}

STDMETHODIMP FilterGraph::GetTimeFormat(GUID *pFormat) {
  if (!pFormat) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  *pFormat = m_timeFormat;
  return S_OK;
}

STDMETHODIMP FilterGraph::IsUsingTimeFormat(const GUID *pFormat) {
  if (!pFormat) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  return IsEqualGUID(*pFormat, m_timeFormat) ? S_OK : S_FALSE;
}

STDMETHODIMP FilterGraph::SetTimeFormat(const GUID *pFormat) {
  if (!pFormat) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
  Counted<IMediaSeeking> seekers{SeekersLocked()};
  if (seekers.items.empty()) return E_NOTIMPL;
  for (IMediaSeeking *s : seekers.items) {
    const HRESULT hr = s->SetTimeFormat(pFormat);
    if (FAILED(hr)) return hr;
  }
  m_timeFormat = *pFormat;
  return S_OK;
}

STDMETHODIMP FilterGraph::GetDuration(LONGLONG *pDuration) {
  if (!pDuration) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  Counted<IMediaSeeking> seekers{SeekersLocked()};
  HRESULT result = E_NOTIMPL;
  LONGLONG longest = 0;
  for (IMediaSeeking *s : seekers.items) {
    LONGLONG d = 0;
    const HRESULT hr = s->GetDuration(&d);
    if (SUCCEEDED(hr)) {
      longest = std::max(longest, d);
      result = S_OK;
    } else if (result == E_NOTIMPL) {
      result = hr;
    }
  }
  *pDuration = longest;
  return result;
}

STDMETHODIMP FilterGraph::GetStopPosition(LONGLONG *pStop) {
  if (!pStop) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  Counted<IMediaSeeking> seekers{SeekersLocked()};
  HRESULT result = E_NOTIMPL;
  LONGLONG latest = 0;
  for (IMediaSeeking *s : seekers.items) {
    LONGLONG p = 0;
    const HRESULT hr = s->GetStopPosition(&p);
    if (SUCCEEDED(hr)) {
      latest = std::max(latest, p);
      result = S_OK;
    } else if (result == E_NOTIMPL) {
      result = hr;
    }
  }
  *pStop = latest;
  return result;
}

STDMETHODIMP FilterGraph::GetCurrentPosition(LONGLONG *pCurrent) {
  if (!pCurrent) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (!m_clock) {
    // No stream time to reckon from: whatever the renderers say.
    Counted<IMediaSeeking> seekers{SeekersLocked()};
    for (IMediaSeeking *s : seekers.items) {
      if (SUCCEEDED(s->GetCurrentPosition(pCurrent))) return S_OK;
    }
    *pCurrent = m_seekBase;
    return S_OK;
  }
  const REFERENCE_TIME streamTime =
      m_state == State_Running ? StreamTimeLocked() : (m_state == State_Paused ? m_pausedAt : 0);
  LONGLONG position = m_seekBase + static_cast<LONGLONG>(static_cast<double>(streamTime) * m_rate);
  LONGLONG stop = 0;
  if (SUCCEEDED(GetStopPosition(&stop)) && position > stop) position = stop;
  *pCurrent = position;
  return S_OK;
}

STDMETHODIMP FilterGraph::ConvertTimeFormat(LONGLONG *pTarget, const GUID *pTargetFormat, LONGLONG Source,
                                            const GUID *pSourceFormat) {
  if (!pTarget) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  const GUID &target = pTargetFormat ? *pTargetFormat : m_timeFormat;
  const GUID &source = pSourceFormat ? *pSourceFormat : m_timeFormat;
  if (IsEqualGUID(target, source)) {
    *pTarget = Source;
    return S_OK;
  }
  Counted<IMediaSeeking> seekers{SeekersLocked()};
  for (IMediaSeeking *s : seekers.items) {
    if (SUCCEEDED(s->ConvertTimeFormat(pTarget, &target, Source, &source))) return S_OK;
  }
  return E_NOTIMPL;
}

STDMETHODIMP FilterGraph::SetPositions(LONGLONG *pCurrent, DWORD dwCurrentFlags, LONGLONG *pStop, DWORD dwStopFlags) {
  const DWORD currentMode = dwCurrentFlags & AM_SEEKING_PositioningBitsMask;
  if ((currentMode != AM_SEEKING_NoPositioning && !pCurrent) ||
      ((dwStopFlags & AM_SEEKING_PositioningBitsMask) != AM_SEEKING_NoPositioning && !pStop)) {
    return E_POINTER;
  }
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  Counted<IMediaSeeking> seekers{SeekersLocked()};
  if (seekers.items.empty()) return E_NOTIMPL;
  LONGLONG before = 0;
  if (currentMode == AM_SEEKING_RelativePositioning) GetCurrentPosition(&before);
  const bool wasRunning = m_state == State_Running;
  if (wasRunning) PauseLocked();
  HRESULT result = S_OK;
  for (IMediaSeeking *s : seekers.items) {
    // Each renderer gets the caller's values; one that writes back times
    // (AM_SEEKING_ReturnTime) must not change what the next one is given.
    LONGLONG current = pCurrent ? *pCurrent : 0, stop = pStop ? *pStop : 0;
    const HRESULT hr =
        s->SetPositions(pCurrent ? &current : nullptr, dwCurrentFlags, pStop ? &stop : nullptr, dwStopFlags);
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  if (currentMode != AM_SEEKING_NoPositioning) {
    m_seekBase = currentMode == AM_SEEKING_RelativePositioning ? before + *pCurrent : *pCurrent;
    // The renderers were flushed: the stream time starts again from zero
    // and every renderer must report its end again.
    m_pausedAt = 0;
    Counted<IBaseFilter> renderers{RenderersLocked()};
    m_events.ResetCompletion(renderers.items.size());
  }
  if ((dwCurrentFlags & AM_SEEKING_ReturnTime) && pCurrent) *pCurrent = m_seekBase;
  if (wasRunning) {
    REFERENCE_TIME start = 0;
    if (m_clock) {
      REFERENCE_TIME now = 0;
      m_clock->GetTime(&now);
      start = now + kRunDelay - m_pausedAt;
    }
    const HRESULT hr = RunLocked(start);
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  return result;
}

STDMETHODIMP FilterGraph::GetPositions(LONGLONG *pCurrent, LONGLONG *pStop) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  HRESULT hr = S_OK;
  if (pCurrent) hr = GetCurrentPosition(pCurrent);
  if (SUCCEEDED(hr) && pStop) hr = GetStopPosition(pStop);
  return hr;
}

STDMETHODIMP FilterGraph::GetAvailable(LONGLONG *pEarliest, LONGLONG *pLatest) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  Counted<IMediaSeeking> seekers{SeekersLocked()};
  for (IMediaSeeking *s : seekers.items) {
    if (SUCCEEDED(s->GetAvailable(pEarliest, pLatest))) return S_OK;
  }
  return E_NOTIMPL;
}

STDMETHODIMP FilterGraph::SetRate(double dRate) {
  if (dRate == 0.0) return E_INVALIDARG;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  Counted<IMediaSeeking> seekers{SeekersLocked()};
  if (seekers.items.empty()) return E_NOTIMPL;
  for (IMediaSeeking *s : seekers.items) {
    const HRESULT hr = s->SetRate(dRate);
    if (FAILED(hr)) return hr;
  }
  m_rate = dRate;
  return S_OK;
}

STDMETHODIMP FilterGraph::GetRate(double *pdRate) {
  if (!pdRate) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  *pdRate = m_rate;
  return S_OK;
}

STDMETHODIMP FilterGraph::GetPreroll(LONGLONG *pllPreroll) {
  if (!pllPreroll) return E_POINTER;
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  Counted<IMediaSeeking> seekers{SeekersLocked()};
  *pllPreroll = 0;
  for (IMediaSeeking *s : seekers.items) {
    LONGLONG p = 0;
    if (SUCCEEDED(s->GetPreroll(&p))) *pllPreroll = std::max(*pllPreroll, p);
  }
  return S_OK;
}

}  // namespace tp::dshow
