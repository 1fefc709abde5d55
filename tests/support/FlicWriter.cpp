#include "FlicWriter.h"

#include <cstddef>

namespace tp::test {
using std::size_t;

namespace {

void Put16(std::vector<uint8_t> &v, size_t at, uint32_t x) {
  v[at] = uint8_t(x);
  v[at + 1] = uint8_t(x >> 8);
}
void Put32(std::vector<uint8_t> &v, size_t at, uint32_t x) {
  Put16(v, at, x & 0xFFFF);
  Put16(v, at + 2, x >> 16);
}
void Append16(std::vector<uint8_t> &v, uint32_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}
void Append32(std::vector<uint8_t> &v, uint32_t x) {
  Append16(v, x & 0xFFFF);
  Append16(v, x >> 16);
}

constexpr uint16_t kFlcMagic = 0xAF12;
constexpr uint16_t kFrameMagic = 0xF1FA;
constexpr uint16_t kColor256 = 4;
constexpr uint16_t kByteRun = 15;

// Sub-chunk header placeholder; returns its start for the size patch.
size_t BeginChunk(std::vector<uint8_t> &v, uint16_t type) {
  size_t start = v.size();
  Append32(v, 0);
  Append16(v, type);
  return start;
}
void EndChunk(std::vector<uint8_t> &v, size_t start) {
  if ((v.size() - start) & 1) v.push_back(0);  // chunks keep even sizes
  Put32(v, start, uint32_t(v.size() - start));
}

}  // namespace

std::vector<uint8_t> MakeFlc(int width, int height, int frames, int msPerFrame) {
  std::vector<uint8_t> out(128, 0);
  Put16(out, 4, kFlcMagic);
  Put16(out, 6, uint32_t(frames));
  Put16(out, 8, uint32_t(width));
  Put16(out, 10, uint32_t(height));
  Put16(out, 12, 8);
  Put16(out, 14, 3);
  Put32(out, 16, uint32_t(msPerFrame));
  Put16(out, 38, 1);
  Put16(out, 40, 1);
  for (int f = 0; f < frames; ++f) {
    if (f == 0) Put32(out, 80, uint32_t(out.size()));
    if (f == 1) Put32(out, 84, uint32_t(out.size()));
    size_t frame = out.size();
    Append32(out, 0);
    Append16(out, kFrameMagic);
    Append16(out, f == 0 ? 2 : 1);
    for (int i = 0; i < 8; ++i) out.push_back(0);  // delay, reserved, width, height: all default
    if (f == 0) {
      size_t c = BeginChunk(out, kColor256);
      Append16(out, 1);  // one packet
      out.push_back(0);  // skip no colours
      out.push_back(0);  // 0 means all 256
      for (int i = 0; i < 256; ++i) {
        out.push_back(uint8_t(i));
        out.push_back(uint8_t(255 - i));
        out.push_back(uint8_t((i * 7) & 0xFF));
      }
      EndChunk(out, c);
    }
    size_t c = BeginChunk(out, kByteRun);
    for (int y = 0; y < height; ++y) {
      out.push_back(0);  // packet count: unused in FLC files
      for (int x = 0; x < width;) {
        int run = width - x < 64 ? width - x : 64;
        out.push_back(uint8_t(-run));  // negative: literal bytes follow
        for (int i = 0; i < run; ++i) out.push_back(uint8_t((x + i + y + f * 3) & 0xFF));
        x += run;
      }
    }
    EndChunk(out, c);
    Put32(out, frame, uint32_t(out.size() - frame));
  }
  Put32(out, 0, uint32_t(out.size()));
  return out;
}

}  // namespace tp::test
