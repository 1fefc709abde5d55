// Renderer: the base of a filter with one input pin that consumes what it
// receives (a renderer or a file sink). It provides the filter's states,
// the input pin with IMemInputPin, end-of-stream reporting to the graph,
// flushing, seeking passed upstream (SeekingPassThru), and an optional
// real-time mode that presents each sample at its time on the graph's clock.
//
// A derived class says which types it takes (CheckMediaType), what to do
// with each sample (RenderSample) and may hook connection, streaming start
// and stop, and end of stream.
//
// States, as graph managers expect of a renderer:
// - Paused: the first sample is held in Receive until Run, Stop or a flush;
//   until a sample (or end of stream) has arrived, GetState reports
//   VFW_S_STATE_INTERMEDIATE.
// - Running: without real-time mode, or without a clock, or for a sample
//   with no time, the sample is rendered at once. In real-time mode the
//   renderer waits until the clock reaches the run's start time plus the
//   sample's start time; a video sample that comes more than kLateTolerance
//   late is counted late and reported upstream through the peer's
//   IQualityControl::Notify (Famine, with the lateness).
// - End of stream is reported as EC_COMPLETE once the renderer is running
//   (at the last sample's stop time in real-time mode); a flush or a stop
//   clears it.
//
// Header-only and written against the DirectShow interfaces alone, so that
// the platform's own renderer and the host's sinks, which also build
// against Windows' headers, share it.
//
// Ownership: COM reference counting on the filter; the pin and the seeking
// object forward their IUnknown to it. The connected peer, the allocator
// and the clock are counted; the graph and its event sink are not (the
// graph owns the filter).
//
// Threads: control calls (state changes, connection) from any thread;
// Receive, EndOfStream and NewSegment on the upstream streaming thread;
// BeginFlush and EndFlush from a control thread while streaming may be
// blocked in Receive. Lock order: m_receiveLock, then m_stateLock. The
// hooks RenderSample, OnEndOfStream and OnStopStreaming run under
// m_receiveLock only; CheckMediaType and OnConnect under m_stateLock.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <strmif.h>
#include <evcode.h>
#include <uuids.h>
#include <vfwmsgs.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <string>

#include "tpsink/RendererInputPin.h"
#include "tpsink/RendererSupport.h"
#include "tpsink/SeekingPassThru.h"

namespace tp::sink {

// ---- the filter -----------------------------------------------------------------

class Renderer : public IBaseFilter, public IAMFilterMiscFlags {
 public:
  // A sample presented more than this late counts as late (and, for video,
  // is reported upstream).
  static constexpr REFERENCE_TIME kLateTolerance = 20 * 10000;

  struct Stats {
    LONGLONG rendered = 0;             // samples given to RenderSample
    LONGLONG late = 0;                 // of those, presented late
    LONGLONG dropped = 0;              // not rendered: DropLate said so
    REFERENCE_TIME maxLateness = 0;    // the largest lateness seen
    REFERENCE_TIME totalLateness = 0;  // the sum over rendered samples
  };

  Renderer(REFCLSID clsid, LPCWSTR pinName);
  Renderer(const Renderer &) = delete;
  Renderer &operator=(const Renderer &) = delete;
  virtual ~Renderer();

  // IUnknown. QueryInterface answers IBaseFilter, IMediaFilter, IPersist,
  // IAMFilterMiscFlags and IMediaSeeking (passed upstream), then asks
  // QueryExtraInterface.
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = --m_cRef;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // IPersist
  STDMETHODIMP GetClassID(CLSID *pClassID) override {
    if (!pClassID) return E_POINTER;
    *pClassID = m_clsid;
    return S_OK;
  }

  // IMediaFilter
  STDMETHODIMP Stop() override;
  // S_FALSE while the pin is connected and no sample has arrived yet.
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME tStart) override;
  STDMETHODIMP GetState(DWORD dwMilliSecsTimeout, FILTER_STATE *State) override;
  STDMETHODIMP SetSyncSource(IReferenceClock *pClock) override;
  STDMETHODIMP GetSyncSource(IReferenceClock **pClock) override;

  // IBaseFilter
  STDMETHODIMP EnumPins(IEnumPins **ppEnum) override;
  // The pin's id is its name.
  STDMETHODIMP FindPin(LPCWSTR Id, IPin **ppPin) override;
  STDMETHODIMP QueryFilterInfo(FILTER_INFO *pInfo) override;
  STDMETHODIMP JoinFilterGraph(IFilterGraph *pGraph, LPCWSTR pName) override;
  STDMETHODIMP QueryVendorInfo(LPWSTR *) override { return E_NOTIMPL; }

  // IAMFilterMiscFlags
  STDMETHODIMP_(ULONG) GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }

  // Real-time mode: wait on the clock for each sample's time. Set before
  // streaming starts.
  void SetRealTime(bool realTime) { m_realTime = realTime; }
  Stats GetStats() {
    Guard lock(m_stateLock);
    return m_stats;
  }
  IPin *InputPin() { return &m_pin; }

 protected:
  // Hooks -------------------------------------------------------------------
  // S_OK when the pin takes pmt (connection, QueryAccept, a type change
  // carried by a sample). Called under m_stateLock.
  virtual HRESULT CheckMediaType(const AM_MEDIA_TYPE *pmt) = 0;
  // The type of a new connection or a change carried by a sample; a failure
  // refuses it. Called under m_stateLock.
  virtual HRESULT OnMediaType(const AM_MEDIA_TYPE *pmt) { return S_OK; }
  // One sample, on the streaming thread. A failure ends the stream: the
  // graph is sent EC_ERRORABORT with the code, and later samples are refused.
  virtual HRESULT RenderSample(IMediaSample *pSample) = 0;
  // Leaving Stopped (a failure leaves the filter stopped) and entering it.
  virtual HRESULT OnStartStreaming() { return S_OK; }
  virtual void OnStopStreaming() {}
  // The stream ended (before EC_COMPLETE is sent).
  virtual void OnEndOfStream() {}
  virtual void OnNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {}
  // A flush begins (waits a derived class makes on the streaming thread
  // must end) and ends. Called with no lock held.
  virtual void OnBeginFlush() {}
  virtual void OnEndFlush() {}
  // Whether a sample that came `lateness` late is dropped rather than
  // rendered (counted in Stats::dropped, still reported upstream). Streaming
  // thread, under m_receiveLock only.
  virtual bool DropLate(REFERENCE_TIME lateness, REFERENCE_TIME start, REFERENCE_TIME stop) { return false; }
  // Further interfaces of a derived filter; E_NOINTERFACE by default.
  virtual HRESULT QueryExtraInterface(REFIID riid, void **ppv) {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // The connection's major type is video (lateness goes upstream).
  bool IsVideo();

 private:
  friend class RendererInputPin;

  HRESULT Receive(IMediaSample *pSample);
  HRESULT EndOfStream();
  HRESULT BeginFlush();
  HRESULT EndFlush();
  // Waits until the sample may be presented: S_OK to render it, S_FALSE to
  // drop it (stopped or flushing). *lateness receives how late it is.
  HRESULT WaitForPresentation(bool timed, REFERENCE_TIME start, REFERENCE_TIME *lateness);
  // Waits until the clock reaches base + offset: S_OK, or S_FALSE when
  // m_abortEvent ends the wait first.
  HRESULT WaitForClock(IReferenceClock *clock, REFERENCE_TIME base, REFERENCE_TIME offset, REFERENCE_TIME *lateness);
  void SendEvent(LONG code, LONG_PTR p1, LONG_PTR p2);
  void SendQuality(REFERENCE_TIME lateness, REFERENCE_TIME start);

  std::atomic<LONG> m_cRef{0};
  const CLSID m_clsid;
  RendererInputPin m_pin;
  SeekingPassThru m_seeking;
  std::atomic<bool> m_realTime{false};
  std::atomic<IMediaEventSink *> m_sink{nullptr};  // not counted

  CritSec m_receiveLock;  // serialises the streaming calls and the stop hook
  // Guards every field below, and the pin's connection fields.
  CritSec m_stateLock;
  FILTER_STATE m_state = State_Stopped;
  REFERENCE_TIME m_tStart = 0;
  IReferenceClock *m_clock = nullptr;  // counted
  IFilterGraph *m_graph = nullptr;     // not counted
  std::u16string m_name;
  bool m_flushing = false;
  bool m_ready = false;           // a sample or end of stream came since pausing
  bool m_endOfStream = false;     // end of stream came and was not flushed
  bool m_completeSent = false;    // EC_COMPLETE was sent for it
  bool m_failed = false;          // RenderSample failed; samples are refused
  REFERENCE_TIME m_lastStop = 0;  // stop time of the last sample rendered
  Stats m_stats;
  // Set while waits on the clock must end (stop, flush, pause); reset on run.
  HANDLE m_abortEvent;
  HANDLE m_timeEvent;  // the clock's advise; used by the streaming thread only
  // Manual-reset events that mirror conditions on the fields above (kept
  // in step by UpdateEventsLocked): a held sample may go on (not paused, or
  // flushing); the state has settled (not paused, or ready).
  HANDLE m_releaseEvent;
  HANDLE m_settledEvent;
  void UpdateEventsLocked() {
    if (m_state != State_Paused || m_flushing) {
      SetEvent(m_releaseEvent);
    } else {
      ResetEvent(m_releaseEvent);
    }
    if (m_state != State_Paused || m_ready) {
      SetEvent(m_settledEvent);
    } else {
      ResetEvent(m_settledEvent);
    }
  }
};

// ---- RendererInputPin ------------------------------------------------------------

inline STDMETHODIMP RendererInputPin::QueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPin)) {
    *ppv = static_cast<IPin *>(this);
  } else if (IsEqualIID(riid, IID_IMemInputPin)) {
    *ppv = static_cast<IMemInputPin *>(this);
  } else if (IsEqualIID(riid, IID_IQualityControl)) {
    *ppv = static_cast<IQualityControl *>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

inline STDMETHODIMP_(ULONG) RendererInputPin::AddRef() { return m_filter->AddRef(); }
inline STDMETHODIMP_(ULONG) RendererInputPin::Release() { return m_filter->Release(); }

inline STDMETHODIMP RendererInputPin::ReceiveConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt) {
  if (!pConnector || !pmt) return E_POINTER;
  PIN_DIRECTION dir = PINDIR_INPUT;
  if (FAILED(pConnector->QueryDirection(&dir)) || dir != PINDIR_OUTPUT) return VFW_E_INVALID_DIRECTION;
  Guard lock(m_filter->m_stateLock);
  if (m_peer) return VFW_E_ALREADY_CONNECTED;
  if (m_filter->m_state != State_Stopped) return VFW_E_NOT_STOPPED;
  if (m_filter->CheckMediaType(pmt) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
  AM_MEDIA_TYPE copy;
  if (FAILED(CopyTypeFields(copy, *pmt))) return E_OUTOFMEMORY;
  HRESULT hr = m_filter->OnMediaType(&copy);
  if (FAILED(hr)) {
    FreeTypeFields(copy);
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  FreeTypeFields(m_mt);
  m_mt = copy;
  m_peer = pConnector;
  m_peer->AddRef();
  return S_OK;
}

inline STDMETHODIMP RendererInputPin::Disconnect() {
  IPin *peer = nullptr;
  IMemAllocator *allocator = nullptr;
  {
    Guard lock(m_filter->m_stateLock);
    if (m_filter->m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    if (!m_peer) return S_FALSE;
    peer = m_peer;
    m_peer = nullptr;
    allocator = m_allocator;
    m_allocator = nullptr;
    FreeTypeFields(m_mt);
    m_mt = AM_MEDIA_TYPE{};
  }
  peer->Release();
  if (allocator) allocator->Release();
  return S_OK;
}

inline STDMETHODIMP RendererInputPin::ConnectedTo(IPin **ppPin) {
  if (!ppPin) return E_POINTER;
  Guard lock(m_filter->m_stateLock);
  *ppPin = m_peer;
  if (!m_peer) return VFW_E_NOT_CONNECTED;
  m_peer->AddRef();
  return S_OK;
}

inline STDMETHODIMP RendererInputPin::ConnectionMediaType(AM_MEDIA_TYPE *pmt) {
  if (!pmt) return E_POINTER;
  Guard lock(m_filter->m_stateLock);
  if (!m_peer) {
    *pmt = AM_MEDIA_TYPE{};
    return VFW_E_NOT_CONNECTED;
  }
  return CopyTypeFields(*pmt, m_mt);
}

inline STDMETHODIMP RendererInputPin::QueryPinInfo(PIN_INFO *pInfo) {
  if (!pInfo) return E_POINTER;
  pInfo->pFilter = m_filter;
  m_filter->AddRef();
  pInfo->dir = PINDIR_INPUT;
  const size_t n = m_name.size() < MAX_PIN_NAME - 1 ? m_name.size() : MAX_PIN_NAME - 1;
  std::memcpy(pInfo->achName, m_name.data(), n * sizeof(WCHAR));
  pInfo->achName[n] = 0;
  return S_OK;
}

inline STDMETHODIMP RendererInputPin::QueryId(LPWSTR *Id) {
  if (!Id) return E_POINTER;
  *Id = static_cast<LPWSTR>(CoTaskMemAlloc((m_name.size() + 1) * sizeof(WCHAR)));
  if (!*Id) return E_OUTOFMEMORY;
  std::memcpy(*Id, m_name.c_str(), (m_name.size() + 1) * sizeof(WCHAR));
  return S_OK;
}

inline STDMETHODIMP RendererInputPin::QueryAccept(const AM_MEDIA_TYPE *pmt) {
  if (!pmt) return E_POINTER;
  Guard lock(m_filter->m_stateLock);
  return m_filter->CheckMediaType(pmt) == S_OK ? S_OK : S_FALSE;
}

inline STDMETHODIMP RendererInputPin::EnumMediaTypes(IEnumMediaTypes **ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = new (std::nothrow) EmptyTypeEnum();
  if (!*ppEnum) return E_OUTOFMEMORY;
  (*ppEnum)->AddRef();
  return S_OK;
}

inline STDMETHODIMP RendererInputPin::EndOfStream() { return m_filter->EndOfStream(); }
inline STDMETHODIMP RendererInputPin::BeginFlush() { return m_filter->BeginFlush(); }
inline STDMETHODIMP RendererInputPin::EndFlush() { return m_filter->EndFlush(); }

inline STDMETHODIMP RendererInputPin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
  m_filter->OnNewSegment(tStart, tStop, dRate);
  return S_OK;
}

inline STDMETHODIMP RendererInputPin::GetAllocator(IMemAllocator **ppAllocator) {
  if (!ppAllocator) return E_POINTER;
  *ppAllocator = nullptr;
  Guard lock(m_filter->m_stateLock);
  if (!m_allocator) {
    HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                  reinterpret_cast<void **>(&m_allocator));
    if (FAILED(hr)) return hr;
  }
  *ppAllocator = m_allocator;
  m_allocator->AddRef();
  return S_OK;
}

inline STDMETHODIMP RendererInputPin::NotifyAllocator(IMemAllocator *pAllocator, BOOL) {
  if (!pAllocator) return E_POINTER;
  pAllocator->AddRef();
  IMemAllocator *old = nullptr;
  {
    Guard lock(m_filter->m_stateLock);
    old = m_allocator;
    m_allocator = pAllocator;
  }
  if (old) old->Release();
  return S_OK;
}

inline STDMETHODIMP RendererInputPin::Receive(IMediaSample *pSample) {
  if (!pSample) return E_POINTER;
  return m_filter->Receive(pSample);
}

inline STDMETHODIMP RendererInputPin::ReceiveMultiple(IMediaSample **pSamples, LONG nSamples, LONG *nSamplesProcessed) {
  if (!pSamples || !nSamplesProcessed) return E_POINTER;
  *nSamplesProcessed = 0;
  HRESULT hr = S_OK;
  while (*nSamplesProcessed < nSamples) {
    hr = Receive(pSamples[*nSamplesProcessed]);
    if (hr != S_OK) break;
    ++*nSamplesProcessed;
  }
  return hr;
}

// ---- Renderer ---------------------------------------------------------------------

inline Renderer::Renderer(REFCLSID clsid, LPCWSTR pinName)
    : m_clsid(clsid),
      m_pin(this, pinName),
      m_seeking(static_cast<IBaseFilter *>(this), &m_pin),
      m_abortEvent(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      m_timeEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_releaseEvent(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      m_settledEvent(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {}

inline Renderer::~Renderer() {
  if (m_clock) m_clock->Release();
  if (m_abortEvent) CloseHandle(m_abortEvent);
  if (m_timeEvent) CloseHandle(m_timeEvent);
  if (m_releaseEvent) CloseHandle(m_releaseEvent);
  if (m_settledEvent) CloseHandle(m_settledEvent);
}

inline STDMETHODIMP Renderer::QueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IBaseFilter) || IsEqualIID(riid, IID_IMediaFilter) ||
      IsEqualIID(riid, IID_IPersist)) {
    *ppv = static_cast<IBaseFilter *>(this);
  } else if (IsEqualIID(riid, IID_IAMFilterMiscFlags)) {
    *ppv = static_cast<IAMFilterMiscFlags *>(this);
  } else if (IsEqualIID(riid, IID_IMediaSeeking)) {
    *ppv = static_cast<IMediaSeeking *>(&m_seeking);
  } else {
    return QueryExtraInterface(riid, ppv);
  }
  AddRef();
  return S_OK;
}

inline STDMETHODIMP Renderer::Stop() {
  {
    Guard lock(m_stateLock);
    if (m_state == State_Stopped) return S_OK;
    m_state = State_Stopped;
    m_ready = false;
    m_endOfStream = false;
    m_completeSent = false;
    SetEvent(m_abortEvent);
    UpdateEventsLocked();
  }
  // A sample in the middle of being rendered finishes before the hook.
  Guard receive(m_receiveLock);
  OnStopStreaming();
  return S_OK;
}

inline STDMETHODIMP Renderer::Pause() {
  Guard lock(m_stateLock);
  if (m_state == State_Stopped) {
    if (!m_abortEvent || !m_timeEvent || !m_releaseEvent || !m_settledEvent) return E_OUTOFMEMORY;
    HRESULT hr = OnStartStreaming();
    if (FAILED(hr)) return hr;
    m_ready = m_pin.m_peer == nullptr;
    m_endOfStream = false;
    m_completeSent = false;
    m_failed = false;
    m_stats = Stats{};
  } else if (m_state == State_Running) {
    // What was streaming counts as cued; clock waits end and the sample
    // goes back to being held.
    m_ready = true;
    SetEvent(m_abortEvent);
  }
  m_state = State_Paused;
  UpdateEventsLocked();
  return m_ready ? S_OK : S_FALSE;
}

inline STDMETHODIMP Renderer::Run(REFERENCE_TIME tStart) {
  bool stopped;
  {
    Guard lock(m_stateLock);
    stopped = m_state == State_Stopped;
  }
  if (stopped) {
    HRESULT hr = Pause();
    if (FAILED(hr)) return hr;
  }
  bool complete = false;
  {
    Guard lock(m_stateLock);
    m_tStart = tStart;
    m_state = State_Running;
    if (!m_flushing) ResetEvent(m_abortEvent);
    if (m_endOfStream && !m_completeSent) {
      m_completeSent = true;
      complete = true;
    }
    UpdateEventsLocked();
  }
  if (complete) SendEvent(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter *>(this)));
  return S_OK;
}

inline STDMETHODIMP Renderer::GetState(DWORD dwMilliSecsTimeout, FILTER_STATE *State) {
  if (!State) return E_POINTER;
  WaitForSingleObject(m_settledEvent, dwMilliSecsTimeout);
  Guard lock(m_stateLock);
  *State = m_state;
  return m_state != State_Paused || m_ready ? S_OK : VFW_S_STATE_INTERMEDIATE;
}

inline STDMETHODIMP Renderer::SetSyncSource(IReferenceClock *pClock) {
  if (pClock) pClock->AddRef();
  IReferenceClock *old = nullptr;
  {
    Guard lock(m_stateLock);
    old = m_clock;
    m_clock = pClock;
  }
  if (old) old->Release();
  return S_OK;
}

inline STDMETHODIMP Renderer::GetSyncSource(IReferenceClock **pClock) {
  if (!pClock) return E_POINTER;
  Guard lock(m_stateLock);
  *pClock = m_clock;
  if (m_clock) m_clock->AddRef();
  return S_OK;
}

inline STDMETHODIMP Renderer::EnumPins(IEnumPins **ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = new (std::nothrow) SinglePinEnum(&m_pin, 0);
  if (!*ppEnum) return E_OUTOFMEMORY;
  (*ppEnum)->AddRef();
  return S_OK;
}

inline STDMETHODIMP Renderer::FindPin(LPCWSTR Id, IPin **ppPin) {
  if (!Id || !ppPin) return E_POINTER;
  if (std::u16string(reinterpret_cast<const char16_t *>(Id)) != m_pin.Name()) {
    *ppPin = nullptr;
    return VFW_E_NOT_FOUND;
  }
  *ppPin = &m_pin;
  m_pin.AddRef();
  return S_OK;
}

inline STDMETHODIMP Renderer::QueryFilterInfo(FILTER_INFO *pInfo) {
  if (!pInfo) return E_POINTER;
  Guard lock(m_stateLock);
  const size_t n = m_name.size() < MAX_FILTER_NAME - 1 ? m_name.size() : MAX_FILTER_NAME - 1;
  std::memcpy(pInfo->achName, m_name.data(), n * sizeof(WCHAR));
  pInfo->achName[n] = 0;
  pInfo->pGraph = m_graph;
  if (m_graph) m_graph->AddRef();
  return S_OK;
}

inline STDMETHODIMP Renderer::JoinFilterGraph(IFilterGraph *pGraph, LPCWSTR pName) {
  IMediaEventSink *sink = nullptr;
  if (pGraph && SUCCEEDED(pGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void **>(&sink))) && sink) {
    // Kept uncounted: the graph holds this filter and outlives its use.
    sink->Release();
  } else {
    sink = nullptr;
  }
  Guard lock(m_stateLock);
  m_graph = pGraph;
  m_sink = sink;
  m_name = pName ? std::u16string(reinterpret_cast<const char16_t *>(pName)) : std::u16string();
  return S_OK;
}

inline bool Renderer::IsVideo() {
  Guard lock(m_stateLock);
  return IsEqualGUID(m_pin.m_mt.majortype, MEDIATYPE_Video);
}

inline void Renderer::SendEvent(LONG code, LONG_PTR p1, LONG_PTR p2) {
  if (IMediaEventSink *sink = m_sink.load()) sink->Notify(code, p1, p2);
}

}  // namespace tp::sink

// The streaming half: each sample presented on the clock, lateness, end of
// stream and flushing.
#include "tpsink/RendererStreaming.h"  // IWYU pragma: export
