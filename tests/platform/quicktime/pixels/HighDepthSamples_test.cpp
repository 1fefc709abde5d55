// 10-bit pictures as a system decoder hands them out (P010), narrowed to
// 8 bits, against libswscale's own narrowing of the same picture to NV12:
// within one step everywhere (it dithers, we round), and the mean error
// near zero.
#include "pixels/HighDepthSamples.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/FfmpegTools.h"

namespace tp::qt {
namespace {

TEST(HighDepthSamples, NarrowHighBitSamples_MatchesLibswscaleWithinOneStep) {
  if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg / ffprobe not installed";
  test::ff::TempDir dir;
  const int w = 66, h = 50;  // chroma of 33 x 25 samples
  const std::string src = dir.File("pic.yuv"), p010 = dir.File("pic.p010"), nv12 = dir.File("pic.nv12");
  ASSERT_TRUE(
      test::ff::RunFfmpeg("-y -f lavfi -i testsrc2=size=66x50:rate=1 -frames:v 1 -pix_fmt yuv420p10le "
                          "-f rawvideo '" +
                          src + "'"));
  const std::string in = "-y -f rawvideo -pix_fmt yuv420p10le -s 66x50 -i '" + src + "' -f rawvideo -pix_fmt ";
  ASSERT_TRUE(test::ff::RunFfmpeg(in + "p010le '" + p010 + "'"));
  ASSERT_TRUE(test::ff::RunFfmpeg(in + "nv12 '" + nv12 + "'"));
  const std::vector<uint8_t> wide = test::ff::ReadFileBytes(p010), want = test::ff::ReadFileBytes(nv12);
  const int chromaRows = (h + 1) / 2, rowSamples = w + (w & 1);
  ASSERT_EQ(want.size(), size_t(rowSamples) * size_t(h + chromaRows));
  ASSERT_EQ(wide.size(), want.size() * 2);

  // Luma rows, then the rows of Cb,Cr pairs, as the back end reads them,
  // written through an output stride wider than the rows.
  const int stride = rowSamples + 7;
  std::vector<uint8_t> got(size_t(stride) * size_t(h + chromaRows), 0xEE);
  NarrowHighBitSamples(wide.data(), 2 * rowSamples, got.data(), stride, rowSamples, h);
  NarrowHighBitSamples(wide.data() + size_t(2 * rowSamples) * h, 2 * rowSamples, got.data() + size_t(stride) * h,
                       stride, rowSamples, chromaRows);
  int64_t sum = 0;
  int worst = 0;
  for (int y = 0; y < h + chromaRows; ++y) {
    for (int x = 0; x < rowSamples; ++x) {
      const int d = int(got[size_t(y) * stride + x]) - int(want[size_t(y) * rowSamples + x]);
      sum += d;
      worst = std::max(worst, std::abs(d));
    }
    EXPECT_EQ(got[size_t(y) * stride + rowSamples], 0xEE) << "row " << y << " written past its samples";
  }
  EXPECT_LE(worst, 1);
  EXPECT_LT(std::abs(double(sum) / double(want.size())), 0.1);
}

TEST(HighDepthSamples, NarrowHighBitSamples_RoundsAndSaturates) {
  // Little-endian 16-bit words: 10-bit values 0, 1, 2, 3, 1023, and a full
  // 16-bit word.
  const std::vector<uint8_t> words = {0x00, 0x00, 0x40, 0x00, 0x80, 0x00, 0xC0, 0x00, 0xC0, 0xFF, 0xFF, 0xFF};
  uint8_t out[6] = {};
  NarrowHighBitSamples(words.data(), 12, out, 6, 6, 1);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0, 0, 1, 1, 255, 255}));
}

}  // namespace
}  // namespace tp::qt
