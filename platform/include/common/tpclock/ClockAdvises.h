// ClockAdvises: the advise requests of a reference clock (IReferenceClock's
// AdviseTime, AdvisePeriodic and Unadvise) and the one thread that signals
// them as the clock's time reaches them.
//
// AdviseTime sets an event once the clock reaches base + stream time;
// AdvisePeriodic releases a semaphore at a start time and once for every
// period after it (a clock that stalled releases the periods it missed, at
// most 1000 at once). The thread starts with the first advise and ends with
// the object; it reads the clock through the function it is given, with no
// lock of this object held, and waits for the earliest request, at most
// `longestWait` at a time (for clocks that do not move at the system's
// pace; Wake tells it the clock moved).
//
// Header-only and written against the Windows interfaces alone, so that the
// platform's system clock and the host's sound clock share it.
//
// Ownership: the handles given stay the caller's and must stay open until
// the request fires or is removed. The owner destroys this object before
// anything its time function uses. Threads: every method from any thread;
// m_lock is a leaf lock (handles are signalled, and the time read, after it
// is left).
#pragma once

#include <windows.h>
#include <strmif.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace tp::clock {

class ClockAdvises {
 public:
  using Now = std::function<REFERENCE_TIME()>;

  explicit ClockAdvises(Now now, REFERENCE_TIME longestWait = std::numeric_limits<REFERENCE_TIME>::max())
      : m_now(std::move(now)), m_longestWait(longestWait) {}
  ~ClockAdvises() {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_exit = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
  }
  ClockAdvises(const ClockAdvises &) = delete;
  ClockAdvises &operator=(const ClockAdvises &) = delete;

  // E_POINTER for a null cookie; E_INVALIDARG for a null event or a time
  // that is not positive or overflows. A time already reached fires at once.
  HRESULT AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent, DWORD_PTR *pdwAdviseCookie) {
    if (!pdwAdviseCookie) return E_POINTER;
    *pdwAdviseCookie = 0;
    if (!hEvent) return E_INVALIDARG;
    if ((streamTime > 0 && baseTime > std::numeric_limits<REFERENCE_TIME>::max() - streamTime) ||
        (streamTime < 0 && baseTime < std::numeric_limits<REFERENCE_TIME>::min() - streamTime)) {
      return E_INVALIDARG;
    }
    const REFERENCE_TIME due = baseTime + streamTime;
    if (due <= 0) return E_INVALIDARG;
    return Add({due, 0, reinterpret_cast<HANDLE>(hEvent)}, pdwAdviseCookie);
  }
  // E_INVALIDARG for a null semaphore, a negative start or a period that is
  // not positive.
  HRESULT AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE hSemaphore,
                         DWORD_PTR *pdwAdviseCookie) {
    if (!pdwAdviseCookie) return E_POINTER;
    *pdwAdviseCookie = 0;
    if (!hSemaphore || startTime < 0 || periodTime <= 0) return E_INVALIDARG;
    return Add({startTime, periodTime, reinterpret_cast<HANDLE>(hSemaphore)}, pdwAdviseCookie);
  }
  // S_FALSE for a cookie that is not (or no longer) advised.
  HRESULT Unadvise(DWORD_PTR dwAdviseCookie) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_advises.erase(dwAdviseCookie) == 0) return S_FALSE;
    ++m_version;
    m_changed.notify_all();
    return S_OK;
  }
  // The clock moved other than at the system's pace: look again now.
  void Wake() {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      ++m_version;
    }
    m_changed.notify_all();
  }

 private:
  struct Advise {
    REFERENCE_TIME due;
    REFERENCE_TIME period;  // 0 for a one-shot event
    HANDLE handle;
  };

  HRESULT Add(const Advise &advise, DWORD_PTR *pdwAdviseCookie) {
    std::lock_guard<std::mutex> lock(m_lock);
    try {
      if (!m_thread.joinable()) m_thread = std::thread([this] { ThreadProc(); });
      const DWORD_PTR cookie = m_nextCookie++;
      m_advises.emplace(cookie, advise);
      *pdwAdviseCookie = cookie;
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    ++m_version;
    m_changed.notify_all();
    return S_OK;
  }

  void ThreadProc() {
    std::vector<std::pair<HANDLE, LONG>> events, semaphores;
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_exit) {
      // The time is read outside the lock; a change made meanwhile shows in
      // the version, and the wait below then does not sleep.
      const uint64_t seen = m_version;
      lock.unlock();
      const REFERENCE_TIME now = m_now();
      lock.lock();
      REFERENCE_TIME next = std::numeric_limits<REFERENCE_TIME>::max();
      events.clear();
      semaphores.clear();
      for (auto it = m_advises.begin(); it != m_advises.end();) {
        Advise &a = it->second;
        if (a.due > now) {
          next = std::min(next, a.due);
          ++it;
        } else if (a.period == 0) {
          events.emplace_back(a.handle, 1);
          it = m_advises.erase(it);
        } else {
          // Every period that has passed is one release; the count is
          // bounded so that a clock stalled for hours cannot overflow it.
          const REFERENCE_TIME missed = (now - a.due) / a.period + 1;
          semaphores.emplace_back(a.handle, missed > 1000 ? 1000 : static_cast<LONG>(missed));
          a.due += missed * a.period;
          next = std::min(next, a.due);
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
      auto changed = [&] { return m_exit || m_version != seen; };
      if (next == std::numeric_limits<REFERENCE_TIME>::max()) {
        m_changed.wait(lock, changed);
      } else {
        const REFERENCE_TIME wait = std::min(next - now, m_longestWait);
        m_changed.wait_for(lock, std::chrono::microseconds((wait + 9) / 10), changed);
      }
    }
  }

  const Now m_now;
  const REFERENCE_TIME m_longestWait;
  // Guards every field below.
  std::mutex m_lock;
  std::condition_variable m_changed;  // a request came or went, the clock moved, or exit
  std::map<DWORD_PTR, Advise> m_advises;
  DWORD_PTR m_nextCookie = 1;
  uint64_t m_version = 0;  // counts the changes above, and Wake
  bool m_exit = false;
  std::thread m_thread;
};

}  // namespace tp::clock
