// The streaming half of Renderer (Renderer.h, which includes this file at
// its end; not to be included on its own): Receive with presentation on the
// graph's clock in real-time mode, lateness and quality reports upstream,
// end of stream, and flushing. Lock order and ownership are Renderer.h's.
#pragma once

#include "tpsink/Renderer.h"

namespace tp::sink {

inline void Renderer::SendQuality(REFERENCE_TIME lateness, REFERENCE_TIME start) {
  IPin *peer = nullptr;
  if (FAILED(m_pin.ConnectedTo(&peer)) || !peer) return;
  IQualityControl *qc = nullptr;
  if (SUCCEEDED(peer->QueryInterface(IID_IQualityControl, reinterpret_cast<void **>(&qc))) && qc) {
    Quality q;
    q.Type = Famine;
    q.Proportion = 1000;
    q.Late = lateness;
    q.TimeStamp = start;
    qc->Notify(this, q);
    qc->Release();
  }
  peer->Release();
}

inline HRESULT Renderer::WaitForClock(IReferenceClock *clock, REFERENCE_TIME base, REFERENCE_TIME offset,
                                      REFERENCE_TIME *lateness) {
  REFERENCE_TIME now = 0;
  clock->GetTime(&now);
  *lateness = 0;
  if (now < base + offset) {
    ResetEvent(m_timeEvent);
    DWORD_PTR cookie = 0;
    HRESULT hr = clock->AdviseTime(base, offset, reinterpret_cast<HEVENT>(m_timeEvent), &cookie);
    if (SUCCEEDED(hr)) {
      HANDLE handles[2] = {m_abortEvent, m_timeEvent};
      const DWORD got = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
      clock->Unadvise(cookie);
      if (got == WAIT_OBJECT_0) return S_FALSE;
    } else if (WaitForSingleObject(m_abortEvent, 0) == WAIT_OBJECT_0) {
      return S_FALSE;
    }
    clock->GetTime(&now);
  }
  if (now > base + offset) *lateness = now - (base + offset);
  return S_OK;
}

inline HRESULT Renderer::WaitForPresentation(bool timed, REFERENCE_TIME start, REFERENCE_TIME *lateness) {
  *lateness = 0;
  for (;;) {
    IReferenceClock *clock = nullptr;
    REFERENCE_TIME base = 0;
    {
      Guard lock(m_stateLock);
      if (m_state == State_Stopped) return VFW_E_WRONG_STATE;
      if (m_flushing) return S_FALSE;
      if (m_state == State_Running) {
        if (!m_realTime || !m_clock || !timed) return S_OK;
        clock = m_clock;
        clock->AddRef();
        base = m_tStart;
      } else {
        // Paused: this sample completes the pause and is held.
        m_ready = true;
        UpdateEventsLocked();
      }
    }
    if (!clock) {
      WaitForSingleObject(m_releaseEvent, INFINITE);
      continue;
    }
    HRESULT hr = WaitForClock(clock, base, start, lateness);
    clock->Release();
    if (hr == S_OK) return S_OK;
    // Aborted: look at the state again.
  }
}

inline HRESULT Renderer::Receive(IMediaSample *pSample) {
  Guard receive(m_receiveLock);
  {
    Guard lock(m_stateLock);
    if (m_state == State_Stopped) return VFW_E_WRONG_STATE;
    if (!m_pin.m_peer) return VFW_E_NOT_CONNECTED;
    if (m_flushing) return S_FALSE;
    if (m_endOfStream) return VFW_E_SAMPLE_REJECTED_EOS;
    if (m_failed) return E_FAIL;
  }
  AM_MEDIA_TYPE *changed = nullptr;
  if (pSample->GetMediaType(&changed) == S_OK && changed) {
    HRESULT hr = VFW_E_TYPE_NOT_ACCEPTED;
    {
      Guard lock(m_stateLock);
      AM_MEDIA_TYPE copy;
      if (CheckMediaType(changed) == S_OK && SUCCEEDED(CopyTypeFields(copy, *changed))) {
        if (SUCCEEDED(OnMediaType(&copy))) {
          FreeTypeFields(m_pin.m_mt);
          m_pin.m_mt = copy;
          hr = S_OK;
        } else {
          FreeTypeFields(copy);
        }
      }
    }
    DeleteTypeRecord(changed);
    if (FAILED(hr)) return hr;
  }
  REFERENCE_TIME start = 0, stop = 0;
  const bool timed = SUCCEEDED(pSample->GetTime(&start, &stop));
  REFERENCE_TIME lateness = 0;
  HRESULT hr = WaitForPresentation(timed, start, &lateness);
  if (hr != S_OK) return hr;
  const bool late = lateness > kLateTolerance;
  if (late && IsVideo()) SendQuality(lateness, start);
  if (timed && DropLate(lateness, start, stop)) {
    Guard lock(m_stateLock);
    ++m_stats.dropped;
    if (late) ++m_stats.late;
    if (lateness > m_stats.maxLateness) m_stats.maxLateness = lateness;
    m_lastStop = stop > start ? stop : start;
    return S_OK;
  }
  hr = RenderSample(pSample);
  {
    Guard lock(m_stateLock);
    if (SUCCEEDED(hr)) {
      ++m_stats.rendered;
      if (late) ++m_stats.late;
      if (lateness > m_stats.maxLateness) m_stats.maxLateness = lateness;
      m_stats.totalLateness += lateness;
      if (timed) m_lastStop = stop > start ? stop : start;
    } else {
      m_failed = true;
    }
  }
  if (FAILED(hr)) SendEvent(EC_ERRORABORT, hr, 0);
  return hr;
}

inline HRESULT Renderer::EndOfStream() {
  Guard receive(m_receiveLock);
  IReferenceClock *clock = nullptr;
  REFERENCE_TIME base = 0, last = 0;
  {
    Guard lock(m_stateLock);
    if (m_state == State_Stopped) return VFW_E_WRONG_STATE;
    if (m_flushing) return S_FALSE;
    m_endOfStream = true;
    m_ready = true;
    UpdateEventsLocked();
    if (m_realTime && m_clock && m_state == State_Running) {
      clock = m_clock;
      clock->AddRef();
      base = m_tStart;
      last = m_lastStop;
    }
  }
  OnEndOfStream();
  if (clock) {
    // The stream ends when its last sample has been shown for its length.
    REFERENCE_TIME lateness = 0;
    WaitForClock(clock, base, last, &lateness);
    clock->Release();
  }
  bool complete = false;
  {
    Guard lock(m_stateLock);
    if (m_state == State_Running && m_endOfStream && !m_completeSent) {
      m_completeSent = true;
      complete = true;
    }
  }
  if (complete) SendEvent(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter *>(this)));
  return S_OK;
}

inline HRESULT Renderer::BeginFlush() {
  {
    Guard lock(m_stateLock);
    m_flushing = true;
    m_endOfStream = false;
    m_completeSent = false;
    SetEvent(m_abortEvent);
    UpdateEventsLocked();
  }
  OnBeginFlush();
  return S_OK;
}

inline HRESULT Renderer::EndFlush() {
  OnEndFlush();
  {
    Guard lock(m_stateLock);
    m_flushing = false;
    m_lastStop = 0;
    if (m_state == State_Paused) m_ready = false;
    if (m_state == State_Running) ResetEvent(m_abortEvent);
    UpdateEventsLocked();
  }
  return S_OK;
}

}  // namespace tp::sink
