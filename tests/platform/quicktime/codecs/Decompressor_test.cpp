// Decompression sequences through the dispatcher, on movies made by the
// ffmpeg command line: every picture, fed in decode order and labelled with
// its sample's display time as the engine labels it, matches ffmpeg's own
// decode in display order (bit-exact for 4:2:0 sources in 'y420', by PSNR in
// the other layouts), the world's orientation, odd sizes, codecs refused at
// the start, and a corrupt sample that fails alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <QuickTime/ImageCompression.h>
#include <windows.h>

extern "C" {
#include <libavutil/imgutils.h>
}

#include "pixels/GWorld.h"
#include "toolbox/ImageCompression.h"
#include "RuntimeCalls.h"
#include "codecs/VideoCodecs.h"
#include "support/FfmpegTools.h"
#include "support/FlicWriter.h"

namespace tp::test {
namespace {

using namespace qtcall;

struct Picture {
  int64_t pts = 0;
  OSErr err = noErr;
  std::vector<uint8_t> bytes;  // natural size, top-down, tightly packed planes
};

// How a world is made and read back.
struct Layout {
  const char *name;
  OSType format;
  bool onDib;
  int dibBits;
  AVPixelFormat ffmpegFormat;  // the same layout as ffmpeg names it
};

constexpr Layout kY420{"y420", kYUV420CodecType, false, 0, AV_PIX_FMT_YUV420P};
constexpr Layout kLayouts[] = {
    kY420,
    {"yuvs", kYUVSPixelFormat, false, 0, AV_PIX_FMT_YUYV422},
    {"32 on DIB", k32ARGBPixelFormat, true, 32, AV_PIX_FMT_BGRA},
    {"24 on DIB", k24RGBPixelFormat, true, 24, AV_PIX_FMT_BGR24},
    {"L555", k16LE555PixelFormat, false, 0, AV_PIX_FMT_RGB555LE},
    {"L565", k16LE565PixelFormat, false, 0, AV_PIX_FMT_RGB565LE},
    {"32", k32ARGBPixelFormat, false, 0, AV_PIX_FMT_ARGB},
};

uint32_t BE32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// One movie's video track decoded through the runtime into one world.
class RuntimeDecode {
 public:
  ~RuntimeDecode() { End(); }

  OSErr Begin(const std::string &path, const Layout &layout) {
    OSErr err = QOpenMovie(path, &movie_);
    if (err != noErr) return err;
    media_ = QFindMedia(movie_, QT_FOUR_CHAR_CODE('v', 'i', 'd', 'e'));
    if (!media_) return invalidMedia;
    desc_ = QNewHandle(4);
    DispatchCall(kQTSelGetMediaSampleDescription, media_, 1, desc_);
    if ((err = QGetMoviesError()) != noErr) return err;
    const auto *id = reinterpret_cast<const ImageDescription *>(*desc_);
    width_ = id->width;
    height_ = id->height;
    // The engine's world: the picture's size rounded up to even.
    worldW_ = (width_ + 1) / 2 * 2;
    worldH_ = (height_ + 1) / 2 * 2;
    layout_ = layout;
    if (layout.onDib) {
      BITMAPINFO bmi{};
      bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
      bmi.bmiHeader.biWidth = worldW_;
      bmi.bmiHeader.biHeight = worldH_;
      bmi.bmiHeader.biPlanes = 1;
      bmi.bmiHeader.biBitCount = WORD(layout.dibBits);
      dib_ = CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, nullptr, nullptr, 0);
      if (!dib_) return memFullErr;
      err = OSErr(DispatchCall(kQTSelNewGWorldFromHBITMAP, &world_, nullptr, nullptr, 0u, dib_, nullptr));
    } else {
      Rect r{0, 0, SInt16(worldH_), SInt16(worldW_)};
      err = OSErr(DispatchCall(kQTSelQTNewGWorld, &world_, layout.format, &r, nullptr, nullptr, 0u));
    }
    if (err != noErr) return err;
    pixMap_ = reinterpret_cast<PixMapHandle>(DispatchCall(kQTSelGetGWorldPixMap, world_));
    DispatchCall(kQTSelLockPixels, pixMap_);
    return OSErr(DispatchCall(kQTSelDecompressSequenceBeginS, &seq_, desc_, nullptr, 0, world_, nullptr, nullptr,
                              nullptr, int(ditherCopy), nullptr, int(codecFlagUseImageBuffer),
                              unsigned(codecNormalQuality), nullptr));
  }

  // Where the pictures go: the world's own memory, or, as the engine does
  // it, three buffers of the caller's in turn, the pixel map pointed at each
  // before its sample. The first `undrawn` samples are decoded with
  // codecFlagNoScreenUpdate and give no picture; their buffer must stay as
  // it was.
  struct Feed {
    int corruptIndex = -1;
    bool rotate = false;
    int undrawn = 0;
  };

  // Every sample in decode order; each picture labelled with its sample's
  // decode time + display offset, as the engine labels it, then sorted.
  std::vector<Picture> DecodeAll(int corruptIndex = -1) { return DecodeAll(Feed{corruptIndex}); }
  std::vector<Picture> DecodeAll(const Feed &feed) {
    const int64_t rowBytes = SInt32(DispatchCall(kQTSelQTGetPixMapHandleRowBytes, pixMap_));
    std::vector<std::vector<uint8_t>> turns(3, std::vector<uint8_t>(size_t(rowBytes * worldH_)));
    Ptr own = (*pixMap_)->baseAddr;
    std::vector<Picture> out;
    std::vector<uint8_t> buf(4 << 20);
    const int64_t duration = QGetMediaDuration(media_);
    int64_t t = 0;
    for (int index = 0; t < duration; ++index) {
      ByteCount size = 0;
      TimeValue64 decodeTime = 0, perSample = 0, offset = 0;
      ItemCount count = 0;
      MediaSampleFlags flags = 0;
      if (QGetMediaSample2(media_, buf.data(), buf.size(), &size, t, &decodeTime, &perSample, &offset, nullptr, nullptr,
                           1, &count, &flags) != noErr ||
          size == 0 || count == 0)
        break;
      t = decodeTime + int64_t(count) * perSample;
      if (index == feed.corruptIndex)
        for (ByteCount i = 0; i < size; ++i) buf[i] = uint8_t(i * 37 + 11);
      std::vector<uint8_t> &turn = turns[size_t(index) % turns.size()];
      if (feed.rotate) {
        std::fill(turn.begin(), turn.end(), uint8_t(0xA5));
        (*pixMap_)->baseAddr = reinterpret_cast<Ptr>(turn.data());
      }
      const bool draw = index >= feed.undrawn;
      Picture p;
      p.pts = decodeTime + offset;
      p.err = OSErr(DispatchCall(kQTSelDecompressSequenceFrameWhen, seq_, buf.data(), SInt32(size),
                                 int(draw ? 0 : codecFlagNoScreenUpdate), nullptr, nullptr, nullptr));
      if (!draw) {
        undrawnLeftAlone_ &= std::all_of(turn.begin(), turn.end(), [](uint8_t b) { return b == 0xA5; });
        continue;
      }
      if (p.err == noErr) p.bytes = ReadWorld();
      out.push_back(std::move(p));
    }
    (*pixMap_)->baseAddr = own;
    std::stable_sort(out.begin(), out.end(), [](const Picture &a, const Picture &b) { return a.pts < b.pts; });
    return out;
  }

  // The world's picture at natural size, top-down, planes packed.
  std::vector<uint8_t> ReadWorld() {
    const uint8_t *base = reinterpret_cast<const uint8_t *>(DispatchCall(kQTSelGetPixBaseAddr, pixMap_));
    const int64_t rowBytes = SInt32(DispatchCall(kQTSelQTGetPixMapHandleRowBytes, pixMap_));
    std::vector<uint8_t> out;
    auto take = [&](const uint8_t *plane, int64_t stride, int rowLen, int rows, bool flip) {
      for (int y = 0; y < rows; ++y) {
        const uint8_t *row = plane + stride * (flip ? rows - 1 - y : y);
        out.insert(out.end(), row, row + rowLen);
      }
    };
    if (layout_.ffmpegFormat == AV_PIX_FMT_YUV420P) {
      take(base + BE32(base), BE32(base + 4), width_, height_, false);
      take(base + BE32(base + 8), BE32(base + 12), (width_ + 1) / 2, (height_ + 1) / 2, false);
      take(base + BE32(base + 16), BE32(base + 20), (width_ + 1) / 2, (height_ + 1) / 2, false);
    } else {
      const int rowLen = av_image_get_linesize(layout_.ffmpegFormat, width_, 0);
      const bool bottomUp = layout_.onDib && layout_.dibBits == 32;
      // A bottom-up world keeps the picture's top row last in memory.
      const uint8_t *top = bottomUp ? base + rowBytes * (worldH_ - height_) : base;
      take(top, rowBytes, rowLen, height_, bottomUp);
    }
    return out;
  }

  void End() {
    if (seq_) DispatchCall(kQTSelCDSequenceEnd, seq_);
    if (world_) {
      DispatchCall(kQTSelUnlockPixels, pixMap_);
      DispatchCall(kQTSelDisposeGWorld, world_);
    }
    if (dib_) DeleteObject(dib_);
    if (desc_) QDisposeHandle(desc_);
    if (movie_) DispatchCall(kQTSelDisposeMovie, movie_);
    seq_ = 0;
    world_ = nullptr;
    dib_ = nullptr;
    desc_ = nullptr;
    movie_ = nullptr;
  }

  int width() const { return width_; }
  int height() const { return height_; }
  GWorldPtr world() const { return world_; }
  PixMapHandle pixMap() const { return pixMap_; }
  ImageSequence sequence() const { return seq_; }
  int worldWidth() const { return worldW_; }
  int worldHeight() const { return worldH_; }
  bool undrawnLeftAlone() const { return undrawnLeftAlone_; }

 private:
  bool undrawnLeftAlone_ = true;
  Movie movie_ = nullptr;
  Media media_ = nullptr;
  Handle desc_ = nullptr;
  GWorldPtr world_ = nullptr;
  PixMapHandle pixMap_ = nullptr;
  HBITMAP dib_ = nullptr;
  ImageSequence seq_ = 0;
  Layout layout_ = kY420;
  int width_ = 0, height_ = 0, worldW_ = 0, worldH_ = 0;
};

// ffmpeg's own decode of every frame, in display order, in `format`.
std::vector<std::vector<uint8_t>> FfmpegFrames(const std::string &movie, AVPixelFormat format, int w, int h,
                                               const ff::TempDir &dir, const std::string &inputArgs) {
  const std::string out = dir.File(std::string("ref-") + av_get_pix_fmt_name(format) + ".raw");
  std::vector<std::vector<uint8_t>> frames;
  if (!ff::RunFfmpeg(inputArgs + " -i " + ff::ShellQuote(movie) +
                     " -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt " + av_get_pix_fmt_name(format) + " " +
                     ff::ShellQuote(out)))
    return frames;
  const std::vector<uint8_t> all = ff::ReadFileBytes(out);
  const size_t frame = size_t(av_image_get_buffer_size(format, w, h, 1));
  for (size_t at = 0; frame && at + frame <= all.size(); at += frame)
    frames.emplace_back(all.begin() + at, all.begin() + at + frame);
  return frames;
}

// PSNR over the colour channels; 16-bit pixels are unpacked to 8 bits.
double Psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b, AVPixelFormat f) {
  if (a.size() != b.size() || a.empty()) return 0;
  auto unpack = [f](const std::vector<uint8_t> &v) {
    if (f != AV_PIX_FMT_RGB555LE && f != AV_PIX_FMT_RGB565LE) return v;
    std::vector<uint8_t> o;
    for (size_t i = 0; i + 1 < v.size(); i += 2) {
      unsigned p = v[i] | v[i + 1] << 8;
      if (f == AV_PIX_FMT_RGB565LE) {
        o.insert(o.end(), {uint8_t((p >> 11) << 3), uint8_t(((p >> 5) & 63) << 2), uint8_t((p & 31) << 3)});
      } else {
        o.insert(o.end(), {uint8_t(((p >> 10) & 31) << 3), uint8_t(((p >> 5) & 31) << 3), uint8_t((p & 31) << 3)});
      }
    }
    return o;
  };
  const std::vector<uint8_t> x = unpack(a), y = unpack(b);
  const bool alpha = f == AV_PIX_FMT_BGRA || f == AV_PIX_FMT_ARGB;
  const size_t alphaAt = f == AV_PIX_FMT_BGRA ? 3 : 0;
  double se = 0;
  size_t n = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    if (alpha && i % 4 == alphaAt) continue;
    const double d = double(x[i]) - double(y[i]);
    se += d * d;
    ++n;
  }
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * double(n) / se);
}

class DecompressorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ff::RunFfmpeg("-version")) GTEST_SKIP() << "no ffmpeg";
    worlds_ = qt::LiveWorldCount();
    sequences_ = qt::LiveSequenceCount();
  }
  void TearDown() override {
    EXPECT_EQ(qt::LiveWorldCount(), worlds_) << "a world was left behind";
    EXPECT_EQ(qt::LiveSequenceCount(), sequences_) << "a sequence was left behind";
  }
  std::string Make(const std::string &name, const std::string &args) {
    const std::string p = dir_.File(name);
    EXPECT_TRUE(ff::RunFfmpeg(args + " " + ff::ShellQuote(p))) << args;
    return p;
  }
  // Decodes through the runtime in `layout` and compares with ffmpeg.
  void ExpectMatches(const std::string &movie, const Layout &layout, double minPsnr, bool exact,
                     const std::string &inputArgs = "") {
    SCOPED_TRACE(movie + " in " + layout.name);
    RuntimeDecode rt;
    ASSERT_EQ(rt.Begin(movie, layout), noErr);
    const std::vector<Picture> got = rt.DecodeAll();
    const auto want = FfmpegFrames(movie, layout.ffmpegFormat, rt.width(), rt.height(), dir_, inputArgs);
    ASSERT_FALSE(want.empty());
    ASSERT_EQ(got.size(), want.size()) << "frame count";
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i].err, noErr) << "frame " << i;
      if (exact) {
        ASSERT_TRUE(got[i].bytes == want[i]) << "frame " << i << " differs";
      } else {
        ASSERT_GE(Psnr(got[i].bytes, want[i], layout.ffmpegFormat), minPsnr) << "frame " << i;
      }
    }
  }
  ff::TempDir dir_;
  size_t worlds_ = 0, sequences_ = 0;
};

const char *kSource = "-f lavfi -i testsrc2=size=322x242:rate=25 -vf format=rgb24,crop=";

TEST_F(DecompressorTest, FourTwoZeroSources_AreBitExactInDisplayOrderAtOddAndEvenSizes) {
  // B-frames in both H.264 and MPEG-4 part 2: fed in decode order, the
  // pictures sorted by display time must be ffmpeg's, frame for frame.
  const std::string movies[] = {
      Make("h264-b.mov", std::string(kSource) + "320:240 -t 2 -c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p"),
      Make("h264-b.mp4", "-f lavfi -i testsrc2=size=640x360:rate=30 -t 1.5 -c:v libx264 -bf 2 -pix_fmt yuv420p"),
      // Fragments of 1 s at key frames, and of 4 s cut anywhere.
      Make("h264-frag1s.mp4", std::string(kSource) + "320:240 -t 2.5 -c:v libx264 -bf 2 -g 25 -pix_fmt yuv420p "
                                                     "-movflags frag_keyframe+empty_moov"),
      Make("h264-frag4s.mp4",
           "-f lavfi -i testsrc2=size=160x120:rate=25 -t 9 -c:v libx264 -bf 3 -g 40 "
           "-pix_fmt yuv420p -movflags empty_moov -frag_duration 4000000"),
      Make("mpeg4-odd.mp4", std::string(kSource) + "321:241 -t 1.2 -c:v mpeg4 -bf 2 -q:v 5"),
      Make("dv.dv", "-f lavfi -i testsrc=size=720x576:rate=25 -t 0.6 -pix_fmt yuv420p -c:v dvvideo -f dv"),
  };
  for (const std::string &m : movies) ExpectMatches(m, kY420, 0, true);
}

TEST_F(DecompressorTest, FilesOfTheOtherImporter_DecodeThroughTheirDecoderNames) {
  // Annex B H.264 without an 'avcC', raw 4:2:0 pictures in a .cif, and FLIC
  // with its set-up bytes in 'glbl'.
  ExpectMatches(Make("annexb.264", "-f lavfi -i testsrc2=size=320x240:rate=25 -t 0.8 -c:v libx264 -bf 0 -f h264"),
                kY420, 0, true);
  // With B-frames the file has no times at all: display order comes from
  // the pictures' order counts, across several refresh points.
  ExpectMatches(Make("annexb-b.264", "-f lavfi -i testsrc2=size=320x240:rate=25 -t 2 -c:v libx264 -bf 3 -g 12 -f h264"),
                kY420, 0, true);
  ExpectMatches(Make("raw.cif", "-f lavfi -i testsrc2=size=352x288:rate=25 -t 0.2 -f rawvideo -pix_fmt yuv420p"), kY420,
                0, true, "-f rawvideo -pix_fmt yuv420p -video_size 352x288");
  const std::string flc = dir_.File("anim.flc");
  ASSERT_TRUE(ff::WriteFileBytes(flc, MakeFlc(64, 48, 6, 40)));
  ExpectMatches(flc, kLayouts[3], 35, false);
}

TEST_F(DecompressorTest, OtherSources_MatchFfmpegClosely) {
  struct Case {
    std::string movie;
    double psnr;
  };
  const Case cases[] = {
      {Make("mjpeg-odd.mov", std::string(kSource) + "321:241 -t 0.6 -c:v mjpeg -pix_fmt yuvj420p"), 40},
      {Make("mjpeg.mov", std::string(kSource) + "320:240 -t 0.6 -c:v mjpeg -q:v 3"), 40},
      {Make("h264-444-odd.mov", std::string(kSource) + "321:241 -t 1 -c:v libx264 -bf 3 -pix_fmt yuv444p"), 40},
      {Make("rle-odd.mov", std::string(kSource) + "321:241 -t 0.6 -c:v qtrle"), 35},
      {Make("prores.mov", std::string(kSource) + "320:240 -t 0.4 -c:v prores"), 40},
      {Make("cinepak.mov", std::string(kSource) + "320:240 -t 0.4 -c:v cinepak"), 30},
      {Make("svq1.mov", std::string(kSource) + "320:240 -t 0.4 -c:v svq1"), 30},
      {Make("h263.3gp", "-f lavfi -i testsrc2=size=352x288:rate=25 -t 0.6 -c:v h263"), 40},
      {Make("2vuy.mov", std::string(kSource) + "320:240 -t 0.2 -c:v rawvideo -pix_fmt uyvy422"), 40},
      // Uncompressed pictures are drawn by our own conversion. At an odd
      // width libswscale's chroma of the last column takes in a pixel past
      // the row's end; ours keeps the last pixel's colour (PixelConvert_test).
      {Make("raw24.mov", std::string(kSource) + "321:241 -t 0.2 -c:v rawvideo -pix_fmt rgb24"), 40},
  };
  for (const Case &c : cases) ExpectMatches(c.movie, kY420, c.psnr, false);
}

TEST_F(DecompressorTest, EveryLayout_MatchesFfmpegInThatLayoutAndOrientation) {
  const std::string movies[] = {
      Make("h264-b.mov", std::string(kSource) + "320:240 -t 1 -c:v libx264 -bf 3 -pix_fmt yuv420p"),
      // Fragments of 1 s at key frames, and of 4 s cut anywhere.
      Make("h264-frag1s.mp4", std::string(kSource) + "320:240 -t 2.5 -c:v libx264 -bf 2 -g 25 -pix_fmt yuv420p "
                                                     "-movflags frag_keyframe+empty_moov"),
      Make("h264-frag4s.mp4",
           "-f lavfi -i testsrc2=size=160x120:rate=25 -t 9 -c:v libx264 -bf 3 -g 40 "
           "-pix_fmt yuv420p -movflags empty_moov -frag_duration 4000000"),
      Make("mpeg4-odd.mp4", std::string(kSource) + "321:241 -t 0.6 -c:v mpeg4 -bf 2 -q:v 5"),
      // Widths off a multiple of 16 and even heights: libswscale's fastest
      // conversions, which store whole groups of 16 pixels, must neither stop
      // short of the last columns nor run past a row's end (into the previous
      // row of a bottom-up world).
      Make("h264-642.mp4", "-f lavfi -i testsrc2=size=642x362:rate=25 -t 0.4 -c:v libx264 -bf 2 -g 5 -pix_fmt yuv420p"),
      Make("mpeg4-648.mp4", "-f lavfi -i testsrc2=size=648x362:rate=25 -t 0.2 -c:v mpeg4 -q:v 3"),
      Make("mpeg4-330.mp4", "-f lavfi -i testsrc2=size=330x242:rate=25 -t 0.2 -c:v mpeg4 -q:v 3"),
  };
  for (const std::string &m : movies) {
    for (const Layout &l : kLayouts) {
      const bool rgb = l.ffmpegFormat != AV_PIX_FMT_YUV420P && l.ffmpegFormat != AV_PIX_FMT_YUYV422;
      ExpectMatches(m, l, rgb ? 35 : 40, l.ffmpegFormat == AV_PIX_FMT_YUV420P);
    }
  }
}

TEST_F(DecompressorTest, OddPicture_RepeatsItsLastColumnAndRowInTheEvenWorld) {
  const std::string m = Make("mjpeg-odd.mov", std::string(kSource) + "321:241 -t 0.2 -c:v mjpeg -pix_fmt yuvj420p");
  RuntimeDecode rt;
  ASSERT_EQ(rt.Begin(m, kLayouts[3]), noErr);  // 24 bits on a DIB: top-down
  ASSERT_FALSE(rt.DecodeAll().empty());
  const uint8_t *base = reinterpret_cast<const uint8_t *>(DispatchCall(kQTSelGetPixBaseAddr, rt.pixMap()));
  const int64_t rowBytes = SInt32(DispatchCall(kQTSelQTGetPixMapHandleRowBytes, rt.pixMap()));
  ASSERT_EQ(rt.worldWidth(), 322);
  ASSERT_EQ(rowBytes, 968);
  for (int y = 0; y < rt.worldHeight(); ++y) {
    const uint8_t *row = base + rowBytes * y;
    const uint8_t *source = base + rowBytes * std::min(y, 240);
    ASSERT_EQ(std::memcmp(row + 321 * 3, source + 320 * 3, 3), 0) << "row " << y;
    ASSERT_EQ(std::memcmp(row, source, 321 * 3), 0) << "row " << y;
  }
}

TEST_F(DecompressorTest, CorruptSample_FailsAloneAndLaterSamplesStillDecode) {
  const std::string m = Make("mjpeg.mov", std::string(kSource) + "320:240 -t 0.4 -c:v mjpeg -pix_fmt yuvj420p");
  RuntimeDecode clean, damaged;
  ASSERT_EQ(clean.Begin(m, kY420), noErr);
  ASSERT_EQ(damaged.Begin(m, kY420), noErr);
  const std::vector<Picture> a = clean.DecodeAll();
  const std::vector<Picture> b = damaged.DecodeAll(4);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_GT(a.size(), 6u);
  for (size_t i = 0; i < a.size(); ++i) {
    if (i == 4) {
      EXPECT_EQ(b[i].err, codecBadDataErr);
      continue;
    }
    EXPECT_EQ(b[i].err, noErr) << i;
    EXPECT_TRUE(a[i].bytes == b[i].bytes) << "frame " << i;
  }

  // H.264: garbage in a reference frame is refused; the stream goes on.
  const std::string h = Make("h264.mov", std::string(kSource) + "320:240 -t 1 -c:v libx264 -bf 2 -g 10");
  RuntimeDecode avc;
  ASSERT_EQ(avc.Begin(h, kY420), noErr);
  const std::vector<Picture> c = avc.DecodeAll(3);
  size_t failed = 0;
  for (const Picture &p : c) failed += p.err != noErr;
  EXPECT_EQ(failed, 1u);
  EXPECT_EQ(c.size(), 25u);
}

TEST_F(DecompressorTest, PixelMapPointedElsewhere_TakesEachPictureThereAndLeavesTheWorldAlone) {
  // The engine's way: three buffers in turn, and the samples up to a seek
  // point decoded without drawing. Every drawn picture must be the one a
  // plain decode gives for the same display time, undrawn samples must
  // leave their buffer untouched, and the world's own memory is not used.
  const std::string m = Make("h264-turns.mov", std::string(kSource) + "320:240 -t 1.2 -c:v libx264 -bf 3 -g 10");
  for (const Layout &layout : {kY420, kLayouts[2]}) {
    SCOPED_TRACE(layout.name);
    RuntimeDecode plain, turns;
    ASSERT_EQ(plain.Begin(m, layout), noErr);
    ASSERT_EQ(turns.Begin(m, layout), noErr);
    const std::vector<Picture> want = plain.DecodeAll();
    const std::vector<uint8_t> worldBefore = turns.ReadWorld();
    const std::vector<Picture> got = turns.DecodeAll(RuntimeDecode::Feed{-1, true, 10});
    EXPECT_TRUE(turns.undrawnLeftAlone());
    EXPECT_TRUE(turns.ReadWorld() == worldBefore) << "the world's own memory was drawn into";
    ASSERT_EQ(want.size(), 30u);
    ASSERT_EQ(got.size(), 20u);
    std::map<int64_t, const Picture *> byTime;
    for (const Picture &p : want) byTime[p.pts] = &p;
    for (const Picture &p : got) {
      ASSERT_EQ(p.err, noErr) << "pts " << p.pts;
      ASSERT_TRUE(byTime.count(p.pts)) << "pts " << p.pts;
      EXPECT_TRUE(p.bytes == byTime[p.pts]->bytes) << "pts " << p.pts;
    }
  }
}

TEST_F(DecompressorTest, SampleWithoutAPictureOfItsOwn_ShowsTheLastPictureWhereverThePixelMapPoints) {
  const std::string m = Make("mpeg4-nvop.mov", std::string(kSource) + "320:240 -r 25 -t 0.2 -c:v mpeg4 -bf 0 -g 1");
  RuntimeDecode rt;
  ASSERT_EQ(rt.Begin(m, kY420), noErr);
  std::vector<Picture> first = rt.DecodeAll();
  ASSERT_FALSE(first.empty());
  const std::vector<uint8_t> last = rt.ReadWorld();
  ASSERT_TRUE(last == first.back().bytes);

  // A P-VOP that codes nothing (an "N-VOP"): 5 bits of time increment for a
  // resolution of 25, vop_coded 0, then the stuffing bits.
  uint8_t nvop[] = {0x00, 0x00, 0x01, 0xB6, 0x50, 0xCF};
  const int64_t rowBytes = SInt32(DispatchCall(kQTSelQTGetPixMapHandleRowBytes, rt.pixMap()));
  std::vector<uint8_t> elsewhere(size_t(rowBytes * rt.worldHeight()), 0xA5);
  Ptr own = (*rt.pixMap())->baseAddr;
  (*rt.pixMap())->baseAddr = reinterpret_cast<Ptr>(elsewhere.data());
  EXPECT_EQ(OSErr(DispatchCall(kQTSelDecompressSequenceFrameWhen, rt.sequence(), nvop, SInt32(sizeof nvop), 0, nullptr,
                               nullptr, nullptr)),
            noErr);
  // The header first: without it the planes cannot be found.
  ASSERT_EQ(std::memcmp(elsewhere.data(), own, sizeof(PlanarPixmapInfoYUV420)), 0);
  EXPECT_TRUE(rt.ReadWorld() == last) << "the last picture is not shown at the new address";

  // A pixel map that points nowhere is refused, not drawn through.
  (*rt.pixMap())->baseAddr = nullptr;
  EXPECT_EQ(OSErr(DispatchCall(kQTSelDecompressSequenceFrameWhen, rt.sequence(), nvop, SInt32(sizeof nvop), 0, nullptr,
                               nullptr, nullptr)),
            codecErr);
  (*rt.pixMap())->baseAddr = own;
}

// A host-form description of `type`, with optional extension atoms.
Handle MakeDescription(OSType type, SInt16 w, SInt16 h, const std::vector<uint8_t> &atoms = {}) {
  ImageDescription id{};
  id.idSize = SInt32(sizeof(id) + atoms.size());
  id.cType = type;
  id.width = w;
  id.height = h;
  id.depth = 24;
  Handle hd = QNewHandle(Size(sizeof(id) + atoms.size()));
  std::memcpy(*hd, &id, sizeof(id));
  if (!atoms.empty()) std::memcpy(*hd + sizeof(id), atoms.data(), atoms.size());
  return hd;
}

TEST_F(DecompressorTest, Begin_RefusesWhatItCannotDecodeAndBadArguments) {
  GWorldPtr world = nullptr;
  Rect r{0, 0, 16, 16};
  ASSERT_EQ(OSErr(DispatchCall(kQTSelQTNewGWorld, &world, kYUV420CodecType, &r, nullptr, nullptr, 0u)), noErr);
  auto begin = [&](Handle desc, CGrafPtr port, ImageSequence *seq) {
    return OSErr(DispatchCall(kQTSelDecompressSequenceBeginS, seq, desc, nullptr, 0, port, nullptr, nullptr, nullptr,
                              64, nullptr, 1, 0x200u, nullptr));
  };
  ImageSequence seq = 77;
  Handle unknown = MakeDescription(QT_FOUR_CHAR_CODE('z', 'z', 'z', 'z'), 16, 16);
  EXPECT_EQ(begin(unknown, world, &seq), noCodecErr);
  EXPECT_EQ(seq, 0);
  Handle empty = MakeDescription(QT_FOUR_CHAR_CODE('a', 'v', 'c', '1'), 0, 16);
  EXPECT_EQ(begin(empty, world, &seq), badImageDescription);
  Handle small = QNewHandle(20);
  EXPECT_EQ(begin(small, world, &seq), badImageDescription);
  Handle good = MakeDescription(QT_FOUR_CHAR_CODE('2', 'v', 'u', 'y'), 16, 16);
  EXPECT_EQ(begin(good, nullptr, &seq), paramErr);
  EXPECT_EQ(begin(nullptr, world, &seq), nilHandleErr);
  EXPECT_EQ(begin(good, world, nullptr), paramErr);
  char notAHandle[8] = {};
  char *master = notAHandle;
  EXPECT_EQ(begin(reinterpret_cast<Handle>(&master), world, &seq), memWZErr);

  // A working sequence: short samples and unknown sequences are refused.
  ASSERT_EQ(begin(good, world, &seq), noErr);
  std::vector<char> sample(16 * 16 * 2, char(0x80));
  auto frame = [&](ImageSequence s, char *data, SInt32 n) {
    return OSErr(DispatchCall(kQTSelDecompressSequenceFrameWhen, s, data, n, 0, nullptr, nullptr, nullptr));
  };
  EXPECT_EQ(frame(seq, sample.data(), SInt32(sample.size())), noErr);
  EXPECT_EQ(frame(seq, sample.data(), 100), codecBadDataErr);
  EXPECT_EQ(frame(seq, nullptr, 100), paramErr);
  EXPECT_EQ(frame(seq, sample.data(), -1), paramErr);
  EXPECT_EQ(frame(seq + 1000, sample.data(), SInt32(sample.size())), paramErr);
  EXPECT_EQ(OSErr(DispatchCall(kQTSelCDSequenceEnd, seq)), noErr);
  EXPECT_EQ(OSErr(DispatchCall(kQTSelCDSequenceEnd, seq)), paramErr);
  EXPECT_EQ(frame(seq, sample.data(), SInt32(sample.size())), paramErr);

  for (Handle h : {unknown, empty, small, good}) QDisposeHandle(h);
  DispatchCall(kQTSelDisposeGWorld, world);
}

TEST(VideoCodecsTest, ParseEsds_ReadsTheDecoderConfigAndRefusesTruncatedDescriptors) {
  // version/flags, ES descriptor (id, flags 0), decoder config (object type
  // 0x20, 12 more bytes), decoder specific info of three bytes.
  const std::vector<uint8_t> good = {0, 0, 0, 0, 0x03, 0x17, 0, 1, 0, 0x04, 0x12, 0x20, 0x11, 0,   0,
                                     0, 0, 0, 0, 0,    0,    0, 0, 0, 0x05, 0x03, 0xAA, 0xBB, 0xCC};
  std::optional<qt::EsdsConfig> c = qt::ParseEsds(good);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->objectType, 0x20);
  EXPECT_EQ(c->decoderSpecificInfo, (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));
  // Every truncation either parses less or is refused; none reads past the end.
  for (size_t n = 0; n < good.size(); ++n) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + n);
    std::optional<qt::EsdsConfig> r = qt::ParseEsds(cut);
    if (r) {
      EXPECT_LE(r->decoderSpecificInfo.size(), 3u);
    }
  }
  std::vector<uint8_t> longLength = good;
  longLength[5] = 0x7F;  // ES descriptor claims more than there is
  EXPECT_FALSE(qt::ParseEsds(longLength));
  std::vector<uint8_t> urlPastEnd = {0, 0, 0, 0, 0x03, 0x04, 0, 1, 0x40, 0xFF};
  EXPECT_FALSE(qt::ParseEsds(urlPastEnd));
}

TEST_F(DecompressorTest, HostileDescriptionsAndSamples_FailCleanly) {
  GWorldPtr world = nullptr;
  Rect r{0, 0, 48, 64};
  ASSERT_EQ(OSErr(DispatchCall(kQTSelQTNewGWorld, &world, kYUV420CodecType, &r, nullptr, nullptr, 0u)), noErr);
  const OSType types[] = {QT_FOUR_CHAR_CODE('a', 'v', 'c', '1'), QT_FOUR_CHAR_CODE('m', 'p', '4', 'v'),
                          QT_FOUR_CHAR_CODE('S', 'V', 'Q', '3'), QT_FOUR_CHAR_CODE('j', 'p', 'e', 'g'),
                          QT_FOUR_CHAR_CODE('d', 'v', 'c', ' '), QT_FOUR_CHAR_CODE('r', 'l', 'e', ' '),
                          QT_FOUR_CHAR_CODE('c', 'v', 'i', 'd'), QT_FOUR_CHAR_CODE('f', 'l', 'i', 'c'),
                          QT_FOUR_CHAR_CODE('a', 'p', 'c', 'n'), QT_FOUR_CHAR_CODE('y', 'u', 'v', '2'),
                          QT_FOUR_CHAR_CODE('r', 'a', 'w', ' ')};
  const OSType atomTypes[] = {QT_FOUR_CHAR_CODE('a', 'v', 'c', 'C'), QT_FOUR_CHAR_CODE('e', 's', 'd', 's'),
                              QT_FOUR_CHAR_CODE('S', 'M', 'I', ' '), QT_FOUR_CHAR_CODE('g', 'l', 'b', 'l')};
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  for (OSType type : types) {
    for (OSType atomType : atomTypes) {
      std::vector<uint8_t> payload(next() % 200);
      for (uint8_t &b : payload) b = uint8_t(next() >> 16);
      std::vector<uint8_t> atoms = {0,
                                    0,
                                    0,
                                    uint8_t(8 + payload.size()),
                                    uint8_t(atomType >> 24),
                                    uint8_t(atomType >> 16),
                                    uint8_t(atomType >> 8),
                                    uint8_t(atomType)};
      atoms.insert(atoms.end(), payload.begin(), payload.end());
      Handle desc = MakeDescription(type, 64, 48, atoms);
      ImageSequence seq = 0;
      OSErr err = OSErr(DispatchCall(kQTSelDecompressSequenceBeginS, &seq, desc, nullptr, 0, world, nullptr, nullptr,
                                     nullptr, 64, nullptr, 1, 0x200u, nullptr));
      if (err == noErr) {
        for (int i = 0; i < 4; ++i) {
          std::vector<uint8_t> sample(1 + next() % 5000);
          for (uint8_t &b : sample) b = uint8_t(next() >> 16);
          OSErr e = OSErr(DispatchCall(kQTSelDecompressSequenceFrameWhen, seq, sample.data(), SInt32(sample.size()), 0,
                                       nullptr, nullptr, nullptr));
          EXPECT_TRUE(e == noErr || e == codecBadDataErr || e == codecErr) << e;
        }
        EXPECT_EQ(OSErr(DispatchCall(kQTSelCDSequenceEnd, seq)), noErr);
      } else {
        EXPECT_TRUE(err == noCodecErr || err == codecErr) << err;
      }
      QDisposeHandle(desc);
    }
  }
  DispatchCall(kQTSelDisposeGWorld, world);
}

TEST_F(DecompressorTest, WorldDisposedFirst_SequenceStillDrawsSafely) {
  GWorldPtr world = nullptr;
  Rect r{0, 0, 8, 8};
  ASSERT_EQ(OSErr(DispatchCall(kQTSelQTNewGWorld, &world, kYUVSPixelFormat, &r, nullptr, nullptr, 0u)), noErr);
  Handle desc = MakeDescription(QT_FOUR_CHAR_CODE('y', 'u', 'v', 's'), 8, 8);
  ImageSequence seq = 0;
  ASSERT_EQ(OSErr(DispatchCall(kQTSelDecompressSequenceBeginS, &seq, desc, nullptr, 0, world, nullptr, nullptr, nullptr,
                               64, nullptr, 1, 0x200u, nullptr)),
            noErr);
  DispatchCall(kQTSelDisposeGWorld, world);
  std::vector<char> sample(8 * 8 * 2, 1);
  EXPECT_EQ(OSErr(DispatchCall(kQTSelDecompressSequenceFrameWhen, seq, sample.data(), SInt32(sample.size()), 0, nullptr,
                               nullptr, nullptr)),
            noErr);
  EXPECT_EQ(OSErr(DispatchCall(kQTSelCDSequenceEnd, seq)), noErr);
  QDisposeHandle(desc);
}

}  // namespace
}  // namespace tp::test
