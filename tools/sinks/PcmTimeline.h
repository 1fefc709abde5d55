// PcmTimeline: the sound queued for an audio device, placed on the device's
// own count of frames. The device takes frames in order (Pull): queued sound
// first, silence when the queue runs dry; either way the count of frames
// consumed goes on, so a frame's index is the moment it is heard. A writer
// places each buffer at the index where it should be heard (Place): a
// buffer that comes early follows silence up to its index, one that comes
// late loses the frames whose moment has passed, and one within the
// tolerance simply follows what is queued, so a stream that arrives on time
// plays without a seam.
//
// Not thread-safe: the owner holds one lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tp::sinks {

class PcmTimeline {
 public:
  // frameBytes: bytes of one frame (all channels); silence: the byte value
  // of silence (0, or 0x80 for unsigned 8-bit).
  PcmTimeline(uint32_t frameBytes, uint8_t silence);

  struct Placement {
    int64_t silence = 0;  // frames of silence put before the buffer
    int64_t skipped = 0;  // frames of the buffer dropped as already past
    int64_t queued = 0;   // frames of the buffer queued
  };
  // Queues frames of PCM (frames * frameBytes bytes at data) to be heard
  // from device frame `at`. Silence is put first only when `at` lies more
  // than tolerance frames past End(), and never more than maxSilence frames
  // of it; frames are skipped only when `at` lies more than tolerance
  // frames before End().
  Placement Place(int64_t at, const uint8_t *data, int64_t frames, int64_t tolerance, int64_t maxSilence);
  // The device takes frames frames into out: queued sound, then silence.
  // Returns how many were sound.
  int64_t Pull(uint8_t *out, int64_t frames);
  // Drops everything queued (the consumed count stays).
  void Clear();

  int64_t Consumed() const { return m_consumed; }
  int64_t Queued() const { return static_cast<int64_t>((m_bytes.size() - m_read) / m_frameBytes); }
  // The index of the first frame not yet queued.
  int64_t End() const { return m_consumed + Queued(); }

 private:
  const uint32_t m_frameBytes;
  const uint8_t m_silence;
  std::vector<uint8_t> m_bytes;  // queued sound from m_read on
  size_t m_read = 0;
  int64_t m_consumed = 0;
};

}  // namespace tp::sinks
