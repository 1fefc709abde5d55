#include "sinks/AudioClock.h"

#include <algorithm>
#include <chrono>
#include <new>

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
    : m_rate(rate == 0 ? 1 : rate),
      m_now(now),
      m_origin(now()),
      m_last(m_origin),
      m_advises(
          [this] {
            std::lock_guard<std::mutex> lock(m_lock);
            return TimeLocked();
          },
          kLongestWait) {}

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
  m_advises.Wake();
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

STDMETHODIMP AudioClock::AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
                                    DWORD_PTR *pdwAdviseCookie) {
  return m_advises.AdviseTime(baseTime, streamTime, hEvent, pdwAdviseCookie);
}

STDMETHODIMP AudioClock::AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE hSemaphore,
                                        DWORD_PTR *pdwAdviseCookie) {
  return m_advises.AdvisePeriodic(startTime, periodTime, hSemaphore, pdwAdviseCookie);
}

STDMETHODIMP AudioClock::Unadvise(DWORD_PTR dwAdviseCookie) { return m_advises.Unadvise(dwAdviseCookie); }

}  // namespace tp::sinks
