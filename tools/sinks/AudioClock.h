// AudioClock: a reference clock (IReferenceClock) that advances by the sound
// a device has consumed: its time is an origin plus frames consumed / rate,
// in 100 ns units. The device reports each block it takes (Consumed); the
// clock moves across that block at the pace of the system's clock and stops
// at the block's end until the next one comes, so it never runs ahead of
// the sound by more than one block, it stands still while the device is
// paused, and it never goes backwards.
//
// AdviseTime and AdvisePeriodic work as the system clock's (ClockAdvises):
// one thread, started by the first advise, signals each request once this
// clock reaches it, waking at least every 10 ms and whenever the device
// reports a block, since this clock's pace is the device's.
//
// Ownership: COM reference counting; the handles given to the advise calls
// stay the caller's and must stay open until the request fires or is
// removed. Threads: every method from any thread. m_lock is a leaf lock;
// the advises' lock is never held with it.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "tpclock/ClockAdvises.h"

namespace tp::sinks {

class AudioClock final : public IReferenceClock {
 public:
  // The system's monotonic time in 100 ns units; tests give their own.
  using TimeSource = REFERENCE_TIME (*)();
  static REFERENCE_TIME SystemTime();

  // A clock for a device consuming `rate` frames a second (at least 1),
  // starting at the system's time; one reference for the caller, or null
  // without memory.
  static AudioClock *Create(uint32_t rate, TimeSource now = &SystemTime);

  // The device took `frames` more frames just now (its thread).
  void Consumed(int64_t frames);
  // The device frame heard at clock time `time`, and back.
  int64_t FrameAt(REFERENCE_TIME time) const;
  REFERENCE_TIME TimeOfFrame(int64_t frame) const;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
  STDMETHODIMP_(ULONG) Release() override;

  // IReferenceClock
  // S_FALSE when the time equals the last one given.
  STDMETHODIMP GetTime(REFERENCE_TIME *pTime) override;
  // E_POINTER for a null cookie; E_INVALIDARG for a null event or a time
  // that is not positive or overflows. A time already reached fires at once.
  STDMETHODIMP AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
                          DWORD_PTR *pdwAdviseCookie) override;
  // E_INVALIDARG for a null semaphore, a negative start or a period that is
  // not positive.
  STDMETHODIMP AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE hSemaphore,
                              DWORD_PTR *pdwAdviseCookie) override;
  // S_FALSE for a cookie that is not (or no longer) advised.
  STDMETHODIMP Unadvise(DWORD_PTR dwAdviseCookie) override;

 private:
  AudioClock(uint32_t rate, TimeSource now);
  ~AudioClock() = default;

  REFERENCE_TIME FramesToTime(int64_t frames) const;
  REFERENCE_TIME TimeLocked();

  std::atomic<LONG> m_cRef{0};
  const uint32_t m_rate;
  const TimeSource m_now;
  const REFERENCE_TIME m_origin;
  // Guards the fields below it. Taken by the advise thread when it reads
  // the time, with the advises' own lock not held.
  std::mutex m_lock;
  int64_t m_before = 0;          // frames consumed before the last block
  int64_t m_block = 0;           // frames of the last block
  REFERENCE_TIME m_blockAt = 0;  // system time the last block was taken
  REFERENCE_TIME m_last = 0;     // the last time handed out
  // Last, so that its thread ends before the fields it reads go.
  tp::clock::ClockAdvises m_advises;
};

}  // namespace tp::sinks
