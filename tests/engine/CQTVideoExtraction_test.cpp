// The video track's set-up, its frame pool, calls out of order, buffers of
// every size, damaged samples, the grabber hand-off and edit lists the
// track maps to movie time, on the real runtime.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "EngineTestEnv.h"
#include "VideoTestMovies.h"
#include "engine/FramePool.h"
#include "engine/IMediaSampleGrabber.h"
#include "engine/SampleData.h"
#include "framework/CMediaSample.h"
#include "support/MovieWriter.h"

using namespace videotest;

namespace {

const GUID *const kAllSubtypes[] = {&MEDIASUBTYPE_YV12,  &MEDIASUBTYPE_YUY2,   &kSubtypeI420,       &MEDIASUBTYPE_RGB32,
                                    &MEDIASUBTYPE_RGB24, &MEDIASUBTYPE_RGB555, &MEDIASUBTYPE_RGB565};

class VideoTrack : public ::testing::Test {
 protected:
  enginetest::EngineEnvironment env;
};

std::string Mjpeg(const std::string &name, const std::string &size, const std::string &rate, const std::string &t) {
  return MakeMovie(name, "-f lavfi -i testsrc=size=" + size + ":rate=" + rate + " -t " + t + " -c:v mjpeg");
}

TEST_F(VideoTrack, Setup_OddSizeRoundedUp_SubtypesInOrder_MediaInfo) {
  const std::string file = Mjpeg("odd.mov", "321x241", "10", "1");
  ASSERT_FALSE(file.empty());
  Session s(file);
  ASSERT_EQ(s.Status(), 0);
  CQTVideoExtraction *video = s.Video();
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->VideoInfo().bmiHeader.biWidth, 322);
  EXPECT_EQ(video->VideoInfo().bmiHeader.biHeight, 242);

  std::vector<GUID> subtypes;
  video->GetSupportedSubtypes(&subtypes);
  ASSERT_EQ(subtypes.size(), 7u);
  for (size_t i = 0; i < 7; ++i) EXPECT_TRUE(IsEqualGUID(subtypes[i], *kAllSubtypes[i])) << i;

  VIDEOINFOHEADER info{};
  ASSERT_EQ(video->FillMediaInfo(&info, sizeof info, &MEDIASUBTYPE_RGB24), 0);
  EXPECT_EQ(info.bmiHeader.biSizeImage, 234256u);
  EXPECT_EQ(info.bmiHeader.biCompression, 0u);
  EXPECT_EQ(info.bmiHeader.biBitCount, 24);
  EXPECT_EQ(info.rcSource.right, 322);
  EXPECT_EQ(info.rcTarget.bottom, 242);
  ASSERT_EQ(video->FillMediaInfo(&info, sizeof info, &MEDIASUBTYPE_YV12), 0);
  EXPECT_EQ(info.bmiHeader.biCompression, 0x32315659u);
  EXPECT_EQ(info.bmiHeader.biBitCount, 12);
  // Planar rows at a pitch of the width, chroma at half: not the bitmap stride.
  EXPECT_EQ(info.bmiHeader.biSizeImage, 322u * 242u * 3u / 2u);
  // Refusals write nothing.
  VIDEOINFOHEADER untouched{};
  EXPECT_EQ(video->FillMediaInfo(&untouched, sizeof untouched, nullptr), -1);
  EXPECT_EQ(video->FillMediaInfo(nullptr, sizeof untouched, &MEDIASUBTYPE_RGB24), -1);
  EXPECT_EQ(video->FillMediaInfo(&untouched, 40, &MEDIASUBTYPE_RGB24), -1);
  EXPECT_EQ(untouched.bmiHeader.biSizeImage, 0u);

  video->SetOutputSubtype(&MEDIASUBTYPE_RGB24);
  EXPECT_EQ(video->GetBufferSize(), 968);
  video->SetOutputSubtype(&MEDIASUBTYPE_YV12);
  EXPECT_EQ(video->GetBufferSize(), 322);
  EXPECT_EQ(video->VideoInfo().bmiHeader.biSizeImage, 322u * 242u * 3u / 2u);
}

// The exact duration over the sample count: a clip under one second has a
// frame time too (whole seconds over the count gave it 0).
TEST_F(VideoTrack, AverageFrameTime_TenSecondsOf300_And_UnderOneSecond) {
  const std::string ten = Mjpeg("ten.mov", "32x24", "30", "10");
  const std::string short_ = Mjpeg("short.mov", "32x24", "30", "0.9");
  ASSERT_FALSE(ten.empty());
  ASSERT_FALSE(short_.empty());
  for (const auto &[file, expected] : {std::pair{ten, 333333LL}, std::pair{short_, 333333LL}}) {
    Session s(file);
    ASSERT_NE(s.Video(), nullptr);
    VIDEOINFOHEADER info{};
    ASSERT_EQ(s.Video()->FillMediaInfo(&info, sizeof info, &MEDIASUBTYPE_RGB32), 0);
    EXPECT_EQ(info.AvgTimePerFrame, expected) << file;
  }
}

TEST_F(VideoTrack, SubtypeChanges_RebuildOnlyForANewPixelFormat_BeginTwiceIsANoOp) {
  const std::string file = Mjpeg("small.mov", "64x48", "10", "1");
  Session s(file);
  CQTVideoExtraction *video = s.Video();
  ASSERT_NE(video, nullptr);
  Start(video, MEDIASUBTYPE_YV12);
  ASSERT_TRUE(video->Started());
  video->SetOutputSubtype(&kSubtypeI420);
  EXPECT_TRUE(video->Started()) << "YV12 to I420 keeps the 4:2:0 world";
  video->SetOutputSubtype(&MEDIASUBTYPE_RGB32);
  EXPECT_FALSE(video->Started());
  ASSERT_EQ(video->ExtractionBegin(), 0);
  const LONGLONG before = video->Position();
  EXPECT_EQ(video->ExtractionBegin(), 0);
  EXPECT_EQ(video->Position(), before);
  video->SetOutputSubtype(&MEDIASUBTYPE_RGB24);
  EXPECT_FALSE(video->Started());
  // An unknown subtype keeps the pixel format and the running chain.
  ASSERT_EQ(video->ExtractionBegin(), 0);
  const GUID uyvy = {0x59565955, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  video->SetOutputSubtype(&uyvy);
  EXPECT_TRUE(video->Started());
  EXPECT_EQ(video->PixelFormat(), static_cast<OSType>(k24RGBPixelFormat));
}

TEST_F(VideoTrack, NotStartedOrNoFormat_EveryCallRefusesCleanly) {
  const std::string file = Mjpeg("small.mov", "64x48", "10", "1");
  Session s(file);
  CQTVideoExtraction *video = s.Video();
  ASSERT_NE(video, nullptr);
  BYTE buffer[64];
  LONG size = sizeof buffer;
  LONGLONG start = 7, duration = 7;
  EXPECT_EQ(video->GetNextSample(buffer, &size, &start, &duration), -1);
  LONGLONG time = 1234;
  video->SetPosition(&time);
  EXPECT_EQ(time, 1234);
  LONGLONG delta = 100;
  EXPECT_EQ(video->MoveForward(&delta), -1);
  // No subtype chosen yet.
  EXPECT_EQ(video->ExtractionBegin(), -1);
  EXPECT_FALSE(video->Started());

  const LONG imageSize = Start(video, MEDIASUBTYPE_RGB32);
  std::vector<BYTE> frame(static_cast<size_t>(imageSize));
  size = imageSize;
  EXPECT_EQ(video->GetNextSample(nullptr, &size, &start, &duration), -1);
  EXPECT_EQ(video->GetNextSample(frame.data(), nullptr, &start, &duration), -1);
  EXPECT_EQ(video->GetNextSample(frame.data(), &size, &start, &duration), 0);
  EXPECT_EQ(size, imageSize) << "the size is left as it was";
  EXPECT_EQ(video->ExtractionEnd(), 0);
  EXPECT_EQ(video->GetNextSample(frame.data(), &size, &start, &duration), -1);
}

TEST(FramePool, LastReleasedFirstReused_RunsDryAtItsCount_RefusesAbsurdSizes) {
  FramePool *pool = FramePool::Create(100, 3);
  ASSERT_NE(pool, nullptr);
  DecodedFrame *a = pool->Acquire();
  DecodedFrame *b = pool->Acquire();
  DecodedFrame *c = pool->Acquire();
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(pool->Acquire(), nullptr);
  // Pixels follow the record and blocks do not overlap.
  for (DecodedFrame *f : {a, b, c}) {
    EXPECT_GE(f->pixels, reinterpret_cast<BYTE *>(f) + sizeof(DecodedFrame));
    std::fill(f->pixels, f->pixels + 100, BYTE{0xAB});
  }
  EXPECT_EQ(a->pixelRowBytes, 0);
  pool->Release(b);
  pool->Release(a);
  EXPECT_EQ(pool->Acquire(), a);
  EXPECT_EQ(pool->Acquire(), b);
  FramePool::Destroy(pool);
  EXPECT_EQ(FramePool::Create(0, 3), nullptr);
  EXPECT_EQ(FramePool::Create(100, 0), nullptr);
  EXPECT_EQ(FramePool::Create(size_t{1} << 40, 3), nullptr);
}

std::atomic<int> g_allocations{0};
std::atomic<size_t> g_allocated{0};
void *CountingAllocate(size_t bytes) {
  ++g_allocations;
  g_allocated += bytes;
  return std::malloc(bytes);
}
void *FailingAllocate(size_t) { return nullptr; }

class CountingGrabber : public IMediaSampleGrabber {
 public:
  LONG OnSample(LONG isAudio, SampleData *record, LONG formatChanged) override {
    auto *data = static_cast<AVSampleData *>(record);
    calls.push_back({isAudio, formatChanged, data->startTime, data->stopTime, data->bottomUp,
                     data->sample->GetActualDataLength(), data->planes->planes[1] != nullptr,
                     data->mediaType != nullptr ? data->mediaType->subtype : GUID{}});
    return 0;
  }
  struct Call {
    LONG isAudio, formatChanged;
    LONGLONG start, stop;
    LONG bottomUp, length;
    bool planar;
    GUID subtype;
  };
  std::vector<Call> calls;
};

TEST_F(VideoTrack, AfterBegin_NothingIsAllocatedPerFrame_AndAFailedPoolEndsCleanly) {
  const std::string file = MakeMovie(
      "avc_alloc.mp4", "-f lavfi -i testsrc=size=96x64:rate=25 -t 2 -c:v libx264 -bf 2 -g 10 -pix_fmt yuv420p");
  ASSERT_FALSE(file.empty());
  Session s(file);
  CQTVideoExtraction *video = s.Video();
  ASSERT_NE(video, nullptr);
  CountingGrabber grabber;
  video->SetSampleGrabber(&grabber);
  FramePool::SetAllocatorForTesting(CountingAllocate, nullptr);
  g_allocations = 0;
  g_allocated = 0;
  const LONG size = Start(video, MEDIASUBTYPE_YV12);
  const int atBegin = g_allocations.load();
  EXPECT_GT(atBegin, 0) << "the seam sees the pool";
  // The runtime keeps the pictures (frame threads) and draws each into the
  // caller's buffer: the blocks hold their records only, not pictures.
  EXPECT_LT(g_allocated.load(), static_cast<size_t>(size)) << "frame blocks hold pixels";
  const auto frames = Drain(video, size);
  LONGLONG time = video->GetTimeScale();
  video->SetPosition(&time);
  LONGLONG delta = 0;
  video->MoveForward(&delta);
  Drain(video, size);
  EXPECT_EQ(frames.size(), 50u);
  EXPECT_EQ(g_allocations.load(), atBegin);
  FramePool::SetAllocatorForTesting(nullptr, nullptr);

  video->ExtractionEnd();
  FramePool::SetAllocatorForTesting(FailingAllocate, nullptr);
  EXPECT_EQ(video->ExtractionBegin(), -1);
  FramePool::SetAllocatorForTesting(nullptr, nullptr);
  EXPECT_FALSE(video->Started());
  BYTE buffer[16];
  LONG bufferSize = sizeof buffer;
  LONGLONG start = 0, duration = 0;
  EXPECT_EQ(video->GetNextSample(buffer, &bufferSize, &start, &duration), -1);
}

TEST_F(VideoTrack, Grabber_SeesEveryFrame_FormatChangedOnlyOnTheFirst_DetachStops) {
  const std::string file = Mjpeg("small.mov", "64x48", "10", "1");
  Session s(file);
  CQTVideoExtraction *video = s.Video();
  ASSERT_NE(video, nullptr);
  CountingGrabber grabber;
  video->SetSampleGrabber(&grabber);
  const LONG size = Start(video, MEDIASUBTYPE_RGB24);
  std::vector<BYTE> buffer(static_cast<size_t>(size));
  LONG n = size;
  LONGLONG start = 0, duration = 0;
  ASSERT_EQ(video->GetNextSample(buffer.data(), &n, &start, &duration), 0);
  ASSERT_EQ(video->GetNextSample(buffer.data(), &n, &start, &duration), 0);
  ASSERT_EQ(grabber.calls.size(), 2u);
  EXPECT_EQ(grabber.calls[0].formatChanged, 1);
  EXPECT_EQ(grabber.calls[1].formatChanged, 0);
  EXPECT_EQ(grabber.calls[0].isAudio, 0);
  EXPECT_EQ(grabber.calls[0].bottomUp, 1);
  EXPECT_TRUE(IsEqualGUID(grabber.calls[0].subtype, MEDIASUBTYPE_RGB24));
  // 1/10 s in 100-ns units from a media time scale.
  EXPECT_EQ(grabber.calls[1].start, 1000000);
  EXPECT_EQ(grabber.calls[1].stop, 2000000);
  EXPECT_EQ(grabber.calls[0].length, size);
  video->SetSampleGrabber(nullptr);
  ASSERT_EQ(video->GetNextSample(buffer.data(), &n, &start, &duration), 0);
  EXPECT_EQ(grabber.calls.size(), 2u);

  // A new start flags the format change again; planar output shows three planes.
  video->SetSampleGrabber(&grabber);
  video->SetOutputSubtype(&MEDIASUBTYPE_YV12);
  video->ExtractionEnd();
  ASSERT_EQ(video->ExtractionBegin(), 0);
  std::vector<BYTE> planar(static_cast<size_t>(64 * 48 * 3 / 2));
  n = static_cast<LONG>(planar.size());
  ASSERT_EQ(video->GetNextSample(planar.data(), &n, &start, &duration), 0);
  ASSERT_EQ(grabber.calls.size(), 3u);
  EXPECT_EQ(grabber.calls[2].formatChanged, 1);
  EXPECT_TRUE(grabber.calls[2].planar);
  EXPECT_EQ(grabber.calls[2].bottomUp, 0);
}

// Buffers of every size the pin could pass, each followed by a guard zone:
// nothing may be written past the stated size.
// Pictures drawn into frame blocks (MJPEG, one picture per call), and kept
// by the runtime until drawn into the buffer (H.264 with frame threads;
// straight in, or through the world when the buffer is too small).
TEST_F(VideoTrack, AnyBufferSize_NothingWrittenPastTheEnd_AllSubtypes) {
  const std::string files[] = {
      Mjpeg("odd_small.mov", "37x23", "10", "1"),
      MakeMovie("small_avc.mp4", "-f lavfi -i testsrc=size=38x24:rate=10 -t 1 -c:v libx264 -bf 2 -pix_fmt yuv420p"),
  };
  for (const std::string &file : files) {
    ASSERT_FALSE(file.empty());
    Session s(file);
    CQTVideoExtraction *video = s.Video();
    ASSERT_NE(video, nullptr);
    constexpr size_t kGuard = 256;
    for (const GUID *subtype : kAllSubtypes) {
      video->ExtractionEnd();
      const LONG image = Start(video, *subtype);
      ASSERT_GT(image, 0);
      const LONG stride = video->GetBufferSize();
      for (LONG size : std::initializer_list<LONG>{0, 1, 2, stride - 1, stride, stride + 1, image / 2, image - 1, image,
                                                   image + 3}) {
        if (size < 0) continue;
        std::vector<BYTE> buffer(static_cast<size_t>(size) + kGuard, BYTE{0x5A});
        LONG n = size;
        LONGLONG start = 0, duration = 0;
        const LONG result = video->GetNextSample(buffer.data(), &n, &start, &duration);
        if (result != 0) {
          LONGLONG zero = 0;
          video->SetPosition(&zero);
          continue;
        }
        EXPECT_EQ(n, size);
        EXPECT_TRUE(std::all_of(buffer.begin() + size, buffer.end(), [](BYTE b) { return b == 0x5A; }))
            << file << " subtype " << std::hex << subtype->Data1 << std::dec << " size " << size;
      }
    }
  }
}

// A renderer's wider rows (SetOutputStride) on a buffer just big enough for
// them and on one a byte short: a kept picture is drawn straight in at the
// stride, the short buffer goes through the world and is cut to what fits.
// Either way nothing lands past the end, and every row that fits whole is
// the picture's row as delivered at the natural stride.
TEST_F(VideoTrack, WiderStride_RowsLieAtTheStride_OnAShortBufferToo_AllSubtypes) {
  const std::string files[] = {
      Mjpeg("odd_small.mov", "37x23", "10", "1"),
      MakeMovie("small_avc.mp4", "-f lavfi -i testsrc=size=38x24:rate=10 -t 1 -c:v libx264 -bf 2 -pix_fmt yuv420p"),
  };
  constexpr size_t kGuard = 256;
  constexpr LONG kWider = 10;
  auto bitmapRow = [](LONG bits, LONG pixels) { return (bits * pixels + 31) / 32 * 4; };
  for (const std::string &file : files) {
    ASSERT_FALSE(file.empty());
    Session s(file);
    CQTVideoExtraction *video = s.Video();
    ASSERT_NE(video, nullptr);
    for (const GUID *subtype : kAllSubtypes) {
      video->ExtractionEnd();
      const LONG image = Start(video, *subtype);
      const LONG width = video->VideoInfo().bmiHeader.biWidth;
      const LONG height = video->VideoInfo().bmiHeader.biHeight;
      const LONG bits = video->VideoInfo().bmiHeader.biBitCount;
      const bool planar = bits == 12;
      std::vector<BYTE> natural(static_cast<size_t>(image));
      LONG n = image;
      LONGLONG start = 0, duration = 0;
      ASSERT_EQ(video->GetNextSample(natural.data(), &n, &start, &duration), 0);

      const LONG stride = width + kWider;
      ASSERT_EQ(video->SetOutputStride(stride), 0);
      // Each plane: its first row in the natural and the wide buffer, the
      // picture's bytes in a row, and the two pitches.
      struct Plane {
        size_t from, to;
        LONG rowBytes, fromPitch, toPitch, rows;
      };
      std::vector<Plane> planes;
      LONG wide = 0;
      if (planar) {
        const size_t luma = static_cast<size_t>(width) * height, wideLuma = static_cast<size_t>(stride) * height;
        const size_t chroma = luma / 4, wideChroma = static_cast<size_t>(stride / 2) * (height / 2);
        planes = {{0, 0, width, width, stride, height},
                  {luma, wideLuma, width / 2, width / 2, stride / 2, height / 2},
                  {luma + chroma, wideLuma + wideChroma, width / 2, width / 2, stride / 2, height / 2}};
        wide = static_cast<LONG>(wideLuma + 2 * wideChroma);
      } else {
        planes = {{0, 0, width * bits / 8, bitmapRow(bits, width), bitmapRow(bits, stride), height}};
        wide = bitmapRow(bits, stride) * height;
      }
      for (LONG size : {wide, wide - 1}) {
        SCOPED_TRACE(file + " subtype " + std::to_string(subtype->Data1) + " size " + std::to_string(size));
        LONGLONG zero = 0;
        video->SetPosition(&zero);
        std::vector<BYTE> buffer(static_cast<size_t>(size) + kGuard, BYTE{0x5A});
        n = size;
        ASSERT_EQ(video->GetNextSample(buffer.data(), &n, &start, &duration), 0);
        EXPECT_TRUE(std::all_of(buffer.begin() + size, buffer.end(), [](BYTE b) { return b == 0x5A; }));
        for (size_t p = 0; p < planes.size(); ++p) {
          const Plane &pl = planes[p];
          for (LONG r = 0; r < pl.rows; ++r) {
            const size_t a = pl.from + static_cast<size_t>(r) * pl.fromPitch;
            const size_t b = pl.to + static_cast<size_t>(r) * pl.toPitch;
            if (b + pl.rowBytes > static_cast<size_t>(size)) break;
            ASSERT_TRUE(std::equal(natural.begin() + a, natural.begin() + a + pl.rowBytes, buffer.begin() + b))
                << "plane " << p << " row " << r;
          }
        }
      }
    }
  }
}

// Three damaged samples in a row empty the queue while decoding goes on: the
// stream must not end there.
TEST_F(VideoTrack, CorruptSamplesInTheMiddle_SkipOnlyThoseFrames) {
  const std::string clean = Mjpeg("clean.mov", "64x48", "10", "1");
  ASSERT_FALSE(clean.empty());
  const auto packets = Packets(clean);
  ASSERT_EQ(packets.size(), 10u);
  // Samples 4 to 6 become bytes that no JPEG decoder accepts.
  const std::vector<size_t> damaged = {4, 5, 6};
  std::string bytes;
  {
    std::ifstream in(clean, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  for (size_t k : damaged) {
    for (long long i = 0; i < packets[k].size; ++i) bytes[static_cast<size_t>(packets[k].pos + i)] = 0;
  }
  const std::string broken = env.WriteFile("broken.mov", bytes);

  for (const GUID *subtype : {&MEDIASUBTYPE_RGB32, &MEDIASUBTYPE_YV12}) {
    Session s(broken);
    CQTVideoExtraction *video = s.Video();
    ASSERT_NE(video, nullptr);
    const LONG size = Start(video, *subtype);
    const auto frames = Drain(video, size);
    std::vector<LONGLONG> starts;
    for (const auto &f : frames) starts.push_back(f.start);
    std::vector<LONGLONG> expected;
    for (size_t i = 0; i < packets.size(); ++i) {
      if (std::find(damaged.begin(), damaged.end(), i) == damaged.end()) expected.push_back(packets[i].pts);
    }
    EXPECT_EQ(starts, expected);
  }
}

// Ten raw pictures of 0.1 s (media and movie at 600 per second) under edit
// lists that are not one plain edit: the first playing edit maps the whole
// media, frames that stop showing before its start are not drawn, and
// hostile edits end in no frames rather than a crash.
struct EditCase {
  const char *name;
  std::vector<tp::test::WriterEdit> edits;
  std::vector<LONGLONG> starts;  // the frames delivered, movie time
  LONGLONG duration;
};

TEST_F(VideoTrack, EditLists_FirstPlayingEditMapsTheMedia_SeeksLandOnTheFrameShown) {
  const EditCase cases[] = {
      {"several edits", {{120, 60}, {120, 300}, {60, -1}}, {0, 60, 120, 180, 240, 300, 360, 420, 480}, 540},
      {"empty, then an offset", {{300, -1}, {600, 120}}, {300, 360, 420, 480, 540, 600, 660, 720}, 900},
      {"only an empty edit", {{600, -1}}, {0, 60, 120, 180, 240, 300, 360, 420, 480, 540}, 600},
      {"media start past the media", {{600, 100000}}, {}, 600},
      {"huge durations",
       {{0x7fffffff, 0}, {0x7fffffff, 0}},
       {0, 60, 120, 180, 240, 300, 360, 420, 480, 540},
       0x7fffffff},
  };
  for (const EditCase &c : cases) {
    SCOPED_TRACE(c.name);
    tp::test::WriterTrack track = tp::test::SimpleVideoTrack(10, 64 * 48 * 3, 60, 1);
    track.edits = c.edits;
    const std::vector<uint8_t> bytes = tp::test::BuildMovie(tp::test::WriterOptions{}, {track}).bytes;
    Session s(env.WriteFile("edits.mov", std::string(bytes.begin(), bytes.end())));
    CQTVideoExtraction *video = s.Video();
    ASSERT_NE(video, nullptr);
    const LONG size = Start(video, MEDIASUBTYPE_RGB24);
    std::vector<LONGLONG> starts;
    for (const auto &f : Drain(video, size)) starts.push_back(f.start);
    EXPECT_EQ(starts, c.starts);
    EXPECT_EQ(video->GetDuration(), c.duration);
    // A seek into each frame lands on it and goes on from there.
    for (size_t i = 0; i < c.starts.size(); ++i) {
      LONGLONG time = c.starts[i] + 30;
      video->SetPosition(&time);
      EXPECT_EQ(time, c.starts[i]);
      EXPECT_EQ(Drain(video, size).size(), c.starts.size() - i);
    }
  }
}

// Raw pictures whose decode durations are not their display durations:
// decode order 0, 20, 10, 40 shown at 0, 10, 20, 40, with decode durations
// that end before the next picture shows. A seek still lands on the picture
// on screen at the target.
TEST_F(VideoTrack, DisplayLongerThanDecodeDuration_SeekLandsOnThePictureShown) {
  tp::test::WriterTrack track = tp::test::SimpleVideoTrack(4, 64 * 48 * 3, 0, 1);
  track.durations = {5, 5, 30, 10};
  track.compositionOffsets = {0, 15, 0, 0};
  track.writeStss = true;
  track.syncSamples = {1, 4};
  const std::vector<uint8_t> bytes = tp::test::BuildMovie(tp::test::WriterOptions{}, {track}).bytes;
  Session s(env.WriteFile("vfr.mov", std::string(bytes.begin(), bytes.end())));
  CQTVideoExtraction *video = s.Video();
  ASSERT_NE(video, nullptr);
  const LONG size = Start(video, MEDIASUBTYPE_RGB24);
  std::vector<LONGLONG> starts;
  for (const auto &f : Drain(video, size)) starts.push_back(f.start);
  ASSERT_EQ(starts, (std::vector<LONGLONG>{0, 10, 20, 40}));
  for (const auto &[target, shown, left] :
       {std::tuple{7, 0, 4}, std::tuple{15, 10, 3}, std::tuple{25, 20, 2}, std::tuple{45, 40, 1}}) {
    LONGLONG time = target;
    video->SetPosition(&time);
    EXPECT_EQ(time, shown) << target;
    EXPECT_EQ(Drain(video, size).size(), static_cast<size_t>(left)) << target;
  }
}

}  // namespace
