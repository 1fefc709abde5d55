// AudioPull: drives an engine audio track the way the audio pin does
// (GetNextSample into a buffer of GetBufferSize bytes until a negative
// result) and keeps every block's times and the PCM, for the engine's and
// the tool's audio tests.
#pragma once

#include <windows.h>
#include <mmreg.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/IMediaExtraction.h"

namespace tp::test {

struct AudioBlock {
  LONGLONG start = 0;
  LONGLONG duration = 0;
  LONG bytes = 0;
};

struct PulledAudio {
  WAVEFORMATEX format{};
  std::vector<AudioBlock> blocks;
  std::vector<uint8_t> pcm;
  bool ended = false;  // stopped on a negative result, not on maxBlocks
};

// capacity 0: the track's own buffer size.
inline PulledAudio PullAudio(IMediaExtraction *track, size_t maxBlocks = 100000, LONG capacity = 0) {
  PulledAudio out;
  if (track == nullptr) return out;
  track->FillMediaInfo(&out.format, sizeof(out.format), nullptr);
  const LONG size = capacity > 0 ? capacity : track->GetBufferSize();
  if (size <= 0) return out;
  std::vector<BYTE> buffer(static_cast<size_t>(size));
  while (out.blocks.size() < maxBlocks) {
    AudioBlock block;
    block.bytes = size;
    if (track->GetNextSample(buffer.data(), &block.bytes, &block.start, &block.duration) < 0) {
      out.ended = true;
      break;
    }
    if (block.bytes < 0 || block.bytes > size) break;
    out.pcm.insert(out.pcm.end(), buffer.begin(), buffer.begin() + block.bytes);
    out.blocks.push_back(block);
  }
  return out;
}

inline std::vector<int16_t> AsS16(const std::vector<uint8_t> &bytes) {
  std::vector<int16_t> samples(bytes.size() / 2);
  if (!samples.empty()) std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

}  // namespace tp::test
