#include "dshow/SystemClock.h"

#include <windows.h>

#include <chrono>
#include <new>

namespace tp::dshow {

HRESULT SystemClock::Create(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  SystemClock *clock = new (std::nothrow) SystemClock();
  if (!clock) return E_OUTOFMEMORY;
  clock->AddRef();
  HRESULT hr = clock->QueryInterface(riid, ppv);
  clock->Release();
  return hr;
}

STDMETHODIMP SystemClock::QueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IReferenceClock)) {
    *ppv = static_cast<IReferenceClock *>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) SystemClock::AddRef() { return static_cast<ULONG>(++m_cRef); }

STDMETHODIMP_(ULONG) SystemClock::Release() {
  const LONG left = --m_cRef;
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

REFERENCE_TIME SystemClock::Now() {
  using namespace std::chrono;
  return duration_cast<duration<REFERENCE_TIME, std::ratio<1, 10000000>>>(steady_clock::now().time_since_epoch())
      .count();
}

STDMETHODIMP SystemClock::GetTime(REFERENCE_TIME *pTime) {
  if (!pTime) return E_POINTER;
  REFERENCE_TIME now = Now();
  REFERENCE_TIME last = m_last.load();
  while (now > last && !m_last.compare_exchange_weak(last, now)) {
  }
  if (now <= last) {
    *pTime = last;
    return S_FALSE;
  }
  *pTime = now;
  return S_OK;
}

STDMETHODIMP SystemClock::AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
                                     DWORD_PTR *pdwAdviseCookie) {
  return m_advises.AdviseTime(baseTime, streamTime, hEvent, pdwAdviseCookie);
}

STDMETHODIMP SystemClock::AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE hSemaphore,
                                         DWORD_PTR *pdwAdviseCookie) {
  return m_advises.AdvisePeriodic(startTime, periodTime, hSemaphore, pdwAdviseCookie);
}

STDMETHODIMP SystemClock::Unadvise(DWORD_PTR dwAdviseCookie) { return m_advises.Unadvise(dwAdviseCookie); }

}  // namespace tp::dshow
