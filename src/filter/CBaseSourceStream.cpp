#include "filter/CBaseSourceStream.h"

#include <limits>

#include <evcode.h>
#include <uuids.h>

#include "filter/CMediaSource.h"
#include "framework/CSource.h"
#include "framework/RefTime.h"
#include "trace/Trace.h"

namespace {

constexpr REFERENCE_TIME kUnitsPerSecond = 10000000;
constexpr REFERENCE_TIME kMinCompensation = kUnitsPerSecond;      // 1 s
constexpr REFERENCE_TIME kMaxCompensation = 2 * kUnitsPerSecond;  // 2 s, excluded

// Trace lines print objects as 32-bit values.
int Id(const void *p) { return static_cast<int>(reinterpret_cast<UINT_PTR>(p)); }

}  // namespace

CBaseSourceStream::CBaseSourceStream(LPCTSTR pObjectName, CSource *pFilter, HRESULT *phr, LPCWSTR pName)
    : CSourceStream(pObjectName, phr, pFilter, pName),
      CSourceSeeking(pObjectName, static_cast<IPin *>(this), phr, &m_lock) {
  CAutoLock lock(&m_lock);
  TraceW2(TEXT("CBaseSourceStream::CBaseSourceStream() this(0x%x)"), Id(this));
}

CBaseSourceStream::~CBaseSourceStream() {
  CAutoLock lock(&m_lock);
  TraceW2(TEXT("CBaseSourceStream::~CBaseSourceStream() this(0x%x)"), Id(this));
}

STDMETHODIMP CBaseSourceStream::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IMediaSeeking)) return CSourceSeeking::NonDelegatingQueryInterface(riid, ppv);
  return CSourceStream::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CBaseSourceStream::Notify(IBaseFilter *, Quality) { return E_NOTIMPL; }

HRESULT CBaseSourceStream::DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pRequest) {
  if (!pAlloc || !pRequest) return E_POINTER;
  HRESULT hr = GetAllocatorRequirements(pRequest);
  if (FAILED(hr)) return hr;
  TraceW2(TEXT("CBaseSourceStream::DecideBufferSize request buffer size%d\n"), static_cast<int>(pRequest->cbBuffer));
  ALLOCATOR_PROPERTIES actual = {};
  hr = pAlloc->SetProperties(pRequest, &actual);
  if (FAILED(hr)) return hr;
  if (actual.cbBuffer < pRequest->cbBuffer) return E_FAIL;
  TraceW2(TEXT("CBaseSourceStream this(0x%x)::DecideBufferSize actual buffer size %d\n"), Id(this),
          static_cast<int>(actual.cbBuffer));
  return S_OK;
}

void CBaseSourceStream::SetCompensation(REFERENCE_TIME rtCompensation) {
  TraceW4(TEXT("Compensation time (%d) this(0x%x)"), static_cast<int>(rtCompensation), Id(this));
  m_rtCompensation.store(rtCompensation, std::memory_order_relaxed);
}

REFERENCE_TIME CBaseSourceStream::ToTime(double value) {
  constexpr double kLimit = 9223372036854775807.0;  // 2^63
  if (!(value == value)) return 0;
  if (value >= kLimit) return std::numeric_limits<REFERENCE_TIME>::max();
  if (value <= -kLimit) return std::numeric_limits<REFERENCE_TIME>::min();
  return static_cast<REFERENCE_TIME>(value);
}

REFERENCE_TIME CBaseSourceStream::AddTimes(REFERENCE_TIME a, REFERENCE_TIME b) {
  REFERENCE_TIME sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<REFERENCE_TIME>::max() : std::numeric_limits<REFERENCE_TIME>::min();
}

REFERENCE_TIME CBaseSourceStream::SubtractTimes(REFERENCE_TIME a, REFERENCE_TIME b) {
  REFERENCE_TIME difference;
  if (!__builtin_sub_overflow(a, b, &difference)) return difference;
  return b < 0 ? std::numeric_limits<REFERENCE_TIME>::max() : std::numeric_limits<REFERENCE_TIME>::min();
}

// Worker ------------------------------------------------------------------------------

HRESULT CBaseSourceStream::OnThreadCreate() {
  TraceW2(TEXT("CBaseSourceStream::OnThreadCreate() this(0x%x)"), Id(this));
  CAutoLock lock(&m_lock);
  m_rtSampleStart = 0;
  m_rtPosition = m_rtStart;
  m_bRestartPending = false;
  // A new run (after Stop) starts from the seek start again: a track that
  // delivered samples in an earlier run is moved back there, so its data
  // and the positions above agree.
  if (m_bTrackAdvanced) SeekTrackToStart();
  return S_OK;
}

void CBaseSourceStream::SeekTrackToStart() {
  // In integers, as the exact inverse of the samples' stamps: a seek to a
  // sample's own stamp starts at that sample (in double precision,
  // 12800 x 2.8 s gives 35839.99..., and the seek would show the frame
  // before).
  LONGLONG trackTime = RefTimeToUnits(m_rtStart, m_timeScale);
  TraceW2(TEXT("SampleTime %d"), static_cast<int>(trackTime));
  SeekTo(&trackTime);
  m_bTrackAdvanced = false;
}

HRESULT CBaseSourceStream::OnThreadStartPlay() {
  REFERENCE_TIME start, stop;
  double rate;
  {
    // The positions are read under the lock (control threads write them);
    // the new segment goes out without it.
    CAutoLock lock(&m_lock);
    start = m_rtSegmentStart = m_rtStart;
    stop = m_rtStop;
    rate = m_dSegmentRate = m_dRateSeeking;
    m_bRestartPending = false;
  }
  TraceW2(TEXT("CBaseSourceStream::OnThreadStartPlay() this(0x%x) start(%d)"), Id(this), static_cast<int>(start));
  m_bDiscontinuity = TRUE;
  return DeliverNewSegment(start, stop, rate);
}

HRESULT CBaseSourceStream::FillBuffer(IMediaSample *pSample) {
  auto *source = dynamic_cast<CMediaSource *>(CSourceStream::m_pFilter);
  if (source != nullptr && source->StreamFailure() != S_OK) return kFilterFailed;
  {
    CAutoLock lock(&m_lock);
    // Checked before the track is asked, so that the first sample after a
    // seek is not taken out of the track and lost.
    if (m_bRestartPending) return kRestartPending;
    if (m_rtPosition > m_rtStop) return S_FALSE;
    BYTE *pData = nullptr;
    if (FAILED(pSample->GetPointer(&pData)) || !pData) return S_FALSE;
    long size = pSample->GetSize();
    m_bTrackAdvanced = true;
    HRESULT hr = FillSample(pSample, pData, &size);
    if (hr != S_OK) {
      TraceW2(TEXT(" Fill buffer(%x) this(0x%x)"), static_cast<int>(hr), Id(this));
      if (FAILED(hr)) {
        TraceW8(TEXT("Reading the movie failed(0x%x) at (%d) ms this(0x%x)"), static_cast<int>(hr),
                static_cast<int>(m_rtPosition / 10000), Id(this));
        return hr;
      }
      return S_FALSE;
    }
    pSample->SetActualDataLength(size);
    // The sample's start and its end are each scaled by the rate (the
    // quotients truncated toward zero), so that one sample's stop is the
    // next one's start at any rate.
    const REFERENCE_TIME sampleEnd = AddTimes(m_rtSampleStart, m_rtSampleDuration);
    REFERENCE_TIME start =
        ToTime(static_cast<double>(SubtractTimes(m_rtSampleStart, m_rtSegmentStart)) / m_dSegmentRate);
    REFERENCE_TIME stop = ToTime(static_cast<double>(SubtractTimes(sampleEnd, m_rtSegmentStart)) / m_dSegmentRate);
    pSample->SetTime(&start, &stop);
    m_rtSampleStart = sampleEnd;
    m_rtPosition = m_rtSampleStart;
  }
  pSample->SetSyncPoint(TRUE);
  if (m_bDiscontinuity) {
    pSample->SetDiscontinuity(TRUE);
    m_bDiscontinuity = FALSE;
  }
  const REFERENCE_TIME compensation = Compensation();
  if (compensation >= kMinCompensation && compensation < kMaxCompensation) {
    Sleep(static_cast<DWORD>(compensation / 10000));
  }
  return S_OK;
}

HRESULT CBaseSourceStream::DoBufferProcessingLoop() {
  OnThreadStartPlay();

  Command com;
  do {
    while (!CheckRequest(&com)) {
      IMediaSample *pSample = nullptr;
      HRESULT hr = GetDeliveryBuffer(&pSample, nullptr, nullptr, 0);
      if (FAILED(hr) || !pSample) {
        // The allocator is decommitted while a stop is on its way.
        Sleep(1);
        continue;
      }
      hr = FillBuffer(pSample);
      if (hr == S_OK) {
        hr = Deliver(pSample);
        pSample->Release();
        // Downstream asked us to stop (S_FALSE) or failed: no end of stream.
        if (hr != S_OK) return S_OK;
      } else if (hr == kRestartPending) {
        pSample->Release();
        // The command that restarts the loop follows the change that set
        // the flag; wait for it rather than fill again.
        GetRequest();
      } else if (hr == kFilterFailed) {
        pSample->Release();
        return S_OK;
      } else if (FAILED(hr)) {
        pSample->Release();
        // The movie has not ended: an end of stream would have renderers
        // report it complete. The first pin to fail tells the graph.
        auto *source = dynamic_cast<CMediaSource *>(CSourceStream::m_pFilter);
        if (source == nullptr || source->ReportStreamFailure(hr)) m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
        return hr;
      } else {
        pSample->Release();
        DeliverEndOfStream();
        return S_OK;
      }
    }
    if (com == CMD_RUN || com == CMD_PAUSE) {
      Reply(S_OK);
    } else if (com != CMD_STOP) {
      Reply(static_cast<DWORD>(E_UNEXPECTED));
    }
  } while (com != CMD_STOP);
  // The STOP stays pending; ThreadProc answers it.
  return S_FALSE;
}

// Seeking -----------------------------------------------------------------------------

STDMETHODIMP CBaseSourceStream::SetRate(double dRate) {
  if (!(dRate > 0)) return E_INVALIDARG;
  {
    CAutoLock lock(&m_lock);
    m_dRateSeeking = dRate;
    m_bRestartPending = true;
  }
  UpdateFromSeek();
  return S_OK;
}

HRESULT CBaseSourceStream::ChangeStart() {
  {
    CAutoLock lock(&m_lock);
    TraceW2(TEXT("CBaseSourceStream::ChangeStart() this(0x%x) start(%d)"), Id(this), static_cast<int>(m_rtStart));
    m_rtPosition = m_rtStart;
    SeekTrackToStart();
    SetCompensation(0);
    m_bRestartPending = true;
  }
  UpdateFromSeek();
  return S_OK;
}

HRESULT CBaseSourceStream::ChangeStop() {
  bool restart;
  {
    CAutoLock lock(&m_lock);
    TraceW2(TEXT("CBaseSourceStream::ChangeStop() this(0x%x)"), Id(this));
    restart = m_rtPosition >= m_rtStop;
    // The worker, released by the flush, must not take the new stop as the
    // end of the old segment and send an end of stream into the flush: it
    // waits for the restart instead.
    if (restart) m_bRestartPending = true;
  }
  if (restart) UpdateFromSeek();
  return S_OK;
}

HRESULT CBaseSourceStream::ChangeRate() {
  TraceW2(TEXT("CBaseSourceStream::ChangeRate() this(0x%x)"), Id(this));
  return S_OK;
}

void CBaseSourceStream::UpdateFromSeek() {
  TraceW2(TEXT("CBaseSourceStream::UpdateFromSeek() this(0x%x)"), Id(this));
  {
    // The filter lock keeps Active and Inactive (which start and end the
    // worker under it) from running between the check and the commands.
    CAutoLock filterLock(CBasePin::m_pLock);
    if (ThreadExists()) {
      DeliverBeginFlush();
      Stop();
      DeliverEndFlush();
      Run();
    }
  }
  TraceW2(TEXT("CBaseSourceStream::UpdateFromSeek() end this(0x%x)"), Id(this));
}
