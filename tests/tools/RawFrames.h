// Frames as `tidepool extract --video` writes them (the pin's buffer
// layout, even-rounded size) against ffmpeg's rawvideo of the same pictures
// (their own size, tightly packed), per output layout.
#pragma once

#include <cmath>
#include <cstddef>
#include <string>

namespace rawframes {

struct Layout {
  const char *subtype;
  const char *ffmpegFormat;  // what ffmpeg converts to for the comparison
  bool planar;
  bool bottomUp;
  int bytesPerPixel;  // packed layouts
  int compareBytes;   // of each pixel (RGB32: B,G,R, not the filler)
  bool rgb;
};

inline const Layout kLayouts[] = {
    {"YV12", "yuv420p", true, false, 0, 0, false},   {"YUY2", "yuyv422", false, false, 2, 2, false},
    {"I420", "yuv420p", true, false, 0, 0, false},   {"RGB32", "bgra", false, true, 4, 3, true},
    {"RGB24", "bgr24", false, true, 3, 3, true},     {"RGB555", "rgb555le", false, true, 2, 2, true},
    {"RGB565", "rgb565le", false, true, 2, 2, true},
};

// Squared error over comparable bytes.
struct Error {
  double sum = 0;
  size_t count = 0;
  size_t differing = 0;
  void Add(int a, int b) {
    sum += double(a - b) * double(a - b);
    ++count;
    differing += a != b;
  }
  double Psnr() const { return sum == 0 ? 1e9 : 10 * std::log10(255.0 * 255.0 * double(count) / sum); }
};

// Compares one frame of ours (even-rounded size W x H, laid out as the pin's
// buffer) with ffmpeg's (w x h, tightly packed) over the picture's pixels.
inline void CompareFrame(const Layout &layout, const std::string &ours, size_t ourOffset, size_t ourFrame,
                         const std::string &ref, size_t refOffset, size_t refFrame, int w, int h, int W, int H,
                         Error *luma, Error *chroma) {
  auto o = [&](size_t i) { return static_cast<unsigned char>(ours[ourOffset + i]); };
  auto r = [&](size_t i) { return static_cast<unsigned char>(ref[refOffset + i]); };
  if (layout.planar) {
    const size_t pitch = static_cast<size_t>(static_cast<double>(ourFrame) / (H * 1.5));
    const size_t halfPitch = pitch / 2;
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    const size_t refU = size_t(w) * h, refV = refU + size_t(cw) * ch;
    const size_t ourFirst = pitch * H, ourSecond = ourFirst + halfPitch * (H / 2);
    const bool i420 = std::string(layout.subtype) == "I420";
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) luma->Add(o(y * pitch + x), r(size_t(y) * w + x));
    }
    for (int y = 0; y < ch; ++y) {
      for (int x = 0; x < cw; ++x) {
        const int u = r(refU + size_t(y) * cw + x), v = r(refV + size_t(y) * cw + x);
        const int first = o(ourFirst + y * halfPitch + x), second = o(ourSecond + y * halfPitch + x);
        chroma->Add(first, i420 ? u : v);
        chroma->Add(second, i420 ? v : u);
      }
    }
    return;
  }
  const size_t ourPitch = ourFrame / H;
  const size_t refPitch = refFrame / h;
  // YUY2 pairs pixels: compare whole pairs only.
  const int columns = layout.rgb ? w : (w & ~1);
  for (int y = 0; y < h; ++y) {
    const size_t ourRow = layout.bottomUp ? size_t(H - 1 - y) : size_t(y);
    for (int x = 0; x < columns; ++x) {
      for (int b = 0; b < layout.compareBytes; ++b) {
        const int a = o(ourRow * ourPitch + size_t(x) * layout.bytesPerPixel + b);
        const int c = r(size_t(y) * refPitch + size_t(x) * layout.bytesPerPixel + b);
        if (!layout.rgb && b == 1) {
          chroma->Add(a, c);
        } else {
          luma->Add(a, c);
        }
      }
    }
  }
}

}  // namespace rawframes
