// FlicWriter: writes small FLC animations (8-bit palette pictures) for tests
// that need .flc movies without a FLIC encoder. The first frame carries a
// 256-colour palette; every frame carries a full picture in byte-run
// compression, a diagonal pattern shifted by the frame number, so each frame
// differs from the one before.
#pragma once

#include <cstdint>
#include <vector>

namespace tp::test {

// width and height 1..320; speed in milliseconds per frame.
std::vector<uint8_t> MakeFlc(int width, int height, int frames, int msPerFrame);

}  // namespace tp::test
