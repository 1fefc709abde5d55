// AmrWriter: writes AMR-NB files in the storage format ("#!AMR\n" followed
// by frames), for tests that need .amr movies when no AMR encoder is at hand.
// Each frame is a header byte (frame type << 3 | quality bit) and the frame
// type's exact number of payload bytes, filled with a deterministic pattern.
// The bytes are well-formed frames, not meaningful speech.
#pragma once

#include <cstdint>
#include <vector>

namespace tp::test {

// Payload bytes after the header byte for frame types 0..15 (8 is SID,
// 15 is "no data"; 9..14 are reserved and have none).
uint32_t AmrNbPayloadBytes(int frameType);

// One frame per entry of `frameTypes` (0..8 or 15).
std::vector<uint8_t> MakeAmrNb(const std::vector<int> &frameTypes);

}  // namespace tp::test
