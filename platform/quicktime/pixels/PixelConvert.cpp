#include "pixels/PixelConvert.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pixels/PixelKernels.h"

namespace tp::qt {
namespace {

uint8_t Expand5(unsigned v) { return uint8_t((v << 3) | (v >> 2)); }
uint8_t Expand6(unsigned v) { return uint8_t((v << 2) | (v >> 4)); }

bool IsYuv(PixelLayout l) {
  return l == PixelLayout::kYUYV422 || l == PixelLayout::kUYVY422 || l == PixelLayout::kYUV420P ||
         l == PixelLayout::kNV12;
}
bool Is420(PixelLayout l) { return l == PixelLayout::kYUV420P || l == PixelLayout::kNV12; }

const uint8_t *RowOf(const Picture &s, int plane, int y) { return s.data[plane] + int64_t(s.linesize[plane]) * y; }
uint8_t *RowOf(const DrawTarget &t, int plane, int y) { return t.data[plane] + int64_t(t.linesize[plane]) * y; }

// One row of a Y'CbCr source: luma per pixel, chroma per pair (for 4:2:0,
// chroma row y / 2). The pointers lead into the source or into `room`.
struct YuvRow {
  const uint8_t *luma = nullptr, *cb = nullptr, *cr = nullptr;
};

// Scratch rows for one picture, sized once.
struct Room {
  std::vector<uint8_t> luma, cb, cr, cbWide, crWide, bgra;
  explicit Room(int w)
      : luma(size_t(w) + 2),
        cb(size_t(w) / 2 + 2),
        cr(size_t(w) / 2 + 2),
        cbWide(size_t(w)),
        crWide(size_t(w)),
        bgra(4 * (size_t(w) + 1)) {}
};

// Packed 4:2:2 rows are unpacked into `luma` (2 x pairs bytes), `cb` and
// `cr`; NV12 chroma is split into `cb` and `cr`.
YuvRow ReadYuvRow(const PixelKernels &k, const Picture &s, int y, int w, uint8_t *luma, uint8_t *cb, uint8_t *cr) {
  const int pairs = (w + 1) / 2;
  if (s.layout == PixelLayout::kYUV420P) return {RowOf(s, 0, y), RowOf(s, 1, y / 2), RowOf(s, 2, y / 2)};
  if (s.layout == PixelLayout::kNV12) {
    k.splitPairs(RowOf(s, 1, y / 2), pairs, cb, cr);
    return {RowOf(s, 0, y), cb, cr};
  }
  const bool uyvy = s.layout == PixelLayout::kUYVY422;
  const uint8_t *row = RowOf(s, 0, y);
  const int64_t rowBytes = std::abs(int64_t(s.linesize[0]));  // rows may run upwards
  const int whole = int(std::min<int64_t>(pairs, rowBytes / 4));
  k.unpack422(row, whole, uyvy, luma, cb, cr);
  if (whole < pairs) {
    // The last pair of an odd row may stop half way; what is missing is
    // taken as the pixel before it, or neutral chroma.
    const int p = whole;
    const uint8_t *q = row + 4 * p;
    auto at = [&](int offset, uint8_t missing) { return 4 * p + offset < rowBytes ? q[offset] : missing; };
    const int y0 = uyvy ? 1 : 0, c0 = uyvy ? 0 : 1;
    luma[2 * p] = q[y0];
    luma[2 * p + 1] = at(y0 + 2, q[y0]);
    cb[p] = at(c0, 128);
    cr[p] = at(c0 + 2, 128);
  }
  return {luma, cb, cr};
}

// One source row as B,G,R,A: a pointer into the source itself for B,G,R,A
// pictures, else into `out` (4 x w bytes).
const uint8_t *ReadBgraRow(const PixelKernels &k, const Picture &s, int y, int w, uint8_t *out, Room &room) {
  const uint8_t *row = RowOf(s, 0, y);
  switch (s.layout) {
    case PixelLayout::kBGRA:
      return row;
    case PixelLayout::kARGB:
      for (int x = 0; x < w; ++x, row += 4) {
        uint8_t *o = out + 4 * x;
        o[0] = row[3], o[1] = row[2], o[2] = row[1], o[3] = row[0];
      }
      return out;
    case PixelLayout::kRGB24:
    case PixelLayout::kBGR24:
      k.rgb24ToBgra(row, w, s.layout == PixelLayout::kBGR24, out);
      return out;
    case PixelLayout::kRGB555LE:
    case PixelLayout::kRGB555BE:
    case PixelLayout::kRGB565LE:
      for (int x = 0; x < w; ++x, row += 2) {
        const unsigned v =
            s.layout == PixelLayout::kRGB555BE ? (unsigned(row[0]) << 8 | row[1]) : (unsigned(row[1]) << 8 | row[0]);
        uint8_t *o = out + 4 * x;
        if (s.layout == PixelLayout::kRGB565LE) {
          o[0] = Expand5(v & 31), o[1] = Expand6((v >> 5) & 63), o[2] = Expand5(v >> 11);
        } else {
          o[0] = Expand5(v & 31), o[1] = Expand5((v >> 5) & 31), o[2] = Expand5((v >> 10) & 31);
        }
        o[3] = 255;
      }
      return out;
    default: {
      const YuvRow yuv = ReadYuvRow(k, s, y, w, room.luma.data(), room.cb.data(), room.cr.data());
      // 4:2:2 chroma is interpolated between pairs; 4:2:0 chroma repeated.
      if (Is420(s.layout)) {
        k.yuvPairsToBgra(yuv.luma, yuv.cb, yuv.cr, w, out);
        return out;
      }
      k.interpolateChroma(yuv.cb, (w + 1) / 2, w, room.cbWide.data());
      k.interpolateChroma(yuv.cr, (w + 1) / 2, w, room.crWide.data());
      k.yuvToBgra(yuv.luma, room.cbWide.data(), room.crWide.data(), w, out);
      return out;
    }
  }
}

// Writes `w` pixels with `put(bgra, out)`, `bytes` per pixel; one loop per
// layout, so the layout is not asked again for every pixel.
template <int bytes, typename Put>
void WritePixels(const uint8_t *in, int w, uint8_t *row, Put put) {
  for (int x = 0; x < w; ++x) put(in + 4 * x, row + bytes * x);
}

void WriteRgbRow(const uint8_t *in, int w, PixelLayout layout, uint8_t *row) {
  auto word = [](unsigned v, uint8_t *o, bool bigEndian) {
    o[bigEndian ? 1 : 0] = uint8_t(v);
    o[bigEndian ? 0 : 1] = uint8_t(v >> 8);
  };
  auto rgb555 = [](const uint8_t *p) {
    return unsigned(p[2] >> 3) << 10 | unsigned(p[1] >> 3) << 5 | unsigned(p[0] >> 3);
  };
  switch (layout) {
    case PixelLayout::kARGB:
      return WritePixels<4>(in, w, row,
                            [](const uint8_t *p, uint8_t *o) { o[0] = p[3], o[1] = p[2], o[2] = p[1], o[3] = p[0]; });
    case PixelLayout::kBGRA:
      if (in != row) std::memcpy(row, in, 4 * size_t(w));
      return;
    case PixelLayout::kRGB24:
      return WritePixels<3>(in, w, row, [](const uint8_t *p, uint8_t *o) { o[0] = p[2], o[1] = p[1], o[2] = p[0]; });
    case PixelLayout::kBGR24:
      return WritePixels<3>(in, w, row, [](const uint8_t *p, uint8_t *o) { o[0] = p[0], o[1] = p[1], o[2] = p[2]; });
    case PixelLayout::kRGB555LE:
      return WritePixels<2>(in, w, row, [&](const uint8_t *p, uint8_t *o) { word(rgb555(p), o, false); });
    case PixelLayout::kRGB555BE:
      return WritePixels<2>(in, w, row, [&](const uint8_t *p, uint8_t *o) { word(rgb555(p), o, true); });
    case PixelLayout::kRGB565LE:
      return WritePixels<2>(in, w, row, [&](const uint8_t *p, uint8_t *o) {
        word(unsigned(p[2] >> 3) << 11 | unsigned(p[1] >> 2) << 5 | unsigned(p[0] >> 3), o, false);
      });
    default:
      return;
  }
}

void DrawRgbTarget(const PixelKernels &k, const Picture &s, const DrawTarget &t, int w, int h) {
  Room room(w);
  for (int y = 0; y < h; ++y) {
    uint8_t *row = RowOf(t, 0, y);
    // A B,G,R,A world is converted into in place.
    uint8_t *out = t.format == PixelLayout::kBGRA ? row : room.bgra.data();
    WriteRgbRow(ReadBgraRow(k, s, y, w, out, room), w, t.format, row);
  }
}

void CopyRows(const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, size_t rowBytes, int rows) {
  for (int y = 0; y < rows; ++y) std::memcpy(dst + int64_t(dstStride) * y, src + int64_t(srcStride) * y, rowBytes);
}

// What a Y'CbCr world needs of each source row: luma, and chroma in a form
// that rows can be weighted in (chroma bytes of a Y'CbCr source, channel sums
// of pixel pairs of an R'G'B' one). The last three rows are kept.
class ChromaRing {
 public:
  ChromaRing(bool rgb, int pairs) : rgb_(rgb), pairs_(size_t(pairs)) {
    for (auto &r : bytes_) r.assign(2 * pairs_, 0);
    if (rgb_)
      for (auto &r : sums_) r.assign(3 * pairs_, 0);
  }
  uint8_t *Cb(int y) { return bytes_[size_t(y % 3)].data(); }
  uint8_t *Cr(int y) { return bytes_[size_t(y % 3)].data() + pairs_; }
  int16_t *Sum(int y, int channel) { return sums_[size_t(y % 3)].data() + size_t(channel) * pairs_; }

  // Chroma row from rows wt.first .. wt.first + 2, all read.
  void Blend(const PixelKernels &k, const RowWeights &wt, uint8_t *cb, uint8_t *cr) {
    const int f = wt.first;
    if (rgb_) {
      const int16_t *const s[3][3] = {{Sum(f, 0), Sum(f, 1), Sum(f, 2)},
                                      {Sum(f + 1, 0), Sum(f + 1, 1), Sum(f + 1, 2)},
                                      {Sum(f + 2, 0), Sum(f + 2, 1), Sum(f + 2, 2)}};
      k.chromaFromSums(s, wt, int(pairs_), cb, cr);
      return;
    }
    const uint8_t *const b[3] = {Cb(f), Cb(f + 1), Cb(f + 2)};
    const uint8_t *const r[3] = {Cr(f), Cr(f + 1), Cr(f + 2)};
    k.blendChroma(b, wt, int(pairs_), cb);
    k.blendChroma(r, wt, int(pairs_), cr);
  }

 private:
  bool rgb_;
  size_t pairs_;
  std::vector<uint8_t> bytes_[3];
  std::vector<int16_t> sums_[3];
};

int LastRowOf(const RowWeights &wt) { return wt.first + (wt.c ? 2 : wt.b ? 1 : 0); }

// The chroma rows of a 4:2:0 source as separate Cb and Cr rows: pointers
// into the planes of a planar picture, NV12's pairs split into the last four
// rows asked for.
class ChromaRows {
 public:
  ChromaRows(const PixelKernels &k, const Picture &s, int pairs) : k_(k), s_(s), pairs_(pairs) {
    if (s.layout == PixelLayout::kNV12)
      for (auto &r : split_) r.assign(2 * size_t(pairs), 0);
  }
  void Get(int row, const uint8_t **cb, const uint8_t **cr) {
    if (s_.layout == PixelLayout::kYUV420P) {
      *cb = RowOf(s_, 1, row), *cr = RowOf(s_, 2, row);
      return;
    }
    const size_t slot = size_t(row % 4);
    if (held_[slot] != row) {
      k_.splitPairs(RowOf(s_, 1, row), pairs_, split_[slot].data(), split_[slot].data() + pairs_);
      held_[slot] = row;
    }
    *cb = split_[slot].data(), *cr = split_[slot].data() + pairs_;
  }

 private:
  const PixelKernels &k_;
  const Picture &s_;
  int pairs_;
  std::vector<uint8_t> split_[4];
  int held_[4] = {-1, -1, -1, -1};
};

// The libswscale rounding of a picture's last two rows: whole products,
// rounded once.
void UpsampleChromaRounded(const uint8_t *const rows[4], const int16_t k[4], int n, uint8_t *out) {
  for (int i = 0; i < n; ++i) {
    int32_t v = 2048;
    for (int r = 0; r < 4; ++r)
      if (k[r]) v += int32_t(rows[r][i]) * k[r];
    out[i] = uint8_t(std::clamp(v >> 12, 0, 255));
  }
}

// Chroma of picture row y of a 4:2:0 source `h` rows tall into `cb`, `cr`
// (pairs each), filtered between chroma rows as the Linux build's scaler
// does (ChromaUpsampleTaps).
void UpsampleRow(const PixelKernels &k, ChromaRows &rows, int y, int h, int pairs, uint8_t *cb, uint8_t *cr) {
  const UpsampleTaps taps = ChromaUpsampleTaps(y, h);
  const int last = (h + 1) / 2 - 1;
  const uint8_t *b[4], *r[4];
  for (int t = 0; t < 4; ++t) rows.Get(std::min(taps.first + t, last), &b[t], &r[t]);
  auto filter = y >= h - 2 ? UpsampleChromaRounded : k.upsampleChroma;
  filter(b, taps.k, pairs, cb);
  filter(r, taps.k, pairs, cr);
}

// Any source but 4:2:0 into 'yuvs' or 'y420'; 4:2:0 into 'yuvs'.
void DrawYuvTarget(const PixelKernels &k, const Picture &s, const DrawTarget &t, int w, int h) {
  const int pairs = (w + 1) / 2;
  const bool planar = t.format == PixelLayout::kYUV420P;
  const bool rgb = !IsYuv(s.layout);
  Room room(w);
  ChromaRing ring(rgb, pairs);
  const bool upsample = !planar && Is420(s.layout);
  ChromaRows sourceChroma(k, s, upsample ? pairs : 0);
  const int chromaRows = planar ? (h + 1) / 2 : h;
  int j = 0;  // the next chroma row of a planar world
  // From R'G'B', chroma rows are spread over the height; from 4:2:2 (and
  // R'G'B' that was 4:2:0 in row pairs), each is the mean of rows 2j and
  // 2j + 1 (an odd last row alone).
  auto weightsOf = [&](int row) {
    if (rgb && !s.chromaInRowPairs) return ChromaRowWeights(row, h);
    return 2 * row + 1 < h ? RowWeights{2 * row, 32, 32, 0} : RowWeights{2 * row, 64, 0, 0};
  };
  RowWeights next = planar ? weightsOf(0) : RowWeights{};
  for (int y = 0; y < h; ++y) {
    uint8_t *row = RowOf(t, 0, y);
    // Luma straight into a planar world's row where it holds all that is
    // written (whole pairs of a Y'CbCr source).
    uint8_t *lumaOut = planar && (rgb || w % 2 == 0) ? row : room.luma.data();
    const uint8_t *luma = lumaOut, *cb = room.cb.data(), *cr = room.cr.data();
    if (rgb) {
      k.bgraToLuma(ReadBgraRow(k, s, y, w, room.bgra.data(), room), w, lumaOut, ring.Sum(y, 0), ring.Sum(y, 1),
                   ring.Sum(y, 2));
    } else if (upsample) {
      luma = RowOf(s, 0, y);
      UpsampleRow(k, sourceChroma, y, h, pairs, room.cb.data(), room.cr.data());
    } else {
      const YuvRow yuv =
          ReadYuvRow(k, s, y, w, lumaOut, planar ? ring.Cb(y) : room.cb.data(), planar ? ring.Cr(y) : room.cr.data());
      luma = yuv.luma, cb = yuv.cb, cr = yuv.cr;
    }
    if (planar) {
      if (luma != row) std::memcpy(row, luma, size_t(w));
      while (j < chromaRows && LastRowOf(next) <= y) {
        ring.Blend(k, next, RowOf(t, 1, j), RowOf(t, 2, j));
        if (++j < chromaRows) next = weightsOf(j);
      }
      continue;
    }
    // Packed Y0,Cb,Y1,Cr: one chroma row per row; an odd last pair repeats
    // its luma.
    if (rgb) ring.Blend(k, RowWeights{y, 64, 0, 0}, room.cb.data(), room.cr.data());
    if (w % 2) {
      if (luma != room.luma.data()) std::memcpy(room.luma.data(), luma, size_t(w));
      room.luma[size_t(w)] = room.luma[size_t(w - 1)];
      luma = room.luma.data();
    }
    k.packYuyv(luma, cb, cr, pairs, row);
  }
}

}  // namespace

// Maps full-range samples to video range (luma 16..235, chroma 16..240).
struct RangeTables {
  uint8_t luma[256], chroma[256];
  RangeTables() {
    for (int v = 0; v < 256; ++v) {
      luma[v] = uint8_t(16 + (v * 219 + 127) / 255);
      chroma[v] = uint8_t(128 + ((v - 128) * 224 + (v >= 128 ? 127 : -127)) / 255);
    }
  }
};

// A full-range Y'CbCr source copied into `room` at video range; the copy's
// planes are tightly packed.
Picture ToVideoRange(const Picture &s, int w, int h, std::vector<uint8_t> *room) {
  static const RangeTables tables;
  Picture out = s;
  out.fullRange = false;
  const int pairs = (w + 1) / 2, chromaRows = (h + 1) / 2;
  struct Plane {
    int bytes, rows;
  };
  Plane planes[3] = {};
  int count = 1;
  if (s.layout == PixelLayout::kYUV420P) {
    planes[0] = {w, h}, planes[1] = planes[2] = {pairs, chromaRows}, count = 3;
  } else if (s.layout == PixelLayout::kNV12) {
    planes[0] = {w, h}, planes[1] = {pairs * 2, chromaRows}, count = 2;
  } else {
    planes[0] = {pairs * 4, h};
  }
  size_t total = 0;
  for (int p = 0; p < count; ++p) total += size_t(planes[p].bytes) * size_t(planes[p].rows);
  room->resize(total);
  uint8_t *at = room->data();
  for (int p = 0; p < count; ++p) {
    // Which bytes are luma: a whole plane, none, or every other one (Y0 Cb
    // Y1 Cr, or Cb Y0 Cr Y1).
    const int lumaPhase = s.layout == PixelLayout::kYUYV422 ? 0 : s.layout == PixelLayout::kUYVY422 ? 1 : -1;
    for (int y = 0; y < planes[p].rows; ++y) {
      const uint8_t *from = RowOf(s, p, y);
      uint8_t *to = at + size_t(y) * size_t(planes[p].bytes);
      for (int x = 0; x < planes[p].bytes; ++x) {
        const bool luma = lumaPhase >= 0 ? x % 2 == lumaPhase : p == 0;
        to[x] = luma ? tables.luma[from[x]] : tables.chroma[from[x]];
      }
    }
    out.data[p] = at;
    out.linesize[p] = planes[p].bytes;
    at += size_t(planes[p].bytes) * size_t(planes[p].rows);
  }
  return out;
}

OSErr DrawPictureWith(const PixelKernels &k, const Picture &s, const DrawTarget &t, int *width, int *height) {
  if (width) *width = 0;
  if (height) *height = 0;
  if (s.fullRange && IsYuv(s.layout) && s.data[0]) {
    const int w = std::min(s.width, t.width), h = std::min(s.height, t.height);
    if (w <= 0 || h <= 0) return codecErr;
    if ((s.layout == PixelLayout::kYUV420P && (!s.data[1] || !s.data[2])) ||
        (s.layout == PixelLayout::kNV12 && !s.data[1]))
      return codecErr;
    Picture cut = s;
    cut.width = w, cut.height = h;
    std::vector<uint8_t> room;
    return DrawPictureWith(k, ToVideoRange(cut, w, h, &room), t, width, height);
  }
  // Worlds are never Cb,Y0,Cr,Y1 or NV12: those layouts are sources only.
  if (!t.data[0] || !s.data[0] || s.layout == PixelLayout::kNone || t.format == PixelLayout::kNone ||
      t.format == PixelLayout::kUYVY422 || t.format == PixelLayout::kNV12)
    return codecErr;
  if (s.layout == PixelLayout::kYUV420P && (!s.data[1] || !s.data[2])) return codecErr;
  if (s.layout == PixelLayout::kNV12 && !s.data[1]) return codecErr;
  if (t.format == PixelLayout::kYUV420P && (!t.data[1] || !t.data[2])) return codecErr;
  const int w = std::min(s.width, t.width), h = std::min(s.height, t.height);
  if (w <= 0 || h <= 0) return codecErr;

  if (s.layout == PixelLayout::kNV12 && t.format == PixelLayout::kYUV420P) {
    CopyRows(s.data[0], s.linesize[0], t.data[0], t.linesize[0], size_t(w), h);
    for (int y = 0; y < (h + 1) / 2; ++y) k.splitPairs(RowOf(s, 1, y), (w + 1) / 2, RowOf(t, 1, y), RowOf(t, 2, y));
  } else if (s.layout == t.format && t.format == PixelLayout::kYUV420P) {
    CopyRows(s.data[0], s.linesize[0], t.data[0], t.linesize[0], size_t(w), h);
    CopyRows(s.data[1], s.linesize[1], t.data[1], t.linesize[1], size_t(w + 1) / 2, (h + 1) / 2);
    CopyRows(s.data[2], s.linesize[2], t.data[2], t.linesize[2], size_t(w + 1) / 2, (h + 1) / 2);
  } else if (s.layout == t.format && t.format != PixelLayout::kYUYV422) {
    CopyRows(s.data[0], s.linesize[0], t.data[0], t.linesize[0], size_t(w) * size_t(PackedBytesPerPixel(t.format)), h);
  } else if (s.layout == PixelLayout::kUYVY422 && t.format == PixelLayout::kYUYV422 &&
             std::abs(int64_t(s.linesize[0])) >= 4 * ((w + 1) / 2)) {
    for (int y = 0; y < h; ++y) {
      uint8_t *row = RowOf(t, 0, y);
      k.swap422(RowOf(s, 0, y), (w + 1) / 2, row);
      if (w % 2) row[2 * w] = row[2 * w - 2];  // an odd last pair repeats its luma
    }
  } else if (IsYuv(t.format)) {
    DrawYuvTarget(k, s, t, w, h);  // YUYV into YUYV too: an odd last pair is completed
  } else {
    DrawRgbTarget(k, s, t, w, h);
  }
  if (width) *width = w;
  if (height) *height = h;
  return noErr;
}

OSErr DrawPicture(const Picture &s, const DrawTarget &t, int *width, int *height) {
  return DrawPictureWith(BestKernels(), s, t, width, height);
}

}  // namespace tp::qt
