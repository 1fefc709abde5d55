// Deferred pictures: samples handed in with a frame time and a completion
// record on a back end that holds pictures back (frame threads, B-frames)
// are completed later, possibly after later samples, each drawn into the
// buffer its call saw. Every picture must equal the synchronous decode of
// the same sample byte for byte, every completion must come exactly once,
// and cancelling, draining and ending a sequence must leave nothing behind.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <QuickTime/ImageCompression.h>

#include "toolbox/ImageCompression.h"
#include "RuntimeCalls.h"
#include "support/FfmpegTools.h"

namespace tp::test {
namespace {

using namespace qtcall;

// Completions by refcon: how many times each came, and its last result.
struct Completions {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<long, std::vector<OSErr>> results;
};
Completions gDone;

void OnDone(OSErr result, short, long refcon) {
  {
    std::lock_guard<std::mutex> lock(gDone.mutex);
    gDone.results[refcon].push_back(result);
  }
  gDone.changed.notify_all();
}

size_t CompletedCount(long refcon) {
  std::lock_guard<std::mutex> lock(gDone.mutex);
  auto it = gDone.results.find(refcon);
  return it == gDone.results.end() ? 0 : it->second.size();
}

void WaitCompleted(long refcon) {
  std::unique_lock<std::mutex> lock(gDone.mutex);
  gDone.changed.wait(lock, [&] { return gDone.results.count(refcon) != 0; });
}

struct Sample {
  std::vector<uint8_t> bytes;
  int64_t displayTime = 0;
  bool sync = false;
};

// One movie's video track, its samples in decode order, and a world.
class Track {
 public:
  Track(const std::string &path, OSType format) {
    EXPECT_EQ(QOpenMovie(path, &movie_), noErr);
    if (!movie_) return;
    Media media = QFindMedia(movie_, QT_FOUR_CHAR_CODE('v', 'i', 'd', 'e'));
    desc_ = QNewHandle(4);
    DispatchCall(kQTSelGetMediaSampleDescription, media, 1, desc_);
    const auto *id = reinterpret_cast<const ImageDescription *>(*desc_);
    Rect r{0, 0, SInt16((id->height + 1) / 2 * 2), SInt16((id->width + 1) / 2 * 2)};
    width = r.right;
    height = r.bottom;
    EXPECT_EQ(OSErr(DispatchCall(kQTSelQTNewGWorld, &world_, format, &r, nullptr, nullptr, 0u)), noErr);
    pixMap_ = reinterpret_cast<PixMapHandle>(DispatchCall(kQTSelGetGWorldPixMap, world_));
    own_ = (*pixMap_)->baseAddr;
    bytes_ = size_t(SInt32(DispatchCall(kQTSelQTGetPixMapHandleRowBytes, pixMap_))) * size_t(r.bottom);
    std::vector<uint8_t> buf(4 << 20);
    const int64_t duration = QGetMediaDuration(media);
    for (int64_t t = 0; t < duration;) {
      ByteCount size = 0;
      TimeValue64 decodeTime = 0, perSample = 0, offset = 0;
      ItemCount count = 0;
      MediaSampleFlags flags = 0;
      if (QGetMediaSample2(media, buf.data(), buf.size(), &size, t, &decodeTime, &perSample, &offset, nullptr, nullptr,
                           1, &count, &flags) != noErr ||
          size == 0 || count == 0)
        break;
      samples.push_back({std::vector<uint8_t>(buf.begin(), buf.begin() + size), decodeTime + offset,
                         (flags & mediaSampleNotSync) == 0});
      t = decodeTime + int64_t(count) * perSample;
    }
  }
  ~Track() {
    End();
    if (pixMap_) (*pixMap_)->baseAddr = own_;
    if (world_) DispatchCall(kQTSelDisposeGWorld, world_);
    if (desc_) QDisposeHandle(desc_);
    if (movie_) DispatchCall(kQTSelDisposeMovie, movie_);
  }

  ImageSequence Begin() {
    End();
    EXPECT_EQ(OSErr(DispatchCall(kQTSelDecompressSequenceBeginS, &seq_, desc_, nullptr, 0, world_, nullptr, nullptr,
                                 nullptr, int(ditherCopy), nullptr, int(codecFlagUseImageBuffer),
                                 unsigned(codecNormalQuality), nullptr)),
              noErr);
    return seq_;
  }
  void End() {
    if (seq_) DispatchCall(kQTSelCDSequenceEnd, seq_);
    seq_ = 0;
  }

  // Hands sample i in with the pixel map pointed at `into`; with `refcon`
  // nonzero, a completion record; with `timed`, a frame time; with `keep`,
  // the picture kept for a later drawing.
  OSErr Decode(size_t i, std::vector<uint8_t> *into, long refcon, bool timed, bool draw = true, bool keep = false) {
    into->assign(bytes_, uint8_t(0xA5));
    (*pixMap_)->baseAddr = reinterpret_cast<Ptr>(into->data());
    const ICMCompletionProcRecord done{&OnDone, refcon};
    ICMFrameTimeRecord when{};
    when.value.lo = UInt32(uint64_t(samples[i].displayTime) & 0xffffffffu);
    when.value.hi = SInt32(samples[i].displayTime >> 32);
    when.scale = 600;
    when.recordSize = sizeof when;
    return OSErr(DispatchCall(kQTSelDecompressSequenceFrameWhen, seq_, samples[i].bytes.data(),
                              SInt32(samples[i].bytes.size()),
                              (draw ? 0 : int(codecFlagNoScreenUpdate)) | (keep ? int(codecFlagKeepPicture) : 0),
                              nullptr, refcon ? &done : nullptr, timed ? &when : nullptr));
  }

  // Every sample's own picture, decoded synchronously from the start.
  std::vector<std::vector<uint8_t>> Reference() {
    std::vector<std::vector<uint8_t>> out(samples.size());
    Begin();
    for (size_t i = 0; i < samples.size(); ++i) EXPECT_EQ(Decode(i, &out[i], 0, false), noErr) << "sample " << i;
    End();
    return out;
  }

  std::vector<Sample> samples;
  int width = 0, height = 0;

 private:
  Movie movie_ = nullptr;
  Handle desc_ = nullptr;
  GWorldPtr world_ = nullptr;
  PixMapHandle pixMap_ = nullptr;
  Ptr own_ = nullptr;
  size_t bytes_ = 0;
  ImageSequence seq_ = 0;
};

// What a scenario does in the middle of the run, at sample `at`.
enum class Middle {
  kNone,        // every sample deferred, drained at the end
  kCancelSeek,  // CDSequenceFlush, then a seek back to the first sync sample
  kSyncCall,    // a synchronous call: ends the run with its own picture
  kEndPending,  // CDSequenceEnd with pictures held back
  kNoRedraw,    // samples before `at` only decoded (no drawing), as on the way to a seek point
};

struct Scenario {
  const char *name;
  Middle middle;
  size_t at;
};

class DeferredPicturesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!ff::RunFfmpeg("-version")) return;
    dir_ = new ff::TempDir;
    const std::string src = "-f lavfi -i testsrc2=size=322x242:rate=25 -t 1.6 -pix_fmt yuv420p ";
    const bool made = ff::RunFfmpeg(src + "-c:v libx264 -bf 3 -g 12 " + ff::ShellQuote(dir_->File("closed.mov"))) &&
                      ff::RunFfmpeg(src + "-c:v libx264 -bf 3 -g 12 -x264-params open-gop=1:scenecut=0 " +
                                    ff::ShellQuote(dir_->File("open.mov"))) &&
                      ff::RunFfmpeg(src + "-c:v mpeg4 -bf 2 -g 10 -q:v 4 " + ff::ShellQuote(dir_->File("mpeg4.mov"))) &&
                      ff::RunFfmpeg("-f lavfi -i testsrc2=size=64x48:rate=25 -t 1.2 -c:v rawvideo -pix_fmt rgb24 " +
                                    ff::ShellQuote(dir_->File("raw.mov")));
    if (!made) {
      delete dir_;
      dir_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!dir_) GTEST_SKIP() << "no ffmpeg (or no libx264)";
  }
  static ff::TempDir *dir_;
};
ff::TempDir *DeferredPicturesTest::dir_ = nullptr;

TEST_F(DeferredPicturesTest, DeferredRuns_GiveEachSamplesSynchronousPictureAndCompleteOnce) {
  const char *movies[] = {"closed.mov", "open.mov", "mpeg4.mov", "raw.mov"};
  const Scenario scenarios[] = {
      {"played through, drained at the end", Middle::kNone, 0},
      {"cancelled mid-GOP, then seeking back", Middle::kCancelSeek, 17},
      {"a synchronous call mid-run", Middle::kSyncCall, 9},
      {"ended with pictures held back", Middle::kEndPending, 20},
      {"decoded without drawing up to a sync sample", Middle::kNoRedraw, 12},
  };
  const OSType formats[] = {kYUV420CodecType, k32ARGBPixelFormat};
  long refcon = 1;
  for (const char *name : movies) {
    for (OSType format : formats) {
      Track track(dir_->File(name), format);
      const std::vector<std::vector<uint8_t>> sync = track.Reference();
      const size_t n = track.samples.size();
      ASSERT_GE(n, 24u) << name;
      for (const Scenario &sc : scenarios) {
        SCOPED_TRACE(std::string(name) + ", " + sc.name + (format == kYUV420CodecType ? ", 4:2:0" : ", 32-bit"));
        std::vector<std::vector<uint8_t>> got(n);
        std::vector<long> refcons(n, 0);
        std::vector<bool> compare(n, true);
        const ImageSequence seq = track.Begin();
        SInt32 limit = -1;
        ASSERT_EQ(OSErr(DispatchCall(kQTSelICMSequenceGetInfo, seq, unsigned(kICMSequencePendingFrameLimit), &limit)),
                  noErr);
        EXPECT_EQ(limit == 0, std::string(name) == "raw.mov") << "limit " << limit;
        auto deferred = [&](size_t i) {
          refcons[i] = refcon++;
          ASSERT_EQ(track.Decode(i, &got[i], refcons[i], true), noErr) << "sample " << i;
        };
        size_t i = 0;
        if (sc.middle == Middle::kNoRedraw) {
          // Samples up to the sync sample at `at` only feed the decoder.
          for (; i < sc.at; ++i) {
            ASSERT_EQ(track.Decode(i, &got[i], 0, true, false), noErr);
            compare[i] = false;
          }
        }
        for (; i < n; ++i) {
          if (i == sc.at && sc.middle == Middle::kCancelSeek) {
            ASSERT_EQ(OSErr(DispatchCall(kQTSelCDSequenceFlush, seq)), noErr);
            // Each completion came before the flush returned; those cancelled
            // hold no picture to compare.
            for (size_t k = 0; k < i; ++k) {
              ASSERT_EQ(CompletedCount(refcons[k]), 1u) << "sample " << k;
              std::lock_guard<std::mutex> lock(gDone.mutex);
              const OSErr r = gDone.results[refcons[k]][0];
              EXPECT_TRUE(r == noErr || r == codecAbortErr) << r;
              if (r != noErr) compare[k] = false;
            }
            // Seek back to the first sample and play everything again.
            for (size_t k = 0; k < n; ++k) {
              compare[k] = true;
              deferred(k);
            }
            break;
          }
          if (i == sc.at && sc.middle == Middle::kSyncCall) {
            ASSERT_EQ(track.Decode(i, &got[i], 0, true), noErr);
            for (size_t k = 0; k < i; ++k) EXPECT_EQ(CompletedCount(refcons[k]), 1u) << "sample " << k;
            // The run has ended: the next one starts at the next sync sample.
            size_t next = i + 1;
            while (next < n && !track.samples[next].sync) compare[next++] = false;
            // Pictures shown before that sync sample may refer to the GOP before it.
            for (size_t k = next; k < n; ++k)
              if (next < n && track.samples[k].displayTime < track.samples[next].displayTime) compare[k] = false;
            for (size_t k = next; k < n; ++k) deferred(k);
            break;
          }
          if (i == sc.at && sc.middle == Middle::kEndPending) {
            track.End();
            for (size_t k = i; k < n; ++k) compare[k] = false;
            for (size_t k = 0; k < i; ++k) {
              ASSERT_EQ(CompletedCount(refcons[k]), 1u) << "sample " << k;
              std::lock_guard<std::mutex> lock(gDone.mutex);
              if (gDone.results[refcons[k]][0] != noErr) compare[k] = false;
            }
            break;
          }
          deferred(i);
        }
        if (sc.middle != Middle::kEndPending) {
          OSErr busy = OSErr(DispatchCall(kQTSelCDSequenceBusy, seq));
          EXPECT_TRUE(busy == 0 || busy == 1) << busy;
          for (size_t k = 0; k < n; ++k)
            if (refcons[k]) WaitCompleted(refcons[k]);
          EXPECT_EQ(OSErr(DispatchCall(kQTSelCDSequenceBusy, seq)), 0);
          SInt32 held = -1;
          EXPECT_EQ(OSErr(DispatchCall(kQTSelICMSequenceGetInfo, seq, unsigned(kICMSequenceHeldFrameCount), &held)),
                    noErr);
          EXPECT_EQ(held, 0);
          track.End();
        }
        for (size_t k = 0; k < n; ++k) {
          if (!refcons[k]) {
            if (compare[k] && sc.middle == Middle::kSyncCall && k == sc.at) {
              EXPECT_TRUE(got[k] == sync[k]) << "synchronous sample " << k << " differs";
            }
            continue;
          }
          std::lock_guard<std::mutex> lock(gDone.mutex);
          const std::vector<OSErr> &r = gDone.results[refcons[k]];
          ASSERT_EQ(r.size(), 1u) << "sample " << k << " completed " << r.size() << " times";
          if (!compare[k]) continue;
          EXPECT_EQ(r[0], noErr) << "sample " << k;
          EXPECT_TRUE(got[k] == sync[k]) << "sample " << k << " differs";
        }
      }
    }
  }
}

TEST_F(DeferredPicturesTest, FrameTimeTooShort_IsRefusedAndNeverCompleted) {
  Track track(dir_->File("closed.mov"), kYUV420CodecType);
  const ImageSequence seq = track.Begin();
  std::vector<uint8_t> into(64);
  ICMFrameTimeRecord when{};
  when.recordSize = 4;  // does not cover value and scale
  const ICMCompletionProcRecord done{&OnDone, 999999};
  EXPECT_EQ(OSErr(DispatchCall(kQTSelDecompressSequenceFrameWhen, seq, track.samples[0].bytes.data(),
                               SInt32(track.samples[0].bytes.size()), 0, nullptr, &done, &when)),
            paramErr);
  track.End();
  EXPECT_EQ(CompletedCount(999999), 0u);
  SInt32 limit = 0;
  EXPECT_EQ(OSErr(DispatchCall(kQTSelICMSequenceGetInfo, seq, unsigned(kICMSequencePendingFrameLimit), &limit)),
            paramErr);
  EXPECT_EQ(OSErr(DispatchCall(kQTSelCDSequenceFlush, seq)), paramErr);
  EXPECT_EQ(OSErr(DispatchCall(kQTSelCDSequenceBusy, seq)), paramErr);
}

// Kept pictures: each sample's picture waits undrawn until the caller names
// memory of its own, and is then drawn there, once, equal to the sample's
// synchronous picture: 4:2:0 planes laid back to back at a pitch of the
// width, 32-bit rows bottom-up (a negative row step). A picture not kept,
// already drawn, or cancelled by a flush is refused, and so is a row step
// too short for its row. A sequence that cannot keep says so, and draws.
TEST_F(DeferredPicturesTest, KeptPictures_DrawnOnceWhereTheCallerSays_EqualTheSynchronousPictures) {
  auto be32 = [](const uint8_t *p) { return size_t(p[0]) << 24 | size_t(p[1]) << 16 | size_t(p[2]) << 8 | p[3]; };
  long refcon = 500000;
  for (OSType format : {kYUV420CodecType, k32ARGBPixelFormat}) {
    SCOPED_TRACE(format == kYUV420CodecType ? "4:2:0" : "32-bit");
    Track track(dir_->File("closed.mov"), format);
    const std::vector<std::vector<uint8_t>> sync = track.Reference();
    const size_t n = track.samples.size();
    const size_t w = size_t(track.width), h = size_t(track.height);
    // The reference picture as the caller's memory lays it out.
    auto expected = [&](size_t i) {
      const std::vector<uint8_t> &world = sync[i];
      std::vector<uint8_t> out;
      if (format == kYUV420CodecType) {
        for (int p = 0; p < 3; ++p) {
          const uint8_t *plane = world.data() + be32(world.data() + 8 * p);
          const size_t step = be32(world.data() + 8 * p + 4), rowLength = p ? w / 2 : w;
          for (size_t y = 0; y < (p ? h / 2 : h); ++y)
            out.insert(out.end(), plane + y * step, plane + y * step + rowLength);
        }
      } else {
        const size_t step = world.size() / h;
        for (size_t y = h; y-- > 0;) out.insert(out.end(), world.begin() + y * step, world.begin() + y * step + w * 4);
      }
      return out;
    };
    auto destination = [&](std::vector<uint8_t> &memory) {
      ICMPictureDestination d{};
      if (format == kYUV420CodecType) {
        memory.assign(w * h * 3 / 2, 0xA5);
        d.planes[0] = reinterpret_cast<Ptr>(memory.data());
        d.planes[1] = reinterpret_cast<Ptr>(memory.data() + w * h);
        d.planes[2] = reinterpret_cast<Ptr>(memory.data() + w * h + w * h / 4);
        d.rowBytes[0] = SInt32(w);
        d.rowBytes[1] = d.rowBytes[2] = SInt32(w / 2);
      } else {
        memory.assign(w * h * 4, 0xA5);
        d.planes[0] = reinterpret_cast<Ptr>(memory.data() + (h - 1) * w * 4);
        d.rowBytes[0] = -SInt32(w * 4);
      }
      return d;
    };
    const ImageSequence seq = track.Begin();
    SInt32 keeps = -1;
    ASSERT_EQ(OSErr(DispatchCall(kQTSelICMSequenceGetInfo, seq, unsigned(kICMSequenceKeepsPictures), &keeps)), noErr);
    ASSERT_EQ(keeps, 1);
    std::vector<long> refcons(n);
    std::vector<uint8_t> world;
    for (size_t i = 0; i < n; ++i) {
      refcons[i] = refcon++;
      ASSERT_EQ(track.Decode(i, &world, refcons[i], true, true, true), noErr) << "sample " << i;
    }
    const std::vector<uint8_t> untouched = world;
    DispatchCall(kQTSelCDSequenceBusy, seq);
    for (long r : refcons) WaitCompleted(r);
    EXPECT_TRUE(world == untouched) << "a kept picture was drawn into the world";
    // Drawn in an order of the caller's choosing: last first.
    for (size_t i = n; i-- > 0;) {
      std::vector<uint8_t> memory;
      ICMPictureDestination d = destination(memory);
      if (i == 3) d.rowBytes[0] = format == kYUV420CodecType ? SInt32(w - 1) : -SInt32(w * 4 - 1);
      const OSErr err = OSErr(DispatchCall(kQTSelICMSequenceDrawKeptPicture, seq, refcons[i], &d));
      if (i == 3) {
        EXPECT_EQ(err, codecErr) << "a row step too short";
      } else {
        ASSERT_EQ(err, noErr) << "sample " << i;
        EXPECT_TRUE(memory == expected(i)) << "sample " << i << " differs";
      }
      EXPECT_EQ(OSErr(DispatchCall(kQTSelICMSequenceDrawKeptPicture, seq, refcons[i], &d)), paramErr) << "twice";
    }
    // A null destination draws where the world's pixel map points; a flush
    // forgets what is still kept.
    const ImageSequence again = track.Begin();
    for (size_t i = 0; i < 4; ++i) {
      refcons[i] = refcon++;
      ASSERT_EQ(track.Decode(i, &world, refcons[i], true, true, true), noErr);
    }
    DispatchCall(kQTSelCDSequenceBusy, again);
    for (size_t i = 0; i < 4; ++i) WaitCompleted(refcons[i]);
    EXPECT_EQ(OSErr(DispatchCall(kQTSelICMSequenceDrawKeptPicture, again, refcons[0], nullptr)), noErr);
    EXPECT_TRUE(world == sync[0]);
    EXPECT_EQ(OSErr(DispatchCall(kQTSelCDSequenceFlush, again)), noErr);
    std::vector<uint8_t> memory;
    ICMPictureDestination d = destination(memory);
    EXPECT_EQ(OSErr(DispatchCall(kQTSelICMSequenceDrawKeptPicture, again, refcons[1], &d)), paramErr);
    track.End();
  }
  // Without a back end that keeps pictures: answered 0, and drawn as ever.
  Track raw(dir_->File("raw.mov"), k32ARGBPixelFormat);
  const ImageSequence seq = raw.Begin();
  SInt32 keeps = -1;
  ASSERT_EQ(OSErr(DispatchCall(kQTSelICMSequenceGetInfo, seq, unsigned(kICMSequenceKeepsPictures), &keeps)), noErr);
  EXPECT_EQ(keeps, 0);
  EXPECT_EQ(OSErr(DispatchCall(kQTSelICMSequenceDrawKeptPicture, seq, 1L, nullptr)), paramErr);
}

}  // namespace
}  // namespace tp::test
