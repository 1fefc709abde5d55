#include "sinks/PcmTimeline.h"

#include <algorithm>
#include <cstring>

namespace tp::sinks {

PcmTimeline::PcmTimeline(uint32_t frameBytes, uint8_t silence)
    : m_frameBytes(frameBytes == 0 ? 1 : frameBytes), m_silence(silence) {}

PcmTimeline::Placement PcmTimeline::Place(int64_t at, const uint8_t *data, int64_t frames, int64_t tolerance,
                                          int64_t maxSilence) {
  Placement p;
  if (frames <= 0 || !data) return p;
  const int64_t end = End();
  if (at - end > tolerance) {
    p.silence = std::min(at - end, std::max<int64_t>(maxSilence, 0));
    m_bytes.insert(m_bytes.end(), static_cast<size_t>(p.silence) * m_frameBytes, m_silence);
  } else if (end - at > tolerance) {
    p.skipped = std::min(end - at, frames);
  }
  p.queued = frames - p.skipped;
  const uint8_t *from = data + static_cast<size_t>(p.skipped) * m_frameBytes;
  m_bytes.insert(m_bytes.end(), from, from + static_cast<size_t>(p.queued) * m_frameBytes);
  return p;
}

int64_t PcmTimeline::Pull(uint8_t *out, int64_t frames) {
  if (frames <= 0) return 0;
  const int64_t sound = std::min(frames, Queued());
  const size_t soundBytes = static_cast<size_t>(sound) * m_frameBytes;
  if (soundBytes) std::memcpy(out, m_bytes.data() + m_read, soundBytes);
  std::memset(out + soundBytes, m_silence, static_cast<size_t>(frames) * m_frameBytes - soundBytes);
  m_read += soundBytes;
  m_consumed += frames;
  // The consumed front goes once it is the larger part, so the queue costs
  // amortised constant time per byte.
  if (m_read == m_bytes.size()) {
    m_bytes.clear();
    m_read = 0;
  } else if (m_read > m_bytes.size() / 2) {
    m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(m_read));
    m_read = 0;
  }
  return sound;
}

void PcmTimeline::Clear() {
  m_bytes.clear();
  m_read = 0;
}

}  // namespace tp::sinks
