#include "sinks/SoundClock.h"

namespace tp::sinks {
namespace {

constexpr LONGLONG kUnitsPerSecond = 10000000;

// count x a / b in 64 bits for counts of any length (b > 0), truncated.
LONGLONG Scale(LONGLONG count, LONGLONG a, LONGLONG b) { return count / b * a + count % b * a / b; }

}  // namespace

void SoundClock::Reset() {
  tp::sink::Guard lock(m_lock);
  m_started = false;
  m_before = 0;
  m_since = 0;
}

void SoundClock::Queue(REFERENCE_TIME now, REFERENCE_TIME stamp, LONGLONG frames, LONG rate) {
  if (frames <= 0 || rate <= 0) return;
  tp::sink::Guard lock(m_lock);
  if (!m_started) {
    m_started = true;
    m_rate = rate;
    m_origin = stamp;
    m_restartAt = now;
  } else if (now > m_restartAt + Scale(m_since, kUnitsPerSecond, m_rate)) {
    // The device ran dry before this buffer came: it starts again now.
    m_before += m_since;
    m_since = 0;
    m_restartAt = now;
  }
  m_since += frames;
}

bool SoundClock::Read(REFERENCE_TIME now, REFERENCE_TIME *position) {
  tp::sink::Guard lock(m_lock);
  if (!m_started) return false;
  LONGLONG played = 0;
  if (now > m_restartAt) played = Scale(now - m_restartAt, m_rate, kUnitsPerSecond);
  if (played > m_since) played = m_since;
  *position = m_origin + Scale(m_before + played, kUnitsPerSecond, m_rate);
  return true;
}

}  // namespace tp::sinks
