// TestInputPin: a downstream pin (IPin + IMemInputPin) for testing output
// pins. Every call it receives is recorded in order in its CallLog (the
// allocator it hands out records into the same log). Its answers are
// configured through public fields before the connection is made; Receive
// can return a chosen result, keep the samples it gets, or block until the
// test (or a flush) releases it.
//
// Reference counted; created with one reference owned by the creator. Its
// direction is PINDIR_INPUT unless configured otherwise (an "output" peer
// tests direction checks).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <windows.h>
#include <strmif.h>
#include <uuids.h>

#include "peers/CallLog.h"
#include "peers/TestAllocator.h"

namespace tp::test {

// A media type as a plain value (no format block).
struct SimpleType {
  GUID major;
  GUID sub;
  GUID format;
};

inline AM_MEDIA_TYPE MakeType(const SimpleType &t) {
  AM_MEDIA_TYPE mt = {};
  mt.majortype = t.major;
  mt.subtype = t.sub;
  mt.formattype = t.format;
  mt.bFixedSizeSamples = TRUE;
  mt.lSampleSize = 1;
  return mt;
}

// Enumerator over a fixed list of types; hands out task-memory records.
class TestEnumMediaTypes : public IEnumMediaTypes {
 public:
  // endless: after the last type, start again from the first for ever.
  explicit TestEnumMediaTypes(std::vector<SimpleType> types, size_t pos = 0, bool endless = false)
      : m_types(std::move(types)), m_pos(pos), m_endless(endless) {}

  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumMediaTypes)) {
      *ppv = static_cast<IEnumMediaTypes *>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_ref; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --m_ref;
    if (n == 0) delete this;
    return n;
  }
  STDMETHODIMP Next(ULONG c, AM_MEDIA_TYPE **pp, ULONG *pFetched) override {
    if (!pp) return E_POINTER;
    ULONG fetched = 0;
    while (fetched < c && (m_pos < m_types.size() || (m_endless && !m_types.empty()))) {
      if (m_pos >= m_types.size()) m_pos = 0;
      auto *mt = static_cast<AM_MEDIA_TYPE *>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
      if (!mt) break;
      *mt = MakeType(m_types[m_pos++]);
      pp[fetched++] = mt;
    }
    if (pFetched) *pFetched = fetched;
    return fetched == c ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG c) override {
    m_pos += c;
    return m_pos <= m_types.size() ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    m_pos = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumMediaTypes **pp) override {
    if (!pp) return E_POINTER;
    *pp = new TestEnumMediaTypes(m_types, m_pos, m_endless);
    return S_OK;
  }

 private:
  virtual ~TestEnumMediaTypes() = default;
  std::vector<SimpleType> m_types;
  size_t m_pos;
  bool m_endless;
  std::atomic<ULONG> m_ref{1};
};

struct ReceivedSample {
  HRESULT timeResult;
  REFERENCE_TIME start;
  REFERENCE_TIME stop;
  bool syncPoint;
  bool discontinuity;
  LONG length;
  int segment;            // new segments received before this sample
  bool afterEndOfStream;  // an end of stream came since the last new segment
  std::chrono::steady_clock::time_point arrival;
  std::vector<BYTE> data;  // the sample's bytes when keepData is set
};

struct ReceivedSegment {
  REFERENCE_TIME start;
  REFERENCE_TIME stop;
  double rate;
};

class TestInputPin : public IPin, public IMemInputPin {
 public:
  // NullWithSuccess: GetAllocator claims success but hands out nothing.
  enum class AllocatorMode { Own, None, NullWithSuccess };

  TestInputPin() = default;
  TestInputPin(const TestInputPin &) = delete;
  TestInputPin &operator=(const TestInputPin &) = delete;

  // Configuration (set before connecting) -------------------------------------
  PIN_DIRECTION direction = PINDIR_INPUT;
  std::vector<SimpleType> types;  // offered by EnumMediaTypes
  HRESULT enumMediaTypesResult = S_OK;
  bool endlessTypes = false;  // the enumerator never ends
  HRESULT receiveConnectionResult = S_OK;
  HRESULT queryAcceptResult = S_OK;
  AllocatorMode allocatorMode = AllocatorMode::Own;
  HRESULT ownAllocatorSetPropertiesResult = S_OK;  // the own allocator refuses with this when not S_OK
  LONG ownAllocatorGrantAtLeast = 0;               // the own allocator's buffers are at least this big
  ALLOCATOR_PROPERTIES requirements = {};
  HRESULT requirementsResult = E_NOTIMPL;
  HRESULT notifyAllocatorResult = S_OK;
  HRESULT receiveResult = S_OK;
  bool supportsMemInput = true;
  bool holdSamples = false;   // keep every received sample until a flush or ReleaseHeld
  bool blockReceive = false;  // block in Receive until Unblock or a flush
  // BeginFlush waits this long for an end of stream sent into the flush
  // (there should be none), so a worker released by the flush gets its
  // chance to send one before the flush goes on.
  std::chrono::milliseconds lingerInFlush{0};
  bool keepData = false;  // copy each sample's bytes into its record
  bool discard = false;   // count the samples and record nothing else (benchmarks)

  CallLog log;

  // Observations -----------------------------------------------------------------
  IMemAllocator *NotifiedAllocator() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_notified;
  }
  bool NotifiedIsOwn() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_notified && m_notified == static_cast<IMemAllocator *>(m_own);
  }
  ALLOCATOR_PROPERTIES NotifiedProperties() {
    ALLOCATOR_PROPERTIES props = {};
    IMemAllocator *a = NotifiedAllocator();
    if (a) a->GetProperties(&props);
    return props;
  }
  // The allocator this pin hands out (null before GetAllocator); not counted.
  TestAllocator *OwnAllocator() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_own;
  }
  IPin *Connector() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connector;
  }
  size_t DiscardedCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_discarded;
  }
  std::vector<ReceivedSample> Received() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
  }
  int EndOfStreamCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_endOfStream;
  }
  int NewSegmentCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_newSegment;
  }
  std::vector<ReceivedSegment> Segments() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_segments;
  }
  // Forgets the samples and segments received so far (counters stay).
  void ClearReceived() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.clear();
    m_segments.clear();
  }

  // Waits (bounded) until at least n samples were received / n end-of-stream
  // calls arrived / a Receive is blocked. False on time-out.
  bool WaitForReceived(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_received.size() >= n; });
  }
  bool WaitForEndOfStream(int n = 1, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_endOfStream >= n; });
  }
  // Waits (bounded) until n end-of-stream calls arrived or at least
  // `samples` samples were received, whichever comes first.
  bool WaitForEndOrReceived(int n, size_t samples, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_endOfStream >= n || m_received.size() >= samples; });
  }
  bool WaitForNewSegments(int n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_newSegment >= n; });
  }
  bool WaitUntilBlocked(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_blocked > 0; });
  }
  void Unblock() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_released = true;
    m_cv.notify_all();
  }
  void ReleaseHeld() {
    std::vector<IMediaSample *> held;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      held.swap(m_held);
    }
    for (IMediaSample *s : held) s->Release();
  }

  // IUnknown ------------------------------------------------------------------------
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPin)) {
      *ppv = static_cast<IPin *>(this);
    } else if (IsEqualIID(riid, IID_IMemInputPin) && supportsMemInput) {
      *ppv = static_cast<IMemInputPin *>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_ref; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --m_ref;
    if (n == 0) delete this;
    return n;
  }
  ULONG RefCount() const { return m_ref.load(); }

  // IPin ----------------------------------------------------------------------------
  STDMETHODIMP Connect(IPin *, const AM_MEDIA_TYPE *) override {
    log.Add("Connect");
    return E_UNEXPECTED;
  }
  STDMETHODIMP ReceiveConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt) override {
    log.Add("ReceiveConnection");
    if (!pConnector || !pmt) return E_POINTER;
    if (receiveConnectionResult != S_OK) return receiveConnectionResult;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_connector) return VFW_E_ALREADY_CONNECTED;
    m_connector = pConnector;
    m_connector->AddRef();
    m_connectionSubtype = pmt->subtype;
    return S_OK;
  }
  STDMETHODIMP Disconnect() override {
    log.Add("Disconnect");
    IPin *old;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      old = m_connector;
      m_connector = nullptr;
    }
    DropAllocators();
    if (!old) return S_FALSE;
    old->Release();
    return S_OK;
  }
  STDMETHODIMP ConnectedTo(IPin **pp) override {
    if (!pp) return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    *pp = m_connector;
    if (!m_connector) return VFW_E_NOT_CONNECTED;
    m_connector->AddRef();
    return S_OK;
  }
  STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE *) override { return E_NOTIMPL; }
  STDMETHODIMP QueryPinInfo(PIN_INFO *) override { return E_NOTIMPL; }
  STDMETHODIMP QueryDirection(PIN_DIRECTION *pDir) override {
    log.Add("QueryDirection");
    if (!pDir) return E_POINTER;
    *pDir = direction;
    return S_OK;
  }
  STDMETHODIMP QueryId(LPWSTR *) override { return E_NOTIMPL; }
  STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE *) override {
    log.Add("QueryAccept");
    return queryAcceptResult;
  }
  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes **pp) override {
    log.Add("EnumMediaTypes");
    if (!pp) return E_POINTER;
    *pp = nullptr;
    if (FAILED(enumMediaTypesResult)) return enumMediaTypesResult;
    *pp = new TestEnumMediaTypes(types, 0, endlessTypes);
    return S_OK;
  }
  STDMETHODIMP QueryInternalConnections(IPin **, ULONG *) override { return E_NOTIMPL; }
  STDMETHODIMP EndOfStream() override {
    log.Add("EndOfStream");
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_endOfStream;
    m_endedSegment = true;
    m_cv.notify_all();
    return S_OK;
  }
  STDMETHODIMP BeginFlush() override {
    log.Add("BeginFlush");
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_flushing = true;
      m_cv.notify_all();
    }
    ReleaseHeld();
    if (lingerInFlush.count() > 0) {
      std::unique_lock<std::mutex> lock(m_mutex);
      const int ended = m_endOfStream;
      m_cv.wait_for(lock, lingerInFlush, [&] { return m_endOfStream != ended; });
    }
    return S_OK;
  }
  STDMETHODIMP EndFlush() override {
    log.Add("EndFlush");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_flushing = false;
    return S_OK;
  }
  STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override {
    log.Add("NewSegment");
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_newSegment;
    m_endedSegment = false;
    m_segments.push_back({tStart, tStop, dRate});
    m_cv.notify_all();
    return S_OK;
  }

  // IMemInputPin --------------------------------------------------------------------
  STDMETHODIMP GetAllocator(IMemAllocator **pp) override {
    log.Add("GetAllocator");
    if (!pp) return E_POINTER;
    *pp = nullptr;
    if (allocatorMode == AllocatorMode::None) return VFW_E_NO_ALLOCATOR;
    if (allocatorMode == AllocatorMode::NullWithSuccess) return S_OK;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_own) {
      m_own = new TestAllocator(&log);
      m_own->setPropertiesResult = ownAllocatorSetPropertiesResult;
      m_own->grantAtLeast = ownAllocatorGrantAtLeast;
      if (FAILED(m_own->CreateResult())) return m_own->CreateResult();
    }
    m_own->AddRef();
    *pp = m_own;
    return S_OK;
  }
  STDMETHODIMP NotifyAllocator(IMemAllocator *pAllocator, BOOL) override {
    log.Add("NotifyAllocator");
    if (!pAllocator) return E_POINTER;
    if (notifyAllocatorResult != S_OK) return notifyAllocatorResult;
    pAllocator->AddRef();
    IMemAllocator *old;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      old = m_notified;
      m_notified = pAllocator;
    }
    if (old) old->Release();
    return S_OK;
  }
  STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES *pProps) override {
    log.Add("GetAllocatorRequirements");
    if (!pProps) return E_POINTER;
    if (SUCCEEDED(requirementsResult)) *pProps = requirements;
    return requirementsResult;
  }
  STDMETHODIMP Receive(IMediaSample *pSample) override {
    if (!pSample) return E_POINTER;
    if (discard) {
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_discarded;
      return receiveResult;
    }
    ReceivedSample r = {};
    r.timeResult = pSample->GetTime(&r.start, &r.stop);
    r.syncPoint = pSample->IsSyncPoint() == S_OK;
    r.discontinuity = pSample->IsDiscontinuity() == S_OK;
    r.length = pSample->GetActualDataLength();
    r.arrival = std::chrono::steady_clock::now();
    BYTE *bytes = nullptr;
    if (keepData && SUCCEEDED(pSample->GetPointer(&bytes)) && bytes && r.length > 0)
      r.data.assign(bytes, bytes + r.length);
    std::unique_lock<std::mutex> lock(m_mutex);
    r.segment = m_newSegment;
    r.afterEndOfStream = m_endedSegment;
    if (blockReceive) {
      ++m_blocked;
      m_cv.notify_all();
      m_cv.wait(lock, [&] { return m_released || m_flushing; });
      --m_blocked;
    }
    m_received.push_back(std::move(r));
    if (holdSamples) {
      pSample->AddRef();
      m_held.push_back(pSample);
    }
    m_cv.notify_all();
    return receiveResult;
  }
  STDMETHODIMP ReceiveMultiple(IMediaSample **, LONG, LONG *) override { return E_NOTIMPL; }
  STDMETHODIMP ReceiveCanBlock() override { return S_OK; }

 protected:
  virtual ~TestInputPin() {
    ReleaseHeld();
    DropAllocators();
    if (m_connector) m_connector->Release();
  }

 private:
  void DropAllocators() {
    IMemAllocator *notified;
    TestAllocator *own;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      notified = m_notified;
      own = m_own;
      m_notified = nullptr;
      m_own = nullptr;
    }
    if (notified) notified->Release();
    if (own) own->Release();
  }

  std::atomic<ULONG> m_ref{1};
  // Guards everything below. Lock order: taken last; while it is held only
  // reference counts of samples and allocators are touched, and the own
  // allocator is created.
  std::mutex m_mutex;
  std::condition_variable m_cv;
  IPin *m_connector = nullptr;
  GUID m_connectionSubtype = {};
  TestAllocator *m_own = nullptr;
  IMemAllocator *m_notified = nullptr;
  std::vector<ReceivedSample> m_received;
  size_t m_discarded = 0;
  std::vector<ReceivedSegment> m_segments;
  bool m_endedSegment = false;
  std::vector<IMediaSample *> m_held;
  int m_endOfStream = 0;
  int m_newSegment = 0;
  int m_blocked = 0;
  bool m_released = false;
  bool m_flushing = false;
};

}  // namespace tp::test
