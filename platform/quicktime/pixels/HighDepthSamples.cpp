#include "pixels/HighDepthSamples.h"

#include <algorithm>

namespace tp::qt {

void NarrowHighBitSamples(const uint8_t *src, int64_t srcStride, uint8_t *dst, int64_t dstStride, int count, int rows) {
  for (int y = 0; y < rows; ++y) {
    const uint8_t *s = src + y * srcStride;
    uint8_t *d = dst + y * dstStride;
    for (int x = 0; x < count; ++x) {
      const unsigned v = unsigned(s[2 * x]) | unsigned(s[2 * x + 1]) << 8;
      d[x] = uint8_t(std::min(255u, (v + 0x80) >> 8));
    }
  }
}

}  // namespace tp::qt
