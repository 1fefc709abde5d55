// The system reference clock (CLSID_SystemClock): IReferenceClock over the
// machine's monotonic clock, in 100 ns units.
//
// AdviseTime sets an event once the clock reaches a time; AdvisePeriodic
// releases a semaphore at a start time and once per period after it
// (ClockAdvises: one thread, started by the first advise, ended when the
// clock is destroyed).
//
// Ownership: COM reference counting. The event and semaphore handles belong
// to the caller, who must keep them open until the request fires (one-shot)
// or is removed with Unadvise.
//
// Threads: every method may be called from any thread.
#pragma once

#include <strmif.h>

#include <atomic>

#include "tpclock/ClockAdvises.h"

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
  ~SystemClock() = default;

  std::atomic<LONG> m_cRef{0};
  std::atomic<REFERENCE_TIME> m_last{0};
  tp::clock::ClockAdvises m_advises{&SystemClock::Now};
};

inline HRESULT CreateSystemClock(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) {
  return SystemClock::Create(pUnkOuter, riid, ppv);
}

}  // namespace tp::dshow
