#include "dshow/SystemClock.h"

#include <windows.h>

#include <chrono>
#include <limits>
#include <new>
#include <vector>

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

SystemClock::~SystemClock() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_exit = true;
  }
  m_changed.notify_all();
  if (m_thread.joinable()) m_thread.join();
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

HRESULT SystemClock::AddAdvise(const Advise &advise, DWORD_PTR *pdwAdviseCookie) {
  std::lock_guard<std::mutex> lock(m_lock);
  try {
    if (!m_thread.joinable()) m_thread = std::thread([this] { ThreadProc(); });
    const DWORD_PTR cookie = m_nextCookie++;
    m_advises.emplace(cookie, advise);
    *pdwAdviseCookie = cookie;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  m_changed.notify_all();
  return S_OK;
}

STDMETHODIMP SystemClock::AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
                                     DWORD_PTR *pdwAdviseCookie) {
  if (!pdwAdviseCookie) return E_POINTER;
  *pdwAdviseCookie = 0;
  if (!hEvent) return E_INVALIDARG;
  if ((streamTime > 0 && baseTime > std::numeric_limits<REFERENCE_TIME>::max() - streamTime) ||
      (streamTime < 0 && baseTime < std::numeric_limits<REFERENCE_TIME>::min() - streamTime)) {
    return E_INVALIDARG;
  }
  const REFERENCE_TIME due = baseTime + streamTime;
  if (due <= 0) return E_INVALIDARG;
  return AddAdvise({due, 0, reinterpret_cast<HANDLE>(hEvent)}, pdwAdviseCookie);
}

STDMETHODIMP SystemClock::AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE hSemaphore,
                                         DWORD_PTR *pdwAdviseCookie) {
  if (!pdwAdviseCookie) return E_POINTER;
  *pdwAdviseCookie = 0;
  if (!hSemaphore || startTime < 0 || periodTime <= 0) return E_INVALIDARG;
  return AddAdvise({startTime, periodTime, reinterpret_cast<HANDLE>(hSemaphore)}, pdwAdviseCookie);
}

STDMETHODIMP SystemClock::Unadvise(DWORD_PTR dwAdviseCookie) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_advises.erase(dwAdviseCookie) == 0) return S_FALSE;
  m_changed.notify_all();
  return S_OK;
}

void SystemClock::ThreadProc() {
  std::vector<std::pair<HANDLE, LONG>> events, semaphores;
  std::unique_lock<std::mutex> lock(m_lock);
  while (!m_exit) {
    const REFERENCE_TIME now = Now();
    REFERENCE_TIME next = std::numeric_limits<REFERENCE_TIME>::max();
    events.clear();
    semaphores.clear();
    for (auto it = m_advises.begin(); it != m_advises.end();) {
      Advise &a = it->second;
      if (a.due > now) {
        if (a.due < next) next = a.due;
        ++it;
      } else if (a.period == 0) {
        events.emplace_back(a.handle, 1);
        it = m_advises.erase(it);
      } else {
        // Every period that has passed is one release; the count is bounded
        // so that a clock stalled for hours cannot overflow it.
        const REFERENCE_TIME missed = (now - a.due) / a.period + 1;
        const LONG count = missed > 1000 ? 1000 : static_cast<LONG>(missed);
        semaphores.emplace_back(a.handle, count);
        a.due += missed * a.period;
        if (a.due < next) next = a.due;
        ++it;
      }
    }
    if (!events.empty() || !semaphores.empty()) {
      lock.unlock();
      for (auto &e : events) SetEvent(e.first);
      for (auto &s : semaphores) ReleaseSemaphore(s.first, s.second, nullptr);
      lock.lock();
      continue;
    }
    if (next == std::numeric_limits<REFERENCE_TIME>::max()) {
      m_changed.wait(lock);
    } else {
      m_changed.wait_for(lock, std::chrono::microseconds((next - now + 9) / 10));
    }
  }
}

}  // namespace tp::dshow
