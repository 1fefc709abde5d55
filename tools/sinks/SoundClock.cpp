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
  m_queued = 0;
  m_anchorPlayed = 0;
}

LONGLONG SoundClock::PlayedLocked(REFERENCE_TIME now) const {
  if (!m_started || now <= m_anchorAt) return m_anchorPlayed;
  const LONGLONG played = m_anchorPlayed + Scale(now - m_anchorAt, m_rate, kUnitsPerSecond);
  return played < m_queued ? played : m_queued;
}

void SoundClock::Queue(REFERENCE_TIME now, REFERENCE_TIME stamp, LONGLONG frames, LONG rate) {
  if (frames <= 0 || rate <= 0) return;
  tp::sink::Guard lock(m_lock);
  if (!m_started) {
    m_started = true;
    m_rate = rate;
    m_origin = stamp;
    m_anchorAt = now;
  }
  // What played until now is settled; the device goes on from there with
  // the new frames behind what it still holds. Time never runs backwards.
  if (now < m_anchorAt) now = m_anchorAt;
  m_anchorPlayed = PlayedLocked(now);
  m_anchorAt = now;
  m_queued += frames;
}

bool SoundClock::Read(REFERENCE_TIME now, REFERENCE_TIME *position) {
  tp::sink::Guard lock(m_lock);
  if (!m_started) return false;
  *position = m_origin + Scale(PlayedLocked(now), kUnitsPerSecond, m_rate);
  return true;
}

}  // namespace tp::sinks
