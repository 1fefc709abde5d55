// The built-in decoder of indexed and grey 'raw ' against the Linux back
// end's libavcodec path: for every depth, at odd widths, with tight and
// padded rows, with the standard tables and a description's own, the same
// pictures byte for byte in the world layouts where both draw through the
// same conversion; movies the ffmpeg command line writes go through the
// runtime's own description reader first.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <span>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "toolbox/Dispatcher.h"
#include "pixels/GWorld.h"
#include "container/MovieModel.h"
#include "pixels/PixelFormats.h"
#include "codecs/RawIndexedDecoder.h"
#include "RuntimeCalls.h"
#include "ffmpeg/FfmpegVideoDecoder.h"
#include "support/FfmpegTools.h"

namespace tp::qt {
namespace {

struct Layout {
  PixelLayout layout;
  const char *name;
};
// The layouts both draw by copying colours from the table. Into the 16-bit
// and Y'CbCr layouts libswscale converts the table its own way (dithering
// to 5 and 6 bits, its own matrix), ours as every A,R,G,B picture is.
constexpr Layout kLayouts[] = {
    {PixelLayout::kARGB, "ARGB"},
    {PixelLayout::kBGRA, "BGRA"},
    {PixelLayout::kRGB24, "RGB24"},
    {PixelLayout::kBGR24, "BGR24"},
};

// A world-shaped block of memory, prefilled so that what is not drawn shows.
struct Canvas {
  Canvas(PixelLayout layout, int w, int h) {
    t.format = layout;
    t.width = w;
    t.height = h;
    if (layout == PixelLayout::kYUV420P) {
      const int cw = (w + 1) / 2, ch = (h + 1) / 2;
      bytes.assign(size_t(w * h + 2 * cw * ch), 0x5A);
      t.data[0] = bytes.data();
      t.data[1] = t.data[0] + w * h;
      t.data[2] = t.data[1] + cw * ch;
      t.linesize[0] = w;
      t.linesize[1] = t.linesize[2] = cw;
    } else {
      t.linesize[0] = int(PackedRowBytes(layout, w));
      bytes.assign(size_t(t.linesize[0]) * size_t(h), 0x5A);
      t.data[0] = bytes.data();
    }
  }
  std::vector<uint8_t> bytes;
  DrawTarget t;
};

// Feeds the samples to ours and to libavcodec's; after each, the result
// codes and the drawn pictures must agree. Returns the names of the layouts
// where some picture differs.
// A sample shorter than `pictureBytes` (its rows unpadded) goes to ours
// alone: refused, the picture as it was.
std::string DifferingLayouts(const VideoCodecSetup &setup, const std::vector<std::vector<uint8_t>> &samples,
                             size_t pictureBytes) {
  std::unique_ptr<VideoDecoder> own, ref;
  EXPECT_TRUE(IsBuiltInRawIndexed(setup));
  EXPECT_EQ(CreateRawIndexedDecoder(setup, &own), noErr);
  EXPECT_EQ(CreateLibavcodecVideoDecoder(setup, &ref), noErr);
  if (!own || !ref) return "(no decoder)";
  std::string differ;
  for (size_t i = 0; i < samples.size(); ++i) {
    bool gotOwn = false, gotRef = false;
    if (samples[i].size() < pictureBytes) {
      EXPECT_EQ(own->Decode(samples[i].data(), int64_t(samples[i].size()), &gotOwn), codecBadDataErr);
      EXPECT_FALSE(gotOwn);
      if (!own->HasPicture()) continue;
    } else {
      const OSErr errOwn = own->Decode(samples[i].data(), int64_t(samples[i].size()), &gotOwn);
      const OSErr errRef = ref->Decode(samples[i].data(), int64_t(samples[i].size()), &gotRef);
      EXPECT_EQ(errOwn, errRef) << "sample " << i << " of " << samples[i].size() << " bytes";
      EXPECT_EQ(gotOwn, gotRef) << "sample " << i;
      if (!gotOwn || !gotRef) continue;
    }
    for (const Layout &l : kLayouts) {
      Canvas a(l.layout, setup.width, setup.height), b(l.layout, setup.width, setup.height);
      int wa = 0, ha = 0, wb = 0, hb = 0;
      EXPECT_EQ(own->Draw(a.t, &wa, &ha), noErr);
      EXPECT_EQ(ref->Draw(b.t, &wb, &hb), noErr);
      EXPECT_EQ(wa, setup.width);
      EXPECT_EQ(ha, setup.height);
      if ((a.bytes != b.bytes || wa != wb || ha != hb) && differ.find(l.name) == std::string::npos)
        differ += std::string(differ.empty() ? "" : " ") + l.name;
    }
  }
  return differ;
}

std::vector<uint8_t> RandomBytes(std::mt19937 &rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (uint8_t &b : v) b = uint8_t(rng());
  return v;
}

// A colour table of `n` entries as a description stores it.
std::vector<uint8_t> Ctab(std::mt19937 &rng, int n) {
  std::vector<uint8_t> t = {0, 0, 0, 0, 0x80, 0, 0, uint8_t(n - 1)};
  for (int i = 0; i < n; ++i) {
    t.insert(t.end(), {0, uint8_t(i)});
    for (int c = 0; c < 3; ++c) t.insert(t.end(), {uint8_t(rng()), uint8_t(rng())});
  }
  return t;
}

TEST(RawIndexedDecoder, EveryDepth_EqualsLibavcodec) {
  struct Case {
    int depth, width, height;
    int rowPad;  // bytes after each row's last
    int ctab;    // entries of the description's own table; 0: none
  };
  const Case cases[] = {
      {1, 17, 9, 1, 0},  {1, 33, 7, 0, 0},  {1, 33, 7, 3, 2},  {2, 17, 9, 0, 0},   {2, 17, 9, 3, 4},
      {4, 33, 7, 0, 0},  {4, 17, 9, 1, 16}, {8, 17, 9, 1, 0},  {8, 33, 7, 0, 200}, {8, 3, 5, 13, 0},
      {33, 17, 9, 1, 0}, {34, 33, 7, 0, 0}, {36, 17, 9, 3, 0}, {40, 33, 7, 1, 0},
  };
  std::mt19937 rng(7);
  for (const Case &c : cases) {
    SCOPED_TRACE("depth " + std::to_string(c.depth) + " at " + std::to_string(c.width) + "x" +
                 std::to_string(c.height) + ", pad " + std::to_string(c.rowPad) + ", table " + std::to_string(c.ctab));
    VideoCodecSetup setup;
    setup.codecType = FourCC("raw ");
    setup.codec = "rawvideo";
    setup.width = c.width;
    setup.height = c.height;
    setup.depth = c.depth;
    if (c.ctab) setup.colorTable = Ctab(rng, c.ctab);
    const int bits = c.depth > 32 ? c.depth - 32 : c.depth;
    const size_t row = size_t((c.width * bits + 7) / 8 + c.rowPad);
    std::vector<std::vector<uint8_t>> samples;
    for (int i = 0; i < 3; ++i) samples.push_back(RandomBytes(rng, row * size_t(c.height)));
    // Damaged: one byte short of the tight rows, a few bytes over.
    const size_t tight = size_t((c.width * bits + 7) / 8) * size_t(c.height);
    samples.push_back(RandomBytes(rng, tight - 1));
    samples.push_back(RandomBytes(rng, row * size_t(c.height) + size_t(c.height) / 2));
    EXPECT_EQ(DifferingLayouts(setup, samples, tight), "");
  }
}

// The description the runtime hands out for a movie's video, and the
// samples as libavformat reads them.
bool ReadMovie(const std::string &path, VideoCodecSetup *setup, std::vector<std::vector<uint8_t>> *samples) {
  ::Movie movie = nullptr;
  if (test::qtcall::QOpenMovie(path, &movie) != noErr) return false;
  ::Media media = test::qtcall::QFindMedia(movie, FourCC("vide"));
  Handle h = test::qtcall::QNewHandle(4);
  if (media) DispatchCall(kQTSelGetMediaSampleDescription, media, 1, h);
  const OSErr err = ReadVideoCodecSetup(
      std::span(reinterpret_cast<const uint8_t *>(*h), size_t(test::qtcall::QGetHandleSize(h))), setup);
  test::qtcall::QDisposeHandle(h);
  DispatchCall(kQTSelDisposeMovie, movie);
  if (!media || err != noErr) return false;
  AVFormatContext *fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return false;
  AVPacket *pkt = av_packet_alloc();
  while (av_read_frame(fmt, pkt) >= 0) {
    samples->emplace_back(pkt->data, pkt->data + pkt->size);
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&fmt);
  return true;
}

// What the ffmpeg command line writes: 8 bits with its own table, 1 bit,
// 8-bit grey (40); each row padded by its writer.
TEST(RawIndexedDecoder, WrittenMovies_EqualLibavcodec) {
  if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  test::ff::TempDir dir;
  struct Case {
    const char *pixFmt, *size;
    int depth;
  };
  const Case cases[] = {{"pal8", "17x9", 8},  {"pal8", "33x7", 8},  {"monob", "33x7", 1},
                        {"monow", "17x9", 1}, {"gray", "17x9", 40}, {"gray", "33x7", 40}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.pixFmt) + " at " + c.size);
    const std::string movie = dir.File(std::string(c.pixFmt) + c.size + ".mov");
    ASSERT_TRUE(test::ff::RunFfmpeg(std::string("-f lavfi -i testsrc=size=") + c.size +
                                    ":rate=5:duration=0.6 -c:v rawvideo -pix_fmt " + c.pixFmt + " -f mov " +
                                    test::ff::ShellQuote(movie)));
    VideoCodecSetup setup;
    std::vector<std::vector<uint8_t>> samples;
    ASSERT_TRUE(ReadMovie(movie, &setup, &samples));
    EXPECT_EQ(setup.depth, c.depth);
    EXPECT_EQ(!setup.colorTable.empty(), c.depth == 8) << "the writer's own table";
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_EQ(DifferingLayouts(setup, samples, 0), "");
  }
}

}  // namespace
}  // namespace tp::qt
