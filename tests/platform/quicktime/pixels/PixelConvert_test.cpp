// Our own picture conversions: every uncompressed source layout drawn into
// every world layout at an odd size, then back to RGB, keeps the picture
// (same-layout draws are exact copies), and writes nothing past the drawn
// rows and planes; and at odd sizes they agree with the ffmpeg command
// line's conversion of the same movie to 40 dB.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

#include "pixels/PixelConvert.h"
#include "support/FfmpegTools.h"

namespace tp::qt {
namespace {

constexpr int kW = 37, kH = 23;
constexpr uint8_t kGuard = 0xA5;
constexpr size_t kGuardBytes = 64;

// A picture's memory in `layout`, with guard bytes after each plane.
struct Buffer {
  PixelLayout layout;
  std::vector<std::vector<uint8_t>> planes;
  int linesize[3] = {};
  int rows[3] = {};

  explicit Buffer(PixelLayout l) : layout(l) {
    if (l == PixelLayout::kYUV420P) {
      linesize[0] = kW, rows[0] = kH;
      linesize[1] = linesize[2] = (kW + 1) / 2;
      rows[1] = rows[2] = (kH + 1) / 2;
    } else if (l == PixelLayout::kNV12) {
      linesize[0] = kW, rows[0] = kH;
      linesize[1] = (kW + 1) / 2 * 2, rows[1] = (kH + 1) / 2;
    } else {
      const int bytes = l == PixelLayout::kYUYV422 || l == PixelLayout::kUYVY422 ? (kW + 1) / 2 * 4
                        : l == PixelLayout::kRGB555BE                            ? kW * 2
                                                                                 : kW * PackedBytesPerPixel(l);
      linesize[0] = (bytes + 3) / 4 * 4, rows[0] = kH;
    }
    for (int p = 0; p < 3 && rows[p]; ++p)
      planes.emplace_back(size_t(linesize[p]) * size_t(rows[p]) + kGuardBytes, kGuard);
  }
  Picture AsPicture() const {
    Picture pic{layout, kW, kH, {}, {}};
    for (size_t p = 0; p < planes.size(); ++p) pic.data[p] = planes[p].data(), pic.linesize[p] = linesize[p];
    return pic;
  }
  DrawTarget AsTarget() {
    DrawTarget t{layout, kW, kH, {}, {}};
    for (size_t p = 0; p < planes.size(); ++p) t.data[p] = planes[p].data(), t.linesize[p] = linesize[p];
    return t;
  }
  bool GuardsIntact() const {
    for (size_t p = 0; p < planes.size(); ++p)
      for (size_t i = planes[p].size() - kGuardBytes; i < planes[p].size(); ++i)
        if (planes[p][i] != kGuard) return false;
    return true;
  }
};

Buffer Draw(const Buffer &from, PixelLayout to) {
  Buffer out(to);
  int w = 0, h = 0;
  EXPECT_EQ(DrawPicture(from.AsPicture(), out.AsTarget(), &w, &h), noErr);
  EXPECT_EQ(w, kW);
  EXPECT_EQ(h, kH);
  EXPECT_TRUE(out.GuardsIntact());
  return out;
}

double RgbPsnr(const Buffer &a, const Buffer &b) {
  double sum = 0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW * 3; ++x) {
      const double d = double(a.planes[0][size_t(y * a.linesize[0] + x)]) - b.planes[0][size_t(y * b.linesize[0] + x)];
      sum += d * d;
    }
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / (sum / (kW * kH * 3)));
}

TEST(PixelConvertTest, EverySourceIntoEveryWorldLayout_KeepsThePictureAndItsBounds) {
  // Smooth colour ramps, as real pictures mostly are, with a saturated patch.
  Buffer reference(PixelLayout::kRGB24);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      uint8_t *p = &reference.planes[0][size_t(y * reference.linesize[0] + x * 3)];
      const bool patch = x >= 30 && y >= 16;
      p[0] = patch ? 250 : uint8_t(20 + x * 5);
      p[1] = patch ? 10 : uint8_t(200 - y * 6);
      p[2] = patch ? 40 : uint8_t(60 + (x + y) * 3);
    }
  const PixelLayout sources[] = {PixelLayout::kARGB,     PixelLayout::kBGRA,     PixelLayout::kRGB24,
                                 PixelLayout::kBGR24,    PixelLayout::kRGB555LE, PixelLayout::kRGB565LE,
                                 PixelLayout::kRGB555BE, PixelLayout::kYUYV422,  PixelLayout::kUYVY422,
                                 PixelLayout::kYUV420P,  PixelLayout::kNV12};
  const PixelLayout worlds[] = {PixelLayout::kARGB,    PixelLayout::kBGRA,     PixelLayout::kRGB24,
                                PixelLayout::kBGR24,   PixelLayout::kRGB555LE, PixelLayout::kRGB565LE,
                                PixelLayout::kYUYV422, PixelLayout::kYUV420P};
  for (PixelLayout s : sources) {
    Buffer source(s);
    if (s == PixelLayout::kUYVY422) {
      // Not a world layout: made from Y0,Cb,Y1,Cr by reordering each pair.
      const Buffer yuyv = Draw(reference, PixelLayout::kYUYV422);
      for (size_t i = 0; i + 4 <= yuyv.planes[0].size() - kGuardBytes; i += 4) {
        const uint8_t *q = &yuyv.planes[0][i];
        source.planes[0][i] = q[1], source.planes[0][i + 1] = q[0];
        source.planes[0][i + 2] = q[3], source.planes[0][i + 3] = q[2];
      }
    } else if (s == PixelLayout::kNV12) {
      // Nor this one: the 4:2:0 planes with Cb and Cr interleaved.
      const Buffer planar = Draw(reference, PixelLayout::kYUV420P);
      source.planes[0] = planar.planes[0];
      for (int y = 0; y < source.rows[1]; ++y)
        for (int x = 0; x < (kW + 1) / 2; ++x) {
          source.planes[1][size_t(y * source.linesize[1] + 2 * x)] =
              planar.planes[1][size_t(y * planar.linesize[1] + x)];
          source.planes[1][size_t(y * source.linesize[1] + 2 * x + 1)] =
              planar.planes[2][size_t(y * planar.linesize[2] + x)];
        }
    } else {
      source = Draw(reference, s);
    }
    for (PixelLayout w : worlds) {
      SCOPED_TRACE("source " + std::to_string(int(s)) + " world " + std::to_string(int(w)));
      const Buffer world = Draw(source, w);
      if (s == w) {
        for (int y = 0; y < kH; ++y)
          ASSERT_TRUE(std::equal(source.planes[0].begin() + y * source.linesize[0],
                                 source.planes[0].begin() + (y + 1) * source.linesize[0],
                                 world.planes[0].begin() + y * world.linesize[0]))
              << "row " << y;
      }
      // Lossy steps: 5 bits a channel, chroma shared by pairs or blocks.
      EXPECT_GE(RgbPsnr(reference, Draw(world, PixelLayout::kRGB24)), 30.0);
    }
  }
  // A world is never Cb,Y0,Cr,Y1 or NV12, and nothing is drawn into nothing.
  Buffer uyvy(PixelLayout::kUYVY422), nv12(PixelLayout::kNV12);
  int w = -1, h = -1;
  EXPECT_EQ(DrawPicture(reference.AsPicture(), uyvy.AsTarget(), &w, &h), codecErr);
  EXPECT_EQ(DrawPicture(reference.AsPicture(), nv12.AsTarget(), &w, &h), codecErr);
  DrawTarget none{PixelLayout::kRGB24, kW, kH, {}, {}};
  EXPECT_EQ(DrawPicture(reference.AsPicture(), none, &w, &h), codecErr);
  EXPECT_EQ(w, 0);
}

// PSNR over all bytes but alpha; 16-bit pixels are unpacked to 8-bit
// channels with their low bits clear.
double Psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b, PixelLayout l) {
  double se = 0;
  size_t n = 0;
  auto add = [&](int x, int y) {
    se += double(x - y) * double(x - y);
    ++n;
  };
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if ((l == PixelLayout::kBGRA && i % 4 == 3) || (l == PixelLayout::kARGB && i % 4 == 0)) continue;
    if (l == PixelLayout::kRGB555LE || l == PixelLayout::kRGB565LE) {
      if (i % 2 || i + 1 >= a.size()) continue;
      const unsigned p = a[i] | a[i + 1] << 8, q = b[i] | b[i + 1] << 8;
      const unsigned g = l == PixelLayout::kRGB565LE ? 63 : 31, gShift = l == PixelLayout::kRGB565LE ? 2 : 3;
      const unsigned rShift = l == PixelLayout::kRGB565LE ? 11 : 10;
      add(int((p >> rShift) & 31) << 3, int((q >> rShift) & 31) << 3);
      add(int((p >> 5) & g) << gShift, int((q >> 5) & g) << gShift);
      add(int(p & 31) << 3, int(q & 31) << 3);
      continue;
    }
    add(a[i], b[i]);
  }
  return se == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(n) / se);
}

TEST(PixelConvertTest, UncompressedMoviesAtOddSizes_MatchFfmpegsConversionTo40Db) {
  if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  test::ff::TempDir dir;
  struct Movie {
    const char *name, *codec, *pixFmt;  // pixFmt: how ffmpeg decodes it, and our source layout
    PixelLayout layout;
    int width, height;
  };
  // 'raw ' RGB, '2vuy' and 'rle ' (lossless: its decoded pictures are the
  // source's) at odd widths and heights.
  const Movie movies[] = {
      {"raw24.mov", "-c:v rawvideo -pix_fmt rgb24", "rgb24", PixelLayout::kRGB24, 321, 241},
      {"2vuy.mov", "-c:v rawvideo -pix_fmt uyvy422", "uyvy422", PixelLayout::kUYVY422, 199, 101},
      {"2vuy-321.mov", "-c:v rawvideo -pix_fmt uyvy422", "uyvy422", PixelLayout::kUYVY422, 321, 241},
      {"rle.mov", "-c:v qtrle", "rgb24", PixelLayout::kRGB24, 199, 101},
      {"rle-321.mov", "-c:v qtrle", "rgb24", PixelLayout::kRGB24, 321, 241},
  };
  struct World {
    PixelLayout layout;
    const char *pixFmt;
  };
  // Not the 16-bit worlds: ffmpeg dithers as it narrows to 5 and 6 bits, and
  // at an odd width the last pixel of each of its rows comes out another
  // colour. We drop the low bits (the test above keeps those pictures).
  const World worlds[] = {{PixelLayout::kYUV420P, "yuv420p"}, {PixelLayout::kYUYV422, "yuyv422"},
                          {PixelLayout::kBGRA, "bgra"},       {PixelLayout::kARGB, "argb"},
                          {PixelLayout::kRGB24, "rgb24"},     {PixelLayout::kBGR24, "bgr24"}};
  for (const Movie &m : movies) {
    const std::string movie = dir.File(m.name), size = std::to_string(m.width) + ":" + std::to_string(m.height);
    ASSERT_TRUE(test::ff::RunFfmpeg("-f lavfi -i testsrc2=size=322x242:rate=25 -vf format=rgb24,crop=" + size +
                                    " -frames:v 1 " + m.codec + " " + test::ff::ShellQuote(movie)));
    auto decode = [&](const char *pixFmt, const std::string &filter = "") {
      const std::string out = dir.File("frame.raw");
      EXPECT_TRUE(test::ff::RunFfmpeg("-i " + test::ff::ShellQuote(movie) + filter + " -f rawvideo -pix_fmt " + pixFmt +
                                      " " + test::ff::ShellQuote(out)));
      return test::ff::ReadFileBytes(out);
    };
    const std::vector<uint8_t> source = decode(m.pixFmt);
    ASSERT_FALSE(source.empty());
    Picture pic{m.layout, m.width, m.height, {source.data()}, {int(source.size() / size_t(m.height))}};
    for (const World &world : worlds) {
      SCOPED_TRACE(std::string(m.name) + " into " + world.pixFmt);
      // At an odd width libswscale's chroma of the last pixel pair of an
      // R'G'B' picture takes in a pixel past the row's end (in the 'rle '
      // decoder's padded rows, black), which no picture holds. The fair
      // reference is ffmpeg's conversion of the picture widened by a copy of
      // its last column (the pair then holds the last pixel twice), its rows
      // of the same bytes as at the odd width: only the luma of that added
      // pixel lies outside the picture, and is not compared.
      const bool lastPair = m.width % 2 && m.layout == PixelLayout::kRGB24 && world.layout == PixelLayout::kYUYV422;
      std::vector<uint8_t> want =
          decode(world.pixFmt, lastPair ? " -vf pad=iw+1:ih:0:0,fillborders=right=1:mode=smear" : "");
      // ffmpeg's rows are packed without padding: so are ours here.
      std::vector<uint8_t> got(want.size());
      const int pairs = (m.width + 1) / 2;
      DrawTarget t{world.layout, m.width, m.height, {got.data()}, {}};
      if (world.layout == PixelLayout::kYUV420P) {
        t.linesize[0] = m.width, t.linesize[1] = t.linesize[2] = pairs;
        t.data[1] = got.data() + size_t(m.width) * size_t(m.height);
        t.data[2] = t.data[1] + size_t(pairs) * size_t((m.height + 1) / 2);
      } else {
        t.linesize[0] = int(want.size() / size_t(m.height));
      }
      int w = 0, h = 0;
      ASSERT_EQ(DrawPicture(pic, t, &w, &h), noErr);
      if (world.layout == PixelLayout::kYUV420P && m.layout == PixelLayout::kUYVY422 && m.height % 2) {
        // ffmpeg leaves the last chroma row of an odd 4:2:2 picture unwritten
        // (zero) going to 4:2:0; ours is that row's chroma. Compared without it.
        const size_t chroma = size_t(pairs) * size_t((m.height + 1) / 2);
        for (size_t plane : {t.data[1] - got.data(), t.data[2] - got.data()})
          for (size_t i = plane + chroma - size_t(pairs); i < plane + chroma; ++i) got[i] = want[i];
      }
      if (lastPair) {
        ASSERT_EQ(want.size(), got.size());
        for (int y = 0; y < m.height; ++y) {
          const size_t outside = size_t(y) * size_t(t.linesize[0]) + size_t(pairs) * 4 - 2;
          want[outside] = got[outside];
        }
      }
      const double psnr = Psnr(got, want, world.layout);
      std::printf("%-12s into %-8s %6.2f dB\n", m.name, world.pixFmt, psnr);
      EXPECT_GE(psnr, 40.0);
    }
  }
}

// R'G'B' that was 4:2:0 in row pairs (a JPEG the system decoded to RGB) goes
// back to 4:2:0 with each chroma row from its own pair of rows, at an odd
// height too; spread evenly over the height instead, the rows near the
// bottom mix their neighbours.
TEST(PixelConvertTest, RgbFromRowPairs_ReturnsToTheSameChromaRows) {
  Buffer source(PixelLayout::kYUV420P);
  std::fill(source.planes[0].begin(), source.planes[0].begin() + kW * kH, uint8_t{128});
  for (int j = 0; j < source.rows[1]; ++j)
    for (int x = 0; x < source.linesize[1]; ++x) {
      source.planes[1][size_t(j * source.linesize[1] + x)] = uint8_t(60 + 60 * (j % 3));
      source.planes[2][size_t(j * source.linesize[2] + x)] = uint8_t(200 - 50 * (j % 3));
    }
  const Buffer rgb = Draw(source, PixelLayout::kBGR24);
  int worstPaired = 0, worstSpread = 0;
  for (bool paired : {true, false}) {
    Picture pic = rgb.AsPicture();
    pic.chromaInRowPairs = paired;
    Buffer back(PixelLayout::kYUV420P);
    int w = 0, h = 0;
    ASSERT_EQ(DrawPicture(pic, back.AsTarget(), &w, &h), noErr);
    for (int p = 1; p < 3; ++p)
      for (int j = 0; j < source.rows[p]; ++j)
        for (int x = 0; x < kW / 2; ++x) {
          const size_t at = size_t(j * source.linesize[p] + x);
          const int d = std::abs(int(back.planes[p][at]) - int(source.planes[p][at]));
          (paired ? worstPaired : worstSpread) = std::max(paired ? worstPaired : worstSpread, d);
        }
  }
  EXPECT_LE(worstPaired, 3);
  EXPECT_GT(worstSpread, 10);
}

// A full-range picture in each Y'CbCr layout is drawn, into every world
// layout, as the same picture brought to video range first (luma 0..255 to
// 16..235, chroma to 16..240, rounded to nearest).
TEST(PixelConvertTest, FullRangeSources_DrawnAsTheirVideoRangePicture) {
  const auto toVideo = [](int v, bool luma) {
    return uint8_t(std::lround(luma ? 16 + v * 219.0 / 255 : 128 + (v - 128) * 224.0 / 255));
  };
  for (PixelLayout layout : {PixelLayout::kYUV420P, PixelLayout::kNV12, PixelLayout::kYUYV422, PixelLayout::kUYVY422}) {
    SCOPED_TRACE(int(layout));
    Buffer full(layout), video(layout);
    const int lumaPhase = layout == PixelLayout::kYUYV422 ? 0 : layout == PixelLayout::kUYVY422 ? 1 : -1;
    for (size_t p = 0; p < full.planes.size(); ++p)
      for (size_t i = 0; i + kGuardBytes < full.planes[p].size(); ++i) {
        const int v = int((i * 37 + p * 91) % 256);  // every value, in no order
        const bool luma = lumaPhase >= 0 ? int(i % size_t(full.linesize[p])) % 2 == lumaPhase : p == 0;
        full.planes[p][i] = uint8_t(v);
        video.planes[p][i] = toVideo(v, luma);
      }
    for (PixelLayout to : {PixelLayout::kYUV420P, PixelLayout::kYUYV422, PixelLayout::kBGRA, PixelLayout::kRGB565LE}) {
      Picture pic = full.AsPicture();
      pic.fullRange = true;
      Buffer got(to);
      int w = 0, h = 0;
      ASSERT_EQ(DrawPicture(pic, got.AsTarget(), &w, &h), noErr);
      EXPECT_TRUE(got.GuardsIntact());
      EXPECT_EQ(got.planes, Draw(video, to).planes) << int(to);
    }
  }
}

// Decoded 4:2:0 pictures drawn into 'yuvs' (how the Windows decoders' I420
// and NV12 reach a YUY2 world) against libswscale's conversion of the same
// planes, as the Linux build draws them: each row's chroma filtered from the
// chroma rows around it. Byte for byte from 13 rows on, except where noted.
TEST(PixelConvertTest, FourTwoZeroIntoYuvs_MatchesLibswscale) {
  struct Size {
    int w, h, tolerance;
  };
  const Size sizes[] = {{64, 14, 0},   {63, 16, 0},     {37, 13, 0},    {1, 64, 0},    {2, 30, 0},
                        {65, 17, 0},   {64, 33, 0},     {33, 99, 1},    {642, 362, 0}, {642, 361, 1},
                        {321, 241, 1}, {1920, 1080, 0}, {1279, 719, 1}, {17, 2, 0},    {17, 1, 0}};
  for (const Size &size : sizes) {
    const int w = size.w, h = size.h, pairs = (w + 1) / 2, chromaRows = (h + 1) / 2;
    for (const bool noise : {true, false}) {
      // Noise, or smooth ramps that cross in both directions.
      std::vector<uint8_t> planes[3];
      const int widths[3] = {w, pairs, pairs}, heights[3] = {h, chromaRows, chromaRows};
      uint32_t seed = 12345;
      for (int p = 0; p < 3; ++p) {
        planes[p].resize(size_t(widths[p]) * size_t(heights[p]));
        for (int y = 0; y < heights[p]; ++y)
          for (int x = 0; x < widths[p]; ++x) {
            seed = seed * 1103515245u + 12345u;
            planes[p][size_t(y * widths[p] + x)] =
                noise ? uint8_t(seed >> 16) : uint8_t(16 + (x * 7 + y * (p == 1 ? 11 : -5) + 4096) % 224);
          }
      }
      const int stride = (pairs * 4 + 63) / 64 * 64;  // room for libswscale's whole blocks
      std::vector<uint8_t> want(size_t(stride) * size_t(h));
      SwsContext *sws =
          sws_getContext(w, h, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_YUYV422, SWS_BICUBIC, nullptr, nullptr, nullptr);
      ASSERT_NE(sws, nullptr);
      const uint8_t *in[4] = {planes[0].data(), planes[1].data(), planes[2].data(), nullptr};
      const int inStride[4] = {widths[0], widths[1], widths[2], 0};
      uint8_t *out[4] = {want.data(), nullptr, nullptr, nullptr};
      const int outStride[4] = {stride, 0, 0, 0};
      sws_scale(sws, in, inStride, 0, h, out, outStride);
      sws_freeContext(sws);

      std::vector<uint8_t> nv12(size_t(pairs) * 2 * size_t(chromaRows));
      for (size_t i = 0; i < planes[1].size(); ++i) nv12[2 * i] = planes[1][i], nv12[2 * i + 1] = planes[2][i];
      for (const PixelLayout from : {PixelLayout::kYUV420P, PixelLayout::kNV12}) {
        Picture pic{from, w, h, {planes[0].data(), planes[1].data(), planes[2].data()}, {w, pairs, pairs}};
        if (from == PixelLayout::kNV12) pic.data[1] = nv12.data(), pic.linesize[1] = 2 * pairs;
        std::vector<uint8_t> got(want.size());
        const DrawTarget t{PixelLayout::kYUYV422, w, h, {got.data()}, {stride}};
        ASSERT_EQ(DrawPicture(pic, t, nullptr, nullptr), noErr);
        int worst = 0, worstRow = -1;
        for (int y = 0; y < h; ++y)
          for (int i = 0; i < pairs * 4; ++i) {
            if (i % 2 == 0 && i / 2 >= w) continue;  // the luma past an odd width
            const int d = std::abs(int(got[size_t(y * stride + i)]) - want[size_t(y * stride + i)]);
            if (d > worst) worst = d, worstRow = y;
          }
        EXPECT_LE(worst, size.tolerance) << w << "x" << h << (noise ? " noise" : " ramps")
                                         << (from == PixelLayout::kNV12 ? " NV12" : " I420") << ", row " << worstRow;
      }
    }
  }
}

}  // namespace
}  // namespace tp::qt
