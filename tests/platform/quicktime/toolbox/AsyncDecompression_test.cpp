// Decompression with a completion procedure: the picture is drawn on the
// sequence's drawing thread while the caller goes on decoding, into the
// buffer the pixel map pointed at when its sample was handed over. Every
// picture must come out byte for byte as the synchronous decode draws it,
// and ending the sequence with a drawing in flight must wait for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
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

// Completions by refcon, filed by the drawing thread.
struct Completions {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<long, OSErr> done;
};
Completions gCompletions;

void OnDrawn(OSErr result, short flags, long refcon) {
  const bool finished = flags == (codecCompletionSource | codecCompletionDest);
  {
    std::lock_guard<std::mutex> lock(gCompletions.mutex);
    gCompletions.done[refcon] = finished ? result : OSErr(paramErr);
  }
  gCompletions.changed.notify_all();
}

OSErr WaitDrawn(long refcon) {
  std::unique_lock<std::mutex> lock(gCompletions.mutex);
  gCompletions.changed.wait(lock, [&] { return gCompletions.done.count(refcon) != 0; });
  const OSErr result = gCompletions.done[refcon];
  gCompletions.done.erase(refcon);
  return result;
}

bool AlreadyDrawn(long refcon) {
  std::lock_guard<std::mutex> lock(gCompletions.mutex);
  return gCompletions.done.count(refcon) != 0;
}

enum class Mode { kSync, kAsync, kAsyncEndInFlight };

struct Decoded {
  std::vector<std::vector<uint8_t>> pictures;  // in decode order, each whole buffer
  bool endWaited = true;                       // the last completion had arrived when the end returned
};

// Decodes every sample of the movie's video track in decode order into
// three buffers in turn (the pixel map pointed at each before its sample).
// Asynchronously, a buffer is read once its completion has arrived, after
// the next sample has been handed over.
Decoded DecodeMovie(const std::string &path, OSType format, Mode mode, long firstRefcon) {
  Decoded out;
  Movie movie = nullptr;
  EXPECT_EQ(QOpenMovie(path, &movie), noErr);
  if (!movie) return out;
  Media media = QFindMedia(movie, QT_FOUR_CHAR_CODE('v', 'i', 'd', 'e'));
  Handle desc = QNewHandle(4);
  DispatchCall(kQTSelGetMediaSampleDescription, media, 1, desc);
  const auto *id = reinterpret_cast<const ImageDescription *>(*desc);
  Rect r{0, 0, SInt16((id->height + 1) / 2 * 2), SInt16((id->width + 1) / 2 * 2)};
  GWorldPtr world = nullptr;
  EXPECT_EQ(OSErr(DispatchCall(kQTSelQTNewGWorld, &world, format, &r, nullptr, nullptr, 0u)), noErr);
  PixMapHandle pixMap = reinterpret_cast<PixMapHandle>(DispatchCall(kQTSelGetGWorldPixMap, world));
  ImageSequence seq = 0;
  EXPECT_EQ(OSErr(DispatchCall(kQTSelDecompressSequenceBeginS, &seq, desc, nullptr, 0, world, nullptr, nullptr, nullptr,
                               int(ditherCopy), nullptr, int(codecFlagUseImageBuffer), unsigned(codecNormalQuality),
                               nullptr)),
            noErr);
  const int64_t rowBytes = SInt32(DispatchCall(kQTSelQTGetPixMapHandleRowBytes, pixMap));
  std::vector<std::vector<uint8_t>> turns(3, std::vector<uint8_t>(size_t(rowBytes * r.bottom)));
  Ptr own = (*pixMap)->baseAddr;
  std::vector<uint8_t> buf(4 << 20);
  const int64_t duration = QGetMediaDuration(media);
  long pending = 0;  // refcon of the drawing not read yet
  size_t pendingTurn = 0;
  auto collect = [&] {
    EXPECT_EQ(WaitDrawn(pending), noErr) << "sample " << pending - firstRefcon;
    out.pictures.push_back(turns[pendingTurn]);
    pending = 0;
  };
  int64_t t = 0;
  for (int index = 0; seq && t < duration; ++index) {
    ByteCount size = 0;
    TimeValue64 decodeTime = 0, perSample = 0, offset = 0;
    ItemCount count = 0;
    MediaSampleFlags flags = 0;
    if (QGetMediaSample2(media, buf.data(), buf.size(), &size, t, &decodeTime, &perSample, &offset, nullptr, nullptr, 1,
                         &count, &flags) != noErr ||
        size == 0 || count == 0)
      break;
    t = decodeTime + int64_t(count) * perSample;
    const size_t turn = size_t(index) % turns.size();
    std::fill(turns[turn].begin(), turns[turn].end(), uint8_t(0xA5));
    (*pixMap)->baseAddr = reinterpret_cast<Ptr>(turns[turn].data());
    const ICMCompletionProcRecord done{&OnDrawn, firstRefcon + index};
    const OSErr err = OSErr(DispatchCall(kQTSelDecompressSequenceFrameWhen, seq, buf.data(), SInt32(size), 0, nullptr,
                                         mode == Mode::kSync ? nullptr : &done, nullptr));
    EXPECT_EQ(err, noErr) << "sample " << index;
    if (mode == Mode::kSync) {
      out.pictures.push_back(turns[turn]);
      continue;
    }
    if (pending) collect();
    pending = done.completionRefCon;
    pendingTurn = turn;
  }
  const bool endNow = mode == Mode::kAsyncEndInFlight;
  if (pending && !endNow) collect();
  if (seq) DispatchCall(kQTSelCDSequenceEnd, seq);
  if (pending && endNow) {
    out.endWaited = AlreadyDrawn(pending);
    collect();
  }
  (*pixMap)->baseAddr = own;
  DispatchCall(kQTSelDisposeGWorld, world);
  QDisposeHandle(desc);
  DispatchCall(kQTSelDisposeMovie, movie);
  return out;
}

TEST(AsyncDecompressionTest, DrawingOnTheSequencesThread_GivesTheSynchronousBytesAndEndsCleanly) {
  if (!ff::RunFfmpeg("-version")) GTEST_SKIP() << "no ffmpeg";
  ff::TempDir dir;
  const std::string movie = dir.File("h264-b.mov");
  ASSERT_TRUE(
      ff::RunFfmpeg("-f lavfi -i testsrc2=size=322x242:rate=25 -t 1.2 -c:v libx264 -bf 3 -g 12 "
                    "-pix_fmt yuv420p " +
                    ff::ShellQuote(movie)));
  const size_t sequences = qt::LiveSequenceCount();
  struct Case {
    const char *name;
    OSType format;
  };
  const Case cases[] = {
      {"32-bit packed", k32ARGBPixelFormat}, {"24-bit packed", k24RGBPixelFormat}, {"4:2:0 planar", kYUV420CodecType}};
  long refcon = 1;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded sync = DecodeMovie(movie, c.format, Mode::kSync, 0);
    ASSERT_EQ(sync.pictures.size(), 30u);
    for (Mode mode : {Mode::kAsync, Mode::kAsyncEndInFlight}) {
      const Decoded async = DecodeMovie(movie, c.format, mode, refcon);
      refcon += 1000;
      ASSERT_EQ(async.pictures.size(), sync.pictures.size());
      for (size_t i = 0; i < sync.pictures.size(); ++i)
        ASSERT_TRUE(async.pictures[i] == sync.pictures[i]) << "sample " << i << " differs";
      EXPECT_TRUE(async.endWaited) << "the end returned before the drawing in flight finished";
    }
  }
  EXPECT_EQ(qt::LiveSequenceCount(), sequences);
  std::lock_guard<std::mutex> lock(gCompletions.mutex);
  EXPECT_TRUE(gCompletions.done.empty()) << "a completion came twice or for nothing";
}

}  // namespace
}  // namespace tp::test
