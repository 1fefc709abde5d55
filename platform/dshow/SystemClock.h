// The system reference clock (CLSID_SystemClock): IReferenceClock over the
// machine's monotonic clock, in 100 ns units.
//
// AdviseTime sets an event once the clock reaches a time; AdvisePeriodic
// releases a semaphore at a start time and once per period after it. One
// worker thread, started by the first advise, waits for the earliest due
// request and signals it; it ends when the clock is destroyed.
//
// Ownership: COM reference counting. The event and semaphore handles belong
// to the caller, who must keep them open until the request fires (one-shot)
// or is removed with Unadvise.
//
// Threads: every method may be called from any thread.
#pragma once

#include <strmif.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace tp::dshow {

class SystemClock final : public IReferenceClock {
 public:
  static HRESULT Create(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv);

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IReferenceClock
  // Never goes backwards; S_FALSE when the time equals the last one given.
  STDMETHODIMP GetTime(REFERENCE_TIME *pTime) override;
  // E_POINTER for a null cookie, E_INVALIDARG for a null event or a time
  // (baseTime + streamTime) that is not positive or overflows. A time
  // already past sets the event at once.
  STDMETHODIMP AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
                          DWORD_PTR *pdwAdviseCookie) override;
  // E_INVALIDARG for a null semaphore, a negative start or a period that is
  // not positive. A period missed (the machine stalled) is released late,
  // once per missed period.
  STDMETHODIMP AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE hSemaphore,
                              DWORD_PTR *pdwAdviseCookie) override;
  // S_FALSE for a cookie that is not (or no longer) advised.
  STDMETHODIMP Unadvise(DWORD_PTR dwAdviseCookie) override;

  // The monotonic clock in 100 ns units, as GetTime reads it before the
  // no-going-back rule.
  static REFERENCE_TIME Now();

 private:
  SystemClock() = default;
  ~SystemClock();

  struct Advise {
    REFERENCE_TIME due;
    REFERENCE_TIME period;  // 0 for a one-shot event
    HANDLE handle;
  };

  HRESULT AddAdvise(const Advise &advise, DWORD_PTR *pdwAdviseCookie);
  void ThreadProc();

  std::atomic<LONG> m_cRef{0};
  std::atomic<REFERENCE_TIME> m_last{0};
  // Guards every field below. A leaf lock: handles are signalled after it
  // is left.
  std::mutex m_lock;
  std::condition_variable m_changed;  // a request came or went, or exit
  std::map<DWORD_PTR, Advise> m_advises;
  DWORD_PTR m_nextCookie = 1;
  bool m_exit = false;
  std::thread m_thread;
};

inline HRESULT CreateSystemClock(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) {
  return SystemClock::Create(pUnkOuter, riid, ppv);
}

}  // namespace tp::dshow
