#include "AmrWriter.h"

#include <cstring>

namespace tp::test {

uint32_t AmrNbPayloadBytes(int frameType) {
  static constexpr uint32_t kBytes[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, 0, 0, 0, 0, 0, 0, 0};
  return frameType >= 0 && frameType < 16 ? kBytes[frameType] : 0;
}

std::vector<uint8_t> MakeAmrNb(const std::vector<int> &frameTypes) {
  static constexpr char kMagic[] = "#!AMR\n";
  std::vector<uint8_t> out(kMagic, kMagic + std::strlen(kMagic));
  uint32_t seed = 0x12345678;
  for (int type : frameTypes) {
    out.push_back(uint8_t(((type & 0x0F) << 3) | 0x04));
    for (uint32_t i = 0; i < AmrNbPayloadBytes(type); ++i) {
      seed = seed * 1664525u + 1013904223u;
      out.push_back(uint8_t(seed >> 24));
    }
  }
  return out;
}

}  // namespace tp::test
