// Decompression sequences under concurrency: sequences on several threads
// at once, and a sequence ended on one thread while another decodes into it
// (run under ThreadSanitizer as well as the normal build).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <QuickTime/ImageCompression.h>

#include "pixels/GWorld.h"
#include "toolbox/ImageCompression.h"
#include "RuntimeCalls.h"

namespace tp::test {
namespace {

using namespace qtcall;

Handle YuvsDescription(SInt16 w, SInt16 h) {
  ImageDescription id{};
  id.idSize = sizeof(id);
  id.cType = kYUVSPixelFormat;
  id.width = w;
  id.height = h;
  id.depth = 24;
  Handle hd = QNewHandle(sizeof(id));
  std::memcpy(*hd, &id, sizeof(id));
  return hd;
}

OSErr Begin(ImageSequence *seq, Handle desc, GWorldPtr world) {
  return OSErr(DispatchCall(kQTSelDecompressSequenceBeginS, seq, desc, nullptr, 0, world, nullptr, nullptr, nullptr, 64,
                            nullptr, 1, 0x200u, nullptr));
}
OSErr Frame(ImageSequence seq, std::vector<char> &data) {
  return OSErr(DispatchCall(kQTSelDecompressSequenceFrameWhen, seq, data.data(), SInt32(data.size()), 0, nullptr,
                            nullptr, nullptr));
}

TEST(ImageCompressionTest, SequencesOnSeveralThreads_EachDrawsItsOwnPictures) {
  constexpr int kThreads = 4, kFrames = 50;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      GWorldPtr world = nullptr;
      Rect r{0, 0, 16, 16};
      Handle desc = YuvsDescription(16, 16);
      ImageSequence seq = 0;
      if (OSErr(DispatchCall(kQTSelQTNewGWorld, &world, kYUVSPixelFormat, &r, nullptr, nullptr, 0u)) != noErr ||
          Begin(&seq, desc, world) != noErr) {
        ++failures;
        return;
      }
      PixMapHandle pm = reinterpret_cast<PixMapHandle>(DispatchCall(kQTSelGetGWorldPixMap, world));
      const auto *base = reinterpret_cast<const uint8_t *>(DispatchCall(kQTSelGetPixBaseAddr, pm));
      for (int f = 0; f < kFrames; ++f) {
        std::vector<char> sample(16 * 16 * 2, char(t * 16 + f % 16));
        if (Frame(seq, sample) != noErr || base[0] != uint8_t(sample[0]) || base[16 * 32 - 1] != uint8_t(sample[0]))
          ++failures;
      }
      DispatchCall(kQTSelCDSequenceEnd, seq);
      DispatchCall(kQTSelDisposeGWorld, world);
      QDisposeHandle(desc);
    });
  }
  for (std::thread &th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(ImageCompressionTest, EndOnAnotherThread_WaitsForTheDecodeOrRefusesLaterOnes) {
  GWorldPtr world = nullptr;
  Rect r{0, 0, 64, 64};
  ASSERT_EQ(OSErr(DispatchCall(kQTSelQTNewGWorld, &world, k32ARGBPixelFormat, &r, nullptr, nullptr, 0u)), noErr);
  Handle desc = YuvsDescription(64, 64);
  ImageSequence seq = 0;
  ASSERT_EQ(Begin(&seq, desc, world), noErr);
  const size_t before = qt::LiveSequenceCount();
  std::atomic<bool> started{false};
  std::atomic<int> ok{0}, refused{0}, other{0};
  std::thread decoder([&] {
    std::vector<char> sample(64 * 64 * 2, 0x40);
    for (int i = 0; i < 2000; ++i) {
      OSErr e = Frame(seq, sample);
      started = true;
      (e == noErr ? ok : e == paramErr ? refused : other)++;
    }
  });
  while (!started) std::this_thread::yield();
  EXPECT_EQ(OSErr(DispatchCall(kQTSelCDSequenceEnd, seq)), noErr);
  decoder.join();
  EXPECT_GT(ok.load(), 0);
  EXPECT_EQ(other.load(), 0);
  EXPECT_EQ(ok.load() + refused.load(), 2000);
  EXPECT_EQ(qt::LiveSequenceCount(), before - 1);
  DispatchCall(kQTSelDisposeGWorld, world);
  QDisposeHandle(desc);
}

}  // namespace
}  // namespace tp::test
