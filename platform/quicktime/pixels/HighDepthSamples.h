// HighDepthSamples: pictures of more than 8 bits that a system decoder hands
// out (P010 and P016: planes of 16-bit little-endian samples, the value in
// the high bits, as NV12 with twice the bytes) narrowed to the 8-bit
// samples the runtime draws. Pure function over caller memory.
#pragma once

#include <cstdint>

namespace tp::qt {

// Narrows `count` samples in each of `rows` rows, rounding to nearest
// (10 bits: (v + 2) >> 2). Strides in bytes.
void NarrowHighBitSamples(const uint8_t *src, int64_t srcStride, uint8_t *dst, int64_t dstStride, int count, int rows);

}  // namespace tp::qt
