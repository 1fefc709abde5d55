#include "PixelConvert.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tp::qt {
namespace {

// 16.16 fixed-point coefficients, rounded to nearest.
constexpr int32_t K(double v) { return int32_t(v * 65536.0 + (v < 0 ? -0.5 : 0.5)); }

// Y'CbCr (video range) -> R'G'B'.
constexpr int32_t kYScale = K(255.0 / 219.0);
constexpr int32_t kCrToR = K(1.402 * 255.0 / 224.0);
constexpr int32_t kCbToG = K(0.344136 * 255.0 / 224.0);
constexpr int32_t kCrToG = K(0.714136 * 255.0 / 224.0);
constexpr int32_t kCbToB = K(1.772 * 255.0 / 224.0);

// R'G'B' -> Y'CbCr (video range).
constexpr int32_t kRY = K(0.299 * 219.0 / 255.0), kGY = K(0.587 * 219.0 / 255.0), kBY = K(0.114 * 219.0 / 255.0);
constexpr int32_t kRCb = K(-0.168736 * 224.0 / 255.0), kGCb = K(-0.331264 * 224.0 / 255.0),
                  kBCb = K(0.5 * 224.0 / 255.0);
constexpr int32_t kRCr = K(0.5 * 224.0 / 255.0), kGCr = K(-0.418688 * 224.0 / 255.0),
                  kBCr = K(-0.081312 * 224.0 / 255.0);

uint8_t Clip(int32_t v) { return uint8_t(std::clamp(v, 0, 255)); }

struct Rgba {
  uint8_t r, g, b, a;
};

Rgba FromYuv(int y, int cb, int cr) {
  const int32_t c = (y - 16) * kYScale + 32768, d = cb - 128, e = cr - 128;
  return {Clip((c + kCrToR * e) >> 16), Clip((c - kCbToG * d - kCrToG * e) >> 16), Clip((c + kCbToB * d) >> 16), 255};
}

uint8_t LumaOf(const Rgba &p) { return Clip((kRY * p.r + kGY * p.g + kBY * p.b + (16 << 16) + 32768) >> 16); }
// Unrounded chroma in 16.16, offset by 128 so that it is never negative.
int32_t CbOf(const Rgba &p) { return kRCb * p.r + kGCb * p.g + kBCb * p.b + (128 << 16); }
int32_t CrOf(const Rgba &p) { return kRCr * p.r + kGCr * p.g + kBCr * p.b + (128 << 16); }
uint8_t MeanChroma(int32_t sum, int n) { return Clip((sum + (n << 15)) / (n << 16)); }

uint8_t Expand5(unsigned v) { return uint8_t((v << 3) | (v >> 2)); }
uint8_t Expand6(unsigned v) { return uint8_t((v << 2) | (v >> 4)); }

bool IsYuv(PixelLayout l) {
  return l == PixelLayout::kYUYV422 || l == PixelLayout::kUYVY422 || l == PixelLayout::kYUV420P ||
         l == PixelLayout::kNV12;
}

// Offsets of Y0, Cb, Y1, Cr in a packed 4:2:2 pair.
struct PairOrder {
  int y0, cb, y1, cr;
};
PairOrder OrderOf(PixelLayout l) { return l == PixelLayout::kUYVY422 ? PairOrder{1, 0, 3, 2} : PairOrder{0, 1, 2, 3}; }

// One source row as Y'CbCr: luma per pixel, chroma per pair (4:2:2 and
// 4:2:0 sources alike; for 4:2:0 the chroma of row y / 2).
void ReadYuvRow(const Picture &s, int y, int w, uint8_t *luma, uint8_t *cb, uint8_t *cr) {
  const int pairs = (w + 1) / 2;
  if (s.layout == PixelLayout::kYUV420P) {
    std::memcpy(luma, s.data[0] + int64_t(s.linesize[0]) * y, size_t(w));
    std::memcpy(cb, s.data[1] + int64_t(s.linesize[1]) * (y / 2), size_t(pairs));
    std::memcpy(cr, s.data[2] + int64_t(s.linesize[2]) * (y / 2), size_t(pairs));
    return;
  }
  if (s.layout == PixelLayout::kNV12) {
    std::memcpy(luma, s.data[0] + int64_t(s.linesize[0]) * y, size_t(w));
    const uint8_t *c = s.data[1] + int64_t(s.linesize[1]) * (y / 2);
    for (int p = 0; p < pairs; ++p) cb[p] = c[2 * p], cr[p] = c[2 * p + 1];
    return;
  }
  const PairOrder o = OrderOf(s.layout);
  const uint8_t *row = s.data[0] + int64_t(s.linesize[0]) * y;
  const int64_t rowBytes = s.linesize[0];
  for (int p = 0; p < pairs; ++p) {
    const uint8_t *q = row + 4 * p;
    // The last pair of an odd row may stop half way; what is missing is
    // taken as the pixel before it, or neutral chroma.
    auto at = [&](int offset, uint8_t missing) { return 4 * p + offset < rowBytes ? q[offset] : missing; };
    luma[2 * p] = q[o.y0];
    if (2 * p + 1 < w) luma[2 * p + 1] = at(o.y1, q[o.y0]);
    cb[p] = at(o.cb, 128);
    cr[p] = at(o.cr, 128);
  }
}

// Room for one row of a Y'CbCr source.
struct YuvRow {
  std::vector<uint8_t> luma, cb, cr;
  explicit YuvRow(int w) : luma(size_t(w) + 1), cb(size_t(w) / 2 + 1), cr(size_t(w) / 2 + 1) {}
};

// One source row as R'G'B'A.
void ReadRgbRow(const Picture &s, int y, int w, Rgba *out, YuvRow &yuv) {
  const uint8_t *row = s.data[0] + int64_t(s.linesize[0]) * y;
  switch (s.layout) {
    case PixelLayout::kARGB:
      for (int x = 0; x < w; ++x, row += 4) out[x] = {row[1], row[2], row[3], row[0]};
      return;
    case PixelLayout::kBGRA:
      for (int x = 0; x < w; ++x, row += 4) out[x] = {row[2], row[1], row[0], row[3]};
      return;
    case PixelLayout::kRGB24:
      for (int x = 0; x < w; ++x, row += 3) out[x] = {row[0], row[1], row[2], 255};
      return;
    case PixelLayout::kBGR24:
      for (int x = 0; x < w; ++x, row += 3) out[x] = {row[2], row[1], row[0], 255};
      return;
    case PixelLayout::kRGB555LE:
    case PixelLayout::kRGB555BE:
    case PixelLayout::kRGB565LE:
      for (int x = 0; x < w; ++x, row += 2) {
        const unsigned v =
            s.layout == PixelLayout::kRGB555BE ? (unsigned(row[0]) << 8 | row[1]) : (unsigned(row[1]) << 8 | row[0]);
        if (s.layout == PixelLayout::kRGB565LE) {
          out[x] = {Expand5(v >> 11), Expand6((v >> 5) & 63), Expand5(v & 31), 255};
        } else {
          out[x] = {Expand5((v >> 10) & 31), Expand5((v >> 5) & 31), Expand5(v & 31), 255};
        }
      }
      return;
    default:
      ReadYuvRow(s, y, w, yuv.luma.data(), yuv.cb.data(), yuv.cr.data());
      for (int x = 0; x < w; ++x) out[x] = FromYuv(yuv.luma[size_t(x)], yuv.cb[size_t(x / 2)], yuv.cr[size_t(x / 2)]);
      return;
  }
}

// Writes `w` pixels with `put(pixel, out)`, `bytes` per pixel; one loop per
// layout, so the layout is not asked again for every pixel.
template <int bytes, typename Put>
void WritePixels(const Rgba *in, int w, uint8_t *row, Put put) {
  for (int x = 0; x < w; ++x) put(in[x], row + bytes * x);
}

void WriteRgbRow(const Rgba *in, int w, PixelLayout layout, uint8_t *row) {
  auto word = [](unsigned v, uint8_t *o, bool bigEndian) {
    o[bigEndian ? 1 : 0] = uint8_t(v);
    o[bigEndian ? 0 : 1] = uint8_t(v >> 8);
  };
  auto rgb555 = [](const Rgba &p) { return unsigned(p.r >> 3) << 10 | unsigned(p.g >> 3) << 5 | unsigned(p.b >> 3); };
  switch (layout) {
    case PixelLayout::kARGB:
      return WritePixels<4>(in, w, row,
                            [](const Rgba &p, uint8_t *o) { o[0] = p.a, o[1] = p.r, o[2] = p.g, o[3] = p.b; });
    case PixelLayout::kBGRA:
      return WritePixels<4>(in, w, row,
                            [](const Rgba &p, uint8_t *o) { o[0] = p.b, o[1] = p.g, o[2] = p.r, o[3] = p.a; });
    case PixelLayout::kRGB24:
      return WritePixels<3>(in, w, row, [](const Rgba &p, uint8_t *o) { o[0] = p.r, o[1] = p.g, o[2] = p.b; });
    case PixelLayout::kBGR24:
      return WritePixels<3>(in, w, row, [](const Rgba &p, uint8_t *o) { o[0] = p.b, o[1] = p.g, o[2] = p.r; });
    case PixelLayout::kRGB555LE:
      return WritePixels<2>(in, w, row, [&](const Rgba &p, uint8_t *o) { word(rgb555(p), o, false); });
    case PixelLayout::kRGB555BE:
      return WritePixels<2>(in, w, row, [&](const Rgba &p, uint8_t *o) { word(rgb555(p), o, true); });
    case PixelLayout::kRGB565LE:
      return WritePixels<2>(in, w, row, [&](const Rgba &p, uint8_t *o) {
        word(unsigned(p.r >> 3) << 11 | unsigned(p.g >> 2) << 5 | unsigned(p.b >> 3), o, false);
      });
    default:
      return;
  }
}

void CopyRows(const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, size_t rowBytes, int rows) {
  for (int y = 0; y < rows; ++y) std::memcpy(dst + int64_t(dstStride) * y, src + int64_t(srcStride) * y, rowBytes);
}

// Luma and pair chroma of rows [y0, y0 + rows) of any source, chroma summed
// over the rows and pairs it covers: sums in 16.16, `n` pixels each.
struct ChromaRow {
  std::vector<int32_t> cb, cr;
  std::vector<int> n;
};

void DrawYuvTarget(const Picture &s, const DrawTarget &t, int w, int h) {
  const int pairs = (w + 1) / 2;
  const bool planar = t.format == PixelLayout::kYUV420P;
  const int rowsPerChroma = planar ? 2 : 1;
  const size_t n = static_cast<size_t>(pairs);
  std::vector<uint8_t> luma(size_t(w) + 1), cb(n), cr(n);
  std::vector<Rgba> rgb(IsYuv(s.layout) ? 0 : size_t(w));
  YuvRow yuv(w);  // for ReadRgbRow; Y'CbCr sources are read directly below
  ChromaRow sum{std::vector<int32_t>(n), std::vector<int32_t>(n), std::vector<int>(n)};
  for (int cy = 0; cy * rowsPerChroma < h; ++cy) {
    std::fill(sum.cb.begin(), sum.cb.end(), 0);
    std::fill(sum.cr.begin(), sum.cr.end(), 0);
    std::fill(sum.n.begin(), sum.n.end(), 0);
    const int firstRow = cy * rowsPerChroma, lastRow = std::min(h, firstRow + rowsPerChroma);
    for (int y = firstRow; y < lastRow; ++y) {
      if (IsYuv(s.layout)) {
        ReadYuvRow(s, y, w, luma.data(), cb.data(), cr.data());
        for (int p = 0; p < pairs; ++p) {
          sum.cb[size_t(p)] += int32_t(cb[size_t(p)]) << 16;
          sum.cr[size_t(p)] += int32_t(cr[size_t(p)]) << 16;
          sum.n[size_t(p)] += 1;
        }
      } else {
        ReadRgbRow(s, y, w, rgb.data(), yuv);
        for (int x = 0; x < w; ++x) {
          luma[size_t(x)] = LumaOf(rgb[size_t(x)]);
          sum.cb[size_t(x / 2)] += CbOf(rgb[size_t(x)]);
          sum.cr[size_t(x / 2)] += CrOf(rgb[size_t(x)]);
          sum.n[size_t(x / 2)] += 1;
        }
      }
      if (planar) {
        std::memcpy(t.data[0] + int64_t(t.linesize[0]) * y, luma.data(), size_t(w));
        continue;
      }
      // Packed Y0,Cb,Y1,Cr: one chroma row per row.
      uint8_t *row = t.data[0] + int64_t(t.linesize[0]) * y;
      for (int p = 0; p < pairs; ++p) {
        row[4 * p] = luma[size_t(2 * p)];
        row[4 * p + 1] = MeanChroma(sum.cb[size_t(p)], sum.n[size_t(p)]);
        row[4 * p + 2] = 2 * p + 1 < w ? luma[size_t(2 * p + 1)] : luma[size_t(2 * p)];
        row[4 * p + 3] = MeanChroma(sum.cr[size_t(p)], sum.n[size_t(p)]);
      }
    }
    if (planar) {
      uint8_t *cbRow = t.data[1] + int64_t(t.linesize[1]) * cy;
      uint8_t *crRow = t.data[2] + int64_t(t.linesize[2]) * cy;
      for (int p = 0; p < pairs; ++p) {
        cbRow[p] = MeanChroma(sum.cb[size_t(p)], sum.n[size_t(p)]);
        crRow[p] = MeanChroma(sum.cr[size_t(p)], sum.n[size_t(p)]);
      }
    }
  }
}

}  // namespace

OSErr DrawPicture(const Picture &s, const DrawTarget &t, int *width, int *height) {
  if (width) *width = 0;
  if (height) *height = 0;
  // Worlds are never Cb,Y0,Cr,Y1 or NV12: those layouts are sources only.
  if (!t.data[0] || !s.data[0] || s.layout == PixelLayout::kNone || t.format == PixelLayout::kNone ||
      t.format == PixelLayout::kUYVY422 || t.format == PixelLayout::kNV12)
    return codecErr;
  if (s.layout == PixelLayout::kYUV420P && (!s.data[1] || !s.data[2])) return codecErr;
  if (s.layout == PixelLayout::kNV12 && !s.data[1]) return codecErr;
  if (t.format == PixelLayout::kYUV420P && (!t.data[1] || !t.data[2])) return codecErr;
  const int w = std::min(s.width, t.width), h = std::min(s.height, t.height);
  if (w <= 0 || h <= 0) return codecErr;

  if (s.layout == t.format) {
    if (t.format == PixelLayout::kYUV420P) {
      CopyRows(s.data[0], s.linesize[0], t.data[0], t.linesize[0], size_t(w), h);
      CopyRows(s.data[1], s.linesize[1], t.data[1], t.linesize[1], size_t(w + 1) / 2, (h + 1) / 2);
      CopyRows(s.data[2], s.linesize[2], t.data[2], t.linesize[2], size_t(w + 1) / 2, (h + 1) / 2);
    } else if (t.format != PixelLayout::kYUYV422) {
      CopyRows(s.data[0], s.linesize[0], t.data[0], t.linesize[0], size_t(w) * size_t(PackedBytesPerPixel(t.format)),
               h);
    } else {
      DrawYuvTarget(s, t, w, h);  // an odd last pair is completed
    }
  } else if (IsYuv(t.format)) {
    DrawYuvTarget(s, t, w, h);
  } else {
    std::vector<Rgba> rgb(static_cast<size_t>(w));
    YuvRow yuv(w);
    for (int y = 0; y < h; ++y) {
      ReadRgbRow(s, y, w, rgb.data(), yuv);
      WriteRgbRow(rgb.data(), w, t.format, t.data[0] + int64_t(t.linesize[0]) * y);
    }
  }
  if (width) *width = w;
  if (height) *height = h;
  return noErr;
}

}  // namespace tp::qt
