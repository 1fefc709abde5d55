// The built-in Animation ('rle ') decoder against libavcodec's: the same
// pixels, frame after frame, for what the ffmpeg command line encodes (16,
// 24 and 32 bits, odd sizes, with partial updates) and for streams of every
// index depth (1, 2, 4, 8) made here at odd widths, damaged ones included;
// and the colour table of a description reaching the drawn picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "codecs/AnimationDecoder.h"
#include "pixels/GWorld.h"
#include "container/MovieModel.h"
#include "RuntimeCalls.h"
#include "codecs/VideoDecoder.h"
#include "support/FfmpegTools.h"
#include "support/MovieWriter.h"

namespace tp::qt {
namespace {

// libavcodec's decoder and ours, fed the same samples; after each sample
// the visible pixels must match.
class SideBySide {
 public:
  SideBySide(int width, int height, int depth) : width_(width), height_(height), depth_(depth) {
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_QTRLE);
    ctx_ = avcodec_alloc_context3(codec);
    ctx_->width = width;
    ctx_->height = height;
    ctx_->bits_per_coded_sample = depth;
    EXPECT_EQ(avcodec_open2(ctx_, codec, nullptr), 0);
    pkt_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    EXPECT_TRUE(canvas_.Init(width, height, depth));
  }
  ~SideBySide() {
    av_frame_free(&frame_);
    av_packet_free(&pkt_);
    avcodec_free_context(&ctx_);
  }

  // False (with a failure reported) at the first pixel that differs.
  bool Feed(const std::vector<uint8_t> &sample, int index) {
    const bool applied = canvas_.Apply(sample);
    av_new_packet(pkt_, int(sample.size()));
    if (!sample.empty()) std::memcpy(pkt_->data, sample.data(), sample.size());
    avcodec_send_packet(ctx_, pkt_);
    av_packet_unref(pkt_);
    const bool refused = avcodec_receive_frame(ctx_, frame_) != 0;
    if (refused == applied) {
      ADD_FAILURE() << "depth " << depth_ << ", sample " << index << (refused ? ": applied" : ": refused");
      return false;
    }
    if (refused) return true;
    const int bpp = canvas_.indexed() ? 1 : canvas_.depth() / 8;
    for (int y = 0; y < height_; ++y) {
      const uint8_t *ref = frame_->data[0] + int64_t(frame_->linesize[0]) * y;
      const uint8_t *own = canvas_.pixels() + canvas_.stride() * y;
      for (int x = 0; x < width_; ++x) {
        const uint8_t *r = ref + x * bpp, *o = own + x * bpp;
        bool same;
        if (canvas_.depth() == 16)  // libavcodec: host (little-endian) words
          same = r[0] == o[1] && r[1] == o[0];
        else
          same = std::memcmp(r, o, size_t(bpp)) == 0;
        if (!same) {
          ADD_FAILURE() << "depth " << depth_ << ", sample " << index << ": pixel " << x << "," << y << " differs";
          av_frame_unref(frame_);
          return false;
        }
      }
    }
    av_frame_unref(frame_);
    return true;
  }

 private:
  int width_, height_, depth_;
  AVCodecContext *ctx_ = nullptr;
  AVPacket *pkt_ = nullptr;
  AVFrame *frame_ = nullptr;
  AnimationCanvas canvas_;
};

// The video packets of a movie, read with libavformat.
std::vector<std::vector<uint8_t>> VideoPackets(const std::string &path, int *depth) {
  std::vector<std::vector<uint8_t>> out;
  AVFormatContext *fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return out;
  avformat_find_stream_info(fmt, nullptr);
  const int stream = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (stream >= 0) *depth = fmt->streams[stream]->codecpar->bits_per_coded_sample;
  AVPacket *pkt = av_packet_alloc();
  while (stream >= 0 && av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == stream) out.emplace_back(pkt->data, pkt->data + pkt->size);
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&fmt);
  return out;
}

TEST(AnimationDecoder, EncodedMovies_EqualLibavcodec) {
  if (!test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  test::ff::TempDir dir;
  struct Case {
    const char *pixFmt;
    int expectDepth;
    const char *size;
  };
  const Case cases[] = {{"rgb555be", 16, "33x17"}, {"rgb24", 24, "65x49"}, {"argb", 32, "31x23"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pixFmt);
    const std::string movie = dir.File(std::string(c.pixFmt) + ".mov");
    // A moving picture, so that later samples update only some lines.
    ASSERT_TRUE(test::ff::RunFfmpeg(std::string("-f lavfi -i testsrc=size=") + c.size +
                                    ":rate=10:duration=2 -c:v qtrle -pix_fmt " + c.pixFmt + " -g 10 " +
                                    test::ff::ShellQuote(movie)));
    int depth = 0;
    const auto packets = VideoPackets(movie, &depth);
    ASSERT_EQ(depth, c.expectDepth);
    ASSERT_EQ(packets.size(), 20u);
    int w = 0, h = 0;
    ASSERT_EQ(std::sscanf(c.size, "%dx%d", &w, &h), 2);
    SideBySide both(w, h, depth);
    for (size_t i = 0; i < packets.size(); ++i) ASSERT_TRUE(both.Feed(packets[i], int(i)));
  }
}

// Samples of the index depths, made with the codec's grammar: random skips,
// literal units and runs over random lines (a partial update now and then).
std::vector<uint8_t> MakeIndexSample(std::mt19937 &rng, int width, int height, int depth) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const int unitPixels = depth == 8 ? 4 : depth == 4 ? 8 : 16;
  const int unitBytes = depth == 1 ? 2 : 4;
  const int units = (width + unitPixels - 1) / unitPixels;
  std::vector<uint8_t> s = {0, 0, 0, 0, 0, 0};
  int first = 0, lines = height;
  if (pick(0, 2) == 0) {
    first = pick(0, height - 1);
    lines = pick(1, height - first);
    s[5] = 0x08;
    for (int v : {first, 0, lines, 0}) {
      s.push_back(uint8_t(v >> 8));
      s.push_back(uint8_t(v));
    }
  }
  auto unit = [&] {
    for (int b = 0; b < unitBytes; ++b) s.push_back(uint8_t(pick(0, 255)));
  };
  for (int line = 0; line < lines; ++line) {
    int at = pick(0, units / 2);
    if (depth == 1) {
      s.push_back(uint8_t(0x80 | at));
      s.push_back(0xFF);  // the line's mark alone
    } else {
      s.push_back(uint8_t(at + 1));
    }
    while (at < units) {
      int kind = pick(0, 2);
      if (kind == 1 && units - at < 2) kind = 2;
      // A run of one unit would read as -1, the end of the line.
      const int n = pick(kind == 1 ? 2 : 1, std::min(units - at, 100));
      if (kind == 0 && at + n < units) {  // skip
        if (depth == 1) {
          s.push_back(uint8_t(n));
          s.push_back(0xFF);
        } else {
          s.push_back(0);
          s.push_back(uint8_t(n + 1));
        }
      } else {
        if (depth == 1) s.push_back(0);
        s.push_back(uint8_t(kind == 1 ? -n : n));
        for (int k = 0; k < (kind == 1 ? 1 : n); ++k) unit();
      }
      at += n;
    }
    if (depth != 1) s.push_back(0xFF);
  }
  if (depth == 1) s.insert(s.end(), {0, 0});
  const size_t size = s.size();
  for (int i = 0; i < 4; ++i) s[size_t(i)] = uint8_t(size >> (24 - 8 * i));
  return s;
}

TEST(AnimationDecoder, IndexDepths_EqualLibavcodec) {
  std::mt19937 rng(2024);
  for (int depth : {1, 2, 4, 8, 34, 40}) {
    for (auto [w, h] : {std::pair{37, 19}, std::pair{3, 5}, std::pair{129, 7}}) {
      SCOPED_TRACE("depth " + std::to_string(depth) + " at " + std::to_string(w) + "x" + std::to_string(h));
      SideBySide both(w, h, depth);
      for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(both.Feed(MakeIndexSample(rng, w, h, depth > 32 ? depth - 32 : depth), i));
    }
  }
}

// Damaged samples: good samples cut short or with bytes changed, and bytes
// of any value behind a plain header. Widths fill whole rows of libavcodec's
// buffers, so that runs past a line's end land where ours do.
TEST(AnimationDecoder, DamagedSamples_EqualLibavcodec) {
  std::mt19937 rng(99);
  for (int depth : {1, 2, 4, 8, 16, 24, 32}) {
    SCOPED_TRACE("depth " + std::to_string(depth));
    const int w = depth <= 8 ? 64 : depth == 24 ? 64 : 32, h = 9;
    SideBySide both(w, h, depth);
    for (int i = 0; i < 400; ++i) {
      std::vector<uint8_t> s;
      if (depth <= 8) {
        s = MakeIndexSample(rng, w, h, depth);
        if (i % 2)
          s.resize(std::uniform_int_distribution<size_t>(1, s.size())(rng));  // empty: the end, to libavcodec
        else
          s[std::uniform_int_distribution<size_t>(6, s.size() - 1)(rng)] ^= 0x5A;
      } else {
        s = {0, 0, 0, 0, 0, uint8_t(i % 3 == 0 ? 8 : 0)};
        for (int k = 0; k < 300; ++k) s.push_back(uint8_t(rng()));
      }
      ASSERT_TRUE(both.Feed(s, i));
    }
  }
}

// A 2 x 1 picture at 2 bits in a movie file whose description carries its
// own four colours: the table survives the file's parser and the handed-out
// description, and the drawn pixels take its colours.
TEST(AnimationDecoder, DescriptionColorTable_ReachesTheDrawnPicture) {
  const uint32_t colors[4] = {0x102030, 0x405060, 0x708090, 0xA0B0C0};
  std::vector<uint8_t> ctab = {0, 0, 0, 0, 0x80, 0, 0, 3};
  for (uint32_t c : colors) ctab.insert(ctab.end(), {0, 0, uint8_t(c >> 16), 0, uint8_t(c >> 8), 0, uint8_t(c), 0});
  // One line: skip 0, one literal unit whose first two pixels are 3 and 1.
  const std::vector<uint8_t> sample = {0, 0, 0, 13, 0, 0, 1, 1, 0xD0, 0, 0, 0, 0xFF};
  test::WriterTrack track;
  track.format = FourCC("rle ");
  track.width = 2;
  track.height = 1;
  track.extensions = ctab;
  track.durations = {1};
  track.sizes = {uint32_t(sample.size())};
  test::WrittenMovie written = test::BuildMovie(test::WriterOptions(), {track});
  std::vector<uint8_t> &bytes = written.bytes;
  const uint8_t type[4] = {'r', 'l', 'e', ' '};
  const auto at = std::search(bytes.begin(), bytes.end(), type, type + 4);
  ASSERT_NE(at, bytes.end());
  const size_t desc = size_t(at - bytes.begin()) - 4;
  bytes[desc + 82] = 0;  // depth 2
  bytes[desc + 83] = 2;
  bytes[desc + 84] = 0;  // colour table id 0: the table follows
  bytes[desc + 85] = 0;
  std::copy(sample.begin(), sample.end(), bytes.begin() + std::ptrdiff_t(written.samplePositions[0][0]));
  test::ff::TempDir dir;
  const std::string path = dir.File("palette.mov");
  ASSERT_TRUE(test::WriteFile(path, bytes));

  ::Movie movie = nullptr;
  ASSERT_EQ(test::qtcall::QOpenMovie(path, &movie), noErr);
  ::Media media = test::qtcall::QFindMedia(movie, FourCC("vide"));
  ASSERT_NE(media, nullptr);
  Handle h = test::qtcall::QNewHandle(4);
  DispatchCall(kQTSelGetMediaSampleDescription, media, 1, h);
  ASSERT_EQ(test::qtcall::QGetMoviesError(), noErr);
  VideoCodecSetup setup;
  EXPECT_EQ(ReadVideoCodecSetup(
                std::span(reinterpret_cast<const uint8_t *>(*h), size_t(test::qtcall::QGetHandleSize(h))), &setup),
            noErr);
  test::qtcall::QDisposeHandle(h);
  DispatchCall(kQTSelDisposeMovie, movie);
  EXPECT_EQ(setup.depth, 2);

  std::unique_ptr<VideoDecoder> decoder;
  ASSERT_EQ(CreateVideoDecoder(setup, &decoder), noErr);
  bool got = false;
  ASSERT_EQ(decoder->Decode(sample.data(), int64_t(sample.size()), &got), noErr);
  ASSERT_TRUE(got);
  uint8_t pixels[8] = {};
  DrawTarget t;
  t.format = PixelLayout::kRGB24;
  t.width = 2;
  t.height = 1;
  t.data[0] = pixels;
  t.linesize[0] = 8;
  int w = 0, h2 = 0;
  ASSERT_EQ(decoder->Draw(t, &w, &h2), noErr);
  const uint8_t want[6] = {0xA0, 0xB0, 0xC0, 0x40, 0x50, 0x60};
  EXPECT_EQ(std::memcmp(pixels, want, 6), 0);
}

TEST(AnimationDecoder, Create_OpensEveryDepthOfTheCodecAndNoOther) {
  for (int depth : {0, 3, 12, 15, 31, 35, 48}) {
    VideoCodecSetup setup;
    setup.codecType = FourCC("rle ");
    setup.width = 8;
    setup.height = 8;
    setup.depth = depth;
    std::unique_ptr<VideoDecoder> d;
    EXPECT_EQ(CreateAnimationDecoder(setup, &d), codecErr) << "depth " << depth;
    EXPECT_EQ(d, nullptr);
  }
  for (int depth : {1, 2, 4, 8, 16, 24, 32, 33, 34, 36, 40}) {
    VideoCodecSetup setup;
    setup.codecType = FourCC("rle ");
    setup.width = 8;
    setup.height = 8;
    setup.depth = depth;
    std::unique_ptr<VideoDecoder> d;
    EXPECT_EQ(CreateAnimationDecoder(setup, &d), noErr) << "depth " << depth;
  }
}

}  // namespace
}  // namespace tp::qt
