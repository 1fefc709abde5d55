// The vector kernel sets against the scalar reference: every source layout
// into every world layout, at sizes that leave every kind of partial block,
// on random pictures with padded rows (some running upwards), must give the
// same bytes, padding and guard bytes included. The chroma row weights of
// 4:2:0 worlds, and the matrices against BT.601 itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <tuple>
#include <utility>
#include <string>
#include <vector>

#include "pixels/PixelConvert.h"
#include "pixels/PixelKernels.h"

namespace tp::qt {
namespace {

struct Memory {
  PixelLayout layout;
  int width, height;
  std::vector<uint8_t> planes[3];
  int linesize[3] = {};

  Memory(PixelLayout l, int w, int h, std::mt19937 &random, bool fill)
      : layout(l), width(w), height(h), upwards(random() % 4 == 0) {
    const int pairs = (w + 1) / 2, chromaRows = (h + 1) / 2;
    rows[0] = h;
    if (l == PixelLayout::kYUV420P) {
      linesize[0] = w, linesize[1] = linesize[2] = pairs, rows[1] = rows[2] = chromaRows;
    } else if (l == PixelLayout::kNV12) {
      linesize[0] = w, linesize[1] = 2 * pairs, rows[1] = chromaRows;
    } else {
      linesize[0] = l == PixelLayout::kYUYV422 || l == PixelLayout::kUYVY422 ? 4 * pairs
                    : l == PixelLayout::kRGB555BE                            ? 2 * w
                                                                             : w * PackedBytesPerPixel(l);
    }
    for (int p = 0; p < 3; ++p) {
      if (!rows[p]) continue;
      linesize[p] += int(random() % 5);  // rows padded by 0 to 4 bytes
      planes[p].resize(size_t(linesize[p]) * size_t(rows[p]) + 64);
      for (uint8_t &b : planes[p]) b = fill ? uint8_t(random()) : 0xA5;
    }
  }
  int rows[3] = {};
  bool upwards = false;  // rows run from the last line in memory to the first

  // Plane p as the picture's first row and its row step.
  std::pair<uint8_t *, int> Plane(int p) {
    if (planes[p].empty()) return {nullptr, 0};
    if (!upwards) return {planes[p].data(), linesize[p]};
    return {planes[p].data() + size_t(linesize[p]) * size_t(rows[p] - 1), -linesize[p]};
  }
  Picture AsPicture() {
    Picture pic{layout, width, height, {}, {}};
    for (int p = 0; p < 3; ++p) std::tie(pic.data[p], pic.linesize[p]) = Plane(p);
    return pic;
  }
  DrawTarget AsTarget() {
    DrawTarget t{layout, width, height, {}, {}};
    for (int p = 0; p < 3; ++p) std::tie(t.data[p], t.linesize[p]) = Plane(p);
    return t;
  }
};

TEST(PixelKernelsTest, EveryConversionAtOddSizes_VectorKernelsGiveTheScalarBytes) {
  std::vector<const PixelKernels *> sets;
  for (const PixelKernels *k : {Sse2Kernels(), Avx2Kernels()})
    if (k) sets.push_back(k);
  if (sets.empty()) GTEST_SKIP() << "no vector kernels on this processor";
  const PixelLayout sources[] = {PixelLayout::kARGB,     PixelLayout::kBGRA,     PixelLayout::kRGB24,
                                 PixelLayout::kBGR24,    PixelLayout::kRGB555LE, PixelLayout::kRGB565LE,
                                 PixelLayout::kRGB555BE, PixelLayout::kYUYV422,  PixelLayout::kUYVY422,
                                 PixelLayout::kYUV420P,  PixelLayout::kNV12};
  const PixelLayout worlds[] = {PixelLayout::kARGB,    PixelLayout::kBGRA,     PixelLayout::kRGB24,
                                PixelLayout::kBGR24,   PixelLayout::kRGB555LE, PixelLayout::kRGB565LE,
                                PixelLayout::kYUYV422, PixelLayout::kYUV420P};
  // Blocks are 4 to 32 pixels a lane: widths on either side of each, and
  // heights that make every kind of chroma row weights.
  const int sizes[][2] = {{1, 1}, {2, 3}, {15, 5}, {17, 2}, {31, 9}, {33, 4}, {63, 7}, {65, 11}, {97, 3}, {199, 13}};
  std::mt19937 random(22);
  for (PixelLayout from : sources)
    for (PixelLayout to : worlds)
      for (const auto &size : sizes) {
        SCOPED_TRACE("source " + std::to_string(int(from)) + " world " + std::to_string(int(to)) + " size " +
                     std::to_string(size[0]) + "x" + std::to_string(size[1]));
        Memory source(from, size[0], size[1], random, true);
        Memory want(to, size[0], size[1], random, false);
        int w = 0, h = 0;
        ASSERT_EQ(DrawPictureWith(ScalarKernels(), source.AsPicture(), want.AsTarget(), &w, &h), noErr);
        for (const PixelKernels *k : sets) {
          Memory got = want;
          for (auto &plane : got.planes) std::fill(plane.begin(), plane.end(), 0xA5);
          ASSERT_EQ(DrawPictureWith(*k, source.AsPicture(), got.AsTarget(), &w, &h), noErr);
          for (int p = 0; p < 3; ++p) ASSERT_TRUE(got.planes[p] == want.planes[p]) << k->name << " plane " << p;
        }
      }
}

TEST(PixelKernelsTest, ChromaRowWeights_CoverThePictureAndAreBlockMeansAtEvenHeights) {
  for (int h = 1; h <= 301; ++h) {
    const int rows = (h + 1) / 2;
    int lastFirst = 0;
    for (int j = 0; j < rows; ++j) {
      SCOPED_TRACE("height " + std::to_string(h) + " row " + std::to_string(j));
      const RowWeights wt = ChromaRowWeights(j, h);
      ASSERT_EQ(wt.a + wt.b + wt.c, 64);
      ASSERT_GE(wt.a, 0);
      ASSERT_GE(wt.b, 0);
      ASSERT_GE(wt.c, 0);
      // Never a row outside the picture, never going back up.
      ASSERT_GE(wt.first, lastFirst);
      ASSERT_LT(wt.first + (wt.c ? 2 : wt.b ? 1 : 0), h);
      lastFirst = wt.first;
      if (h % 2 == 0) {
        EXPECT_EQ(wt.first, 2 * j);
        EXPECT_EQ(wt.a, 32);
        EXPECT_EQ(wt.b, 32);
      }
    }
    // The first and last chroma rows reach the picture's first and last rows.
    EXPECT_EQ(ChromaRowWeights(0, h).first, 0);
    const RowWeights last = ChromaRowWeights(rows - 1, h);
    EXPECT_EQ(last.first + (last.c ? 2 : last.b ? 1 : 0), h - 1);
  }
}

TEST(PixelKernelsTest, Matrices_WithinOneStepOfBt601AtVideoRange) {
  const PixelKernels &k = ScalarKernels();
  auto clip = [](double v) { return std::clamp(std::lround(v), 0L, 255L); };
  int worst = 0;
  // Y'CbCr -> R'G'B' for every luma at chroma on a grid that takes in both ends.
  std::vector<uint8_t> luma(256), cb(256), cr(256), bgra(4 * 256);
  for (int i = 0; i < 256; ++i) luma[size_t(i)] = uint8_t(i);
  for (int u = 0; u <= 255; u += 5)
    for (int v = 0; v <= 255; v += 5) {
      std::fill(cb.begin(), cb.end(), uint8_t(u));
      std::fill(cr.begin(), cr.end(), uint8_t(v));
      k.yuvToBgra(luma.data(), cb.data(), cr.data(), 256, bgra.data());
      for (int y = 0; y < 256; ++y) {
        const double l = (y - 16) * 255.0 / 219.0, d = (u - 128) * 255.0 / 224.0, e = (v - 128) * 255.0 / 224.0;
        const long want[3] = {clip(l + 1.772 * d), clip(l - 0.344136 * d - 0.714136 * e), clip(l + 1.402 * e)};
        for (int c = 0; c < 3; ++c) worst = std::max(worst, int(std::labs(bgra[size_t(4 * y + c)] - want[c])));
      }
    }
  EXPECT_LE(worst, 1) << "Y'CbCr -> R'G'B'";
  // R'G'B' -> Y'CbCr on a grid of colours, each pixel paired with itself.
  worst = 0;
  std::vector<int16_t> sums[3];
  for (auto &v : sums) v.resize(128);
  for (int r = 0; r <= 255; r += 3)
    for (int g = 0; g <= 255; g += 3) {
      for (int b = 0; b < 256; ++b) {
        uint8_t *p = &bgra[size_t(4 * b)];
        p[0] = uint8_t(b), p[1] = uint8_t(g), p[2] = uint8_t(r), p[3] = 255;
      }
      k.bgraToLuma(bgra.data(), 256, luma.data(), sums[0].data(), sums[1].data(), sums[2].data());
      const int16_t *const rows[3][3] = {{sums[0].data(), sums[1].data(), sums[2].data()}, {}, {}};
      k.chromaFromSums(rows, RowWeights{0, 64, 0, 0}, 128, cb.data(), cr.data());
      for (int b = 0; b < 256; b += 2) {
        // The pair's mean colour: pixels b and b + 1.
        const double bm = b + 0.5;
        const long y = clip(16 + (0.299 * r + 0.587 * g + 0.114 * b) * 219.0 / 255.0);
        const long u = clip(128 + (-0.168736 * r - 0.331264 * g + 0.5 * bm) * 224.0 / 255.0);
        const long v = clip(128 + (0.5 * r - 0.418688 * g - 0.081312 * bm) * 224.0 / 255.0);
        worst = std::max({worst, int(std::labs(luma[size_t(b)] - y)), int(std::labs(cb[size_t(b / 2)] - u)),
                          int(std::labs(cr[size_t(b / 2)] - v))});
      }
    }
  EXPECT_LE(worst, 1) << "R'G'B' -> Y'CbCr";
}

}  // namespace
}  // namespace tp::qt
