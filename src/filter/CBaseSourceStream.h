// CBaseSourceStream: the common base of the filter's output pins. It joins
// the framework's push pin and worker (CSourceStream) to the seeking state
// (CSourceSeeking) and adds what every stream shares: its own lock, buffer
// sizing, time stamping relative to the segment's start and rate, the end of
// stream at the stop position, seek/stop/rate commands that restart the
// worker, and the lateness compensation delay.
//
// What a sample holds, what the allocator must give and how the track is
// repositioned are left to FillSample, GetAllocatorRequirements and SeekTo.
//
// Ownership: the pin belongs to its filter (framework pin array); the seeking
// face forwards its IUnknown to the pin, whose counts go to the filter.
//
// Threads: the worker runs OnThreadCreate, OnThreadStartPlay and FillBuffer
// (and FillSample inside it, with m_lock held). Control threads run the
// seeking commands and DecideBufferSize; the downstream renderer's thread may
// call SetCompensation (through the video pin's quality notification).
//
// Lock order: the filter lock (taken by UpdateFromSeek while it restarts the
// worker) before m_lock; m_lock is never held while the worker is called.
#pragma once

#include <atomic>

#include <windows.h>
#include <strmif.h>

#include "framework/CSourceSeeking.h"
#include "framework/CSourceStream.h"
#include "framework/Sync.h"

class CBaseSourceStream : public CSourceStream, public CSourceSeeking {
 public:
  CBaseSourceStream(LPCTSTR pObjectName, CSource *pFilter, HRESULT *phr, LPCWSTR pName);
  ~CBaseSourceStream() override;

  // IUnknown: every face goes to the pin (and so to the filter).
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    return CBasePin::GetOwner()->QueryInterface(riid, ppv);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return CBasePin::GetOwner()->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return CBasePin::GetOwner()->Release(); }

  // INonDelegatingUnknown: IMediaSeeking from the seeking base, the rest
  // from the pin.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) NonDelegatingAddRef() override { return CSourceStream::NonDelegatingAddRef(); }
  STDMETHODIMP_(ULONG) NonDelegatingRelease() override { return CSourceStream::NonDelegatingRelease(); }

  // IQualityControl: not handled by this stream (E_NOTIMPL).
  STDMETHODIMP Notify(IBaseFilter *pSelf, Quality q) override;

  // IMediaSeeking: E_INVALIDARG unless rate > 0; stores it and restarts the
  // worker.
  STDMETHODIMP SetRate(double dRate) override;

  // CBaseOutputPin: asks GetAllocatorRequirements for the buffers, E_FAIL
  // when the allocator grants a smaller buffer than asked.
  HRESULT DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pRequest) override;

  // Delay (100 ns units) slept after each filled sample while it lies in
  // [1 s, 2 s). Any thread.
  void SetCompensation(REFERENCE_TIME rtCompensation);
  REFERENCE_TIME Compensation() const { return m_rtCompensation.load(std::memory_order_relaxed); }

  // Stops and restarts the worker's loop (flushing downstream) so that it
  // starts a new segment. Control threads only, without m_lock held.
  void UpdateFromSeek();

 protected:
  // The next sample into pData (capacity *pSize on entry; the byte count on
  // return), setting m_rtSampleStart and m_rtSampleDuration (100 ns units,
  // track time). 0 when a sample was produced. Worker thread, m_lock held.
  virtual HRESULT FillSample(IMediaSample *pSample, BYTE *pData, long *pSize) = 0;
  virtual HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES *pRequest) = 0;
  // Repositions the track to *pTime (track time-scale units). m_lock held.
  virtual HRESULT SeekTo(LONGLONG *pTime) = 0;

  // CSourceStream (worker thread)
  HRESULT FillBuffer(IMediaSample *pSample) override;
  HRESULT OnThreadCreate() override;
  HRESULT OnThreadStartPlay() override;
  // The framework's loop, plus three cases: a sample filled while a restart
  // is pending is dropped and the worker waits for the restart's command; a
  // failed fill (a read that failed) sends no end of stream, since the
  // movie has not ended, and raises EC_ERRORABORT once for the filter; and
  // once a pin of the filter has failed, the others stop at their next
  // sample without an end of stream either.
  HRESULT DoBufferProcessingLoop() override;

  // CSourceSeeking (control threads, lock not held)
  HRESULT ChangeStart() override;
  HRESULT ChangeStop() override;
  HRESULT ChangeRate() override;

  // Time arithmetic that stays defined for any input (times come from
  // files and from callers): a quotient truncated toward zero, held at the
  // ends of the 64-bit range (NaN gives 0); a sum and a difference held
  // there too.
  static REFERENCE_TIME ToTime(double value);
  static REFERENCE_TIME AddTimes(REFERENCE_TIME a, REFERENCE_TIME b);
  static REFERENCE_TIME SubtractTimes(REFERENCE_TIME a, REFERENCE_TIME b);

  // Moves the track to the seek start (m_rtStart in track units). m_lock held.
  void SeekTrackToStart();

  // FillBuffer's result for a sample that must not be delivered because a
  // restart of the loop is on its way.
  static constexpr HRESULT kRestartPending = 2;
  // FillBuffer's result once another pin of the filter failed: the loop
  // ends without an end of stream.
  static constexpr HRESULT kFilterFailed = 3;

  // Guards the fields below it (except the ones marked) and the seeking
  // base's m_rtStart, m_rtStop, m_dRateSeeking. Taken after the filter lock.
  CCritSec m_lock;
  REFERENCE_TIME m_rtSampleStart = 0;
  REFERENCE_TIME m_rtPosition = 0;
  REFERENCE_TIME m_rtSampleDuration = 0;
  LONG m_timeScale = 0;  // units per second; set by the derived class
  // Start and rate of the segment the running loop announced; samples are
  // stamped against these, so a command that lands between the seeking
  // base's store and the restart cannot stamp a sample of the old segment
  // with the new values.
  REFERENCE_TIME m_rtSegmentStart = 0;
  double m_dSegmentRate = 1.0;
  // Set when the position or rate changed under a running loop; samples
  // filled meanwhile belong to no announced segment and are dropped. Cleared
  // when the loop starts again.
  bool m_bRestartPending = false;
  // The track was asked for samples since it was last positioned at the
  // seek start.
  bool m_bTrackAdvanced = false;

  BOOL m_bDiscontinuity = FALSE;  // worker thread only
  // Written from any thread, read by the worker after it left m_lock.
  std::atomic<REFERENCE_TIME> m_rtCompensation{0};
};
