#include "sinks/AudioClock.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <new>
#include <utility>
#include <vector>

namespace tp::sinks {
namespace {

constexpr REFERENCE_TIME kUnits = 10000000;
// The advise thread looks at the clock at least this often (100 ns units).
constexpr REFERENCE_TIME kLongestWait = 10 * 10000;

}  // namespace

REFERENCE_TIME AudioClock::SystemTime() {
  using namespace std::chrono;
  return duration_cast<duration<REFERENCE_TIME, std::ratio<1, kUnits>>>(steady_clock::now().time_since_epoch()).count();
}

AudioClock *AudioClock::Create(uint32_t rate, TimeSource now) {
  auto *clock = new (std::nothrow) AudioClock(rate, now ? now : &SystemTime);
  if (clock) clock->AddRef();
  return clock;
}

AudioClock::AudioClock(uint32_t rate, TimeSource now)
    : m_rate(rate == 0 ? 1 : rate), m_now(now), m_origin(now()), m_last(m_origin) {}

AudioClock::~AudioClock() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_exit = true;
  }
  m_changed.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

STDMETHODIMP AudioClock::QueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IReferenceClock)) {
    *ppv = static_cast<IReferenceClock *>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) AudioClock::Release() {
  const LONG left = --m_cRef;
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

REFERENCE_TIME AudioClock::FramesToTime(int64_t frames) const {
  // Whole seconds and the rest apart, so that the product cannot overflow.
  return frames / m_rate * kUnits + frames % m_rate * kUnits / m_rate;
}

int64_t AudioClock::FrameAt(REFERENCE_TIME time) const {
  const REFERENCE_TIME t = time - m_origin;
  return t / kUnits * m_rate + t % kUnits * m_rate / kUnits;
}

REFERENCE_TIME AudioClock::TimeOfFrame(int64_t frame) const { return m_origin + FramesToTime(frame); }

void AudioClock::Consumed(int64_t frames) {
  if (frames <= 0) return;
  const REFERENCE_TIME now = m_now();
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_before += m_block;
    m_block = frames;
    m_blockAt = now;
  }
  m_changed.notify_all();
}

REFERENCE_TIME AudioClock::TimeLocked() {
  const REFERENCE_TIME into = std::clamp<REFERENCE_TIME>(m_now() - m_blockAt, 0, FramesToTime(m_block));
  const REFERENCE_TIME t = m_origin + FramesToTime(m_before) + into;
  if (t > m_last) m_last = t;
  return m_last;
}

STDMETHODIMP AudioClock::GetTime(REFERENCE_TIME *pTime) {
  if (!pTime) return E_POINTER;
  std::lock_guard<std::mutex> lock(m_lock);
  const REFERENCE_TIME before = m_last;
  *pTime = TimeLocked();
  return *pTime == before ? S_FALSE : S_OK;
}

HRESULT AudioClock::AddAdvise(const Advise &advise, DWORD_PTR *pdwAdviseCookie) {
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

STDMETHODIMP AudioClock::AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
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

STDMETHODIMP AudioClock::AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE hSemaphore,
                                        DWORD_PTR *pdwAdviseCookie) {
  if (!pdwAdviseCookie) return E_POINTER;
  *pdwAdviseCookie = 0;
  if (!hSemaphore || startTime < 0 || periodTime <= 0) return E_INVALIDARG;
  return AddAdvise({startTime, periodTime, reinterpret_cast<HANDLE>(hSemaphore)}, pdwAdviseCookie);
}

STDMETHODIMP AudioClock::Unadvise(DWORD_PTR dwAdviseCookie) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_advises.erase(dwAdviseCookie) == 0) return S_FALSE;
  m_changed.notify_all();
  return S_OK;
}

void AudioClock::ThreadProc() {
  std::vector<std::pair<HANDLE, LONG>> events, semaphores;
  std::unique_lock<std::mutex> lock(m_lock);
  while (!m_exit) {
    const REFERENCE_TIME now = TimeLocked();
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
        // Each period passed is one release, bounded as the system clock's.
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
    if (next == std::numeric_limits<REFERENCE_TIME>::max()) {
      m_changed.wait(lock);
    } else {
      const REFERENCE_TIME wait = std::min(next - now, kLongestWait);
      m_changed.wait_for(lock, std::chrono::microseconds((wait + 9) / 10));
    }
  }
}

}  // namespace tp::sinks
