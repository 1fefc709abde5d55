// The player's sound side: the timeline that places buffers on the device's
// frames, the clock that advances by the frames the device takes, and the
// SDL sound renderer in a running graph on SDL's disk driver (what it writes
// is what it was given, after silence up to the first buffer's time; it is
// the graph's clock; a pause or a flush never leaves a receive blocked).
#include <windows.h>
#include <dshow.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sinks/AudioClock.h"
#include "sinks/PcmTimeline.h"
#include "sinks/SdlAudioRenderer.h"
#include "support/FfmpegTools.h"
#include "support/GraphTestEnv.h"

namespace {

using tp::sinks::AudioClock;
using tp::sinks::PcmTimeline;
using tp::sinks::SdlAudioRenderer;
using tp::test::Watchdog;

// Frames of one byte each: frame i of a buffer is its value.
std::vector<uint8_t> Ramp(int frames, int first) {
  std::vector<uint8_t> v(static_cast<size_t>(frames));
  for (int i = 0; i < frames; ++i) v[static_cast<size_t>(i)] = static_cast<uint8_t>(first + i);
  return v;
}

TEST(PcmTimeline, Place_FollowsPadsOrSkipsByWhereTheBufferFalls) {
  struct Case {
    const char *name;
    int64_t at;  // where the buffer of 100 frames (values 1..100) should be heard
    int64_t tolerance, maxSilence;
    PcmTimeline::Placement expected;
    int firstValue;  // the first sound frame the device then takes
  } cases[] = {
      // 50 frames are queued already (End() is 50).
      {"on time", 50, 10, 1000, {0, 0, 100}, 1},
      {"early within the tolerance: no seam", 58, 10, 1000, {0, 0, 100}, 1},
      {"late within the tolerance", 42, 10, 1000, {0, 0, 100}, 1},
      {"early: silence first", 80, 10, 1000, {30, 0, 100}, 1},
      {"far early: silence bounded", 5000, 10, 200, {200, 0, 100}, 1},
      {"late: the past is skipped", 20, 10, 1000, {0, 30, 70}, 31},
      {"later than the whole buffer", -500, 10, 1000, {0, 100, 0}, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    PcmTimeline t(1, 0x80);
    const std::vector<uint8_t> before(50, 0x7F), buffer = Ramp(100, 1);
    t.Place(0, before.data(), 50, 10, 0);
    const PcmTimeline::Placement p = t.Place(c.at, buffer.data(), 100, c.tolerance, c.maxSilence);
    EXPECT_EQ(c.expected.silence, p.silence);
    EXPECT_EQ(c.expected.skipped, p.skipped);
    EXPECT_EQ(c.expected.queued, p.queued);
    const int64_t end = t.End();
    EXPECT_EQ(50 + p.silence + p.queued, end);
    std::vector<uint8_t> out(static_cast<size_t>(end + 7));
    EXPECT_EQ(end, t.Pull(out.data(), static_cast<int64_t>(out.size())));
    EXPECT_EQ(static_cast<int64_t>(out.size()), t.Consumed());
    EXPECT_EQ(0, t.Queued());
    const size_t sound = static_cast<size_t>(50 + p.silence);
    EXPECT_TRUE(
        std::all_of(out.begin() + 50, out.begin() + static_cast<long>(sound), [](uint8_t b) { return b == 0x80; }));
    if (p.queued) {
      EXPECT_EQ(c.firstValue, out[sound]);
    }
    // Past the sound, the device gets silence.
    EXPECT_EQ(0x80, out.back());
  }
}

TEST(PcmTimeline, PullAcrossManyPlacements_KeepsOrderAndCount) {
  PcmTimeline t(2, 0);
  int64_t pulled = 0;
  std::vector<uint8_t> heard;
  for (int n = 0; n < 200; ++n) {
    std::vector<uint8_t> b(2 * 30);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(n);
    t.Place(t.End(), b.data(), 30, 5, 100);
    std::vector<uint8_t> out(2 * 17);
    pulled += t.Pull(out.data(), 17);
    heard.insert(heard.end(), out.begin(), out.end());
  }
  EXPECT_EQ(200 * 17, t.Consumed());
  EXPECT_EQ(pulled, t.Consumed());
  EXPECT_EQ(200 * 30 - 200 * 17, t.Queued());
  // Frames come out in the order they went in.
  EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end()));
  t.Clear();
  EXPECT_EQ(0, t.Queued());
  EXPECT_EQ(t.Consumed(), t.End());
}

// The fake system time; the clock's advise thread reads it too.
std::atomic<REFERENCE_TIME> g_now{1000000000};
REFERENCE_TIME FakeNow() { return g_now.load(); }

// At 1000 frames a second a frame is 10,000 units. The clock starts at the
// fake system time, moves across each block at the system's pace, stops at
// the block's end, and never goes back.
TEST(AudioClock, AdvancesByTheFramesTheDeviceTook) {
  g_now = 1000000000;
  AudioClock *clock = AudioClock::Create(1000, &FakeNow);
  ASSERT_TRUE(clock);
  const REFERENCE_TIME origin = g_now;
  struct Step {
    REFERENCE_TIME advance;   // system time passing first
    int64_t block;            // then the device takes this many frames (0: none)
    REFERENCE_TIME expected;  // the clock after both, less the origin
  } steps[] = {
      {500000, 0, 0},         // no sound taken: the clock stands
      {0, 100, 0},            // a block of 100 ms taken: not heard yet
      {400000, 0, 400000},    // 40 ms into it
      {900000, 0, 1000000},   // past its end: it stops there
      {0, 100, 1000000},      // the next block
      {250000, 0, 1250000},   //
      {0, 100, 2000000},      // a block taken early: the rest of the last one counts at once
      {5000000, 0, 3000000},  // the device paused: the clock stops
  };
  for (const Step &s : steps) {
    g_now += s.advance;
    clock->Consumed(s.block);
    REFERENCE_TIME t = 0;
    clock->GetTime(&t);
    EXPECT_EQ(origin + s.expected, t) << "after " << s.advance << ", " << s.block;
  }
  EXPECT_EQ(300, clock->FrameAt(origin + 3000000));
  EXPECT_EQ(origin + 3000000, clock->TimeOfFrame(300));
  REFERENCE_TIME again = 0;
  EXPECT_EQ(S_FALSE, clock->GetTime(&again));
  clock->Release();
}

TEST(AudioClock, AdviseTimeFiresWhenTheSoundGetsThere) {
  g_now = 1000000000;
  AudioClock *clock = AudioClock::Create(1000, &FakeNow);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD_PTR cookie = 0;
  EXPECT_EQ(E_POINTER, clock->AdviseTime(g_now, 0, reinterpret_cast<HEVENT>(event), nullptr));
  EXPECT_EQ(E_INVALIDARG, clock->AdviseTime(g_now, 0, 0, &cookie));
  EXPECT_EQ(E_INVALIDARG, clock->AdviseTime(0, -5, reinterpret_cast<HEVENT>(event), &cookie));
  ASSERT_EQ(S_OK, clock->AdviseTime(g_now, 500000, reinterpret_cast<HEVENT>(event), &cookie));
  // System time passes but no sound is taken: nothing fires.
  g_now += 10000000;
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 50));
  // 60 ms of sound taken and played out: 50 ms has been reached.
  clock->Consumed(60);
  g_now += 600000;
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 5000));
  EXPECT_EQ(S_FALSE, clock->Unadvise(cookie));
  CloseHandle(event);
  clock->Release();
}

// The renderer on SDL's disk driver, in graphs of the platform's graph
// manager fed by the graph test source (16-bit stereo at 8 kHz, 20 ms
// blocks).
class SdlAudioTest : public tp::test::GraphTest {
 protected:
  void SetUp() override {
    GraphTest::SetUp();
    ASSERT_TRUE(RegisterExtension(u".tgs"));
    m_file = (Dir() / "device.raw").string();
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", m_file.c_str(), 1);
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     reinterpret_cast<void **>(&graph)));
    graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void **>(&control));
    graph->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void **>(&events));
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 2;
    f.nSamplesPerSec = 8000;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 4;
    f.nAvgBytesPerSec = 32000;
    std::string error;
    renderer = SdlAudioRenderer::Create(f, &error);
    ASSERT_TRUE(renderer) << error;
  }
  void TearDown() override {
    if (control) control->Stop();
    if (source) source->Release();
    if (events) events->Release();
    if (control) control->Release();
    if (graph) graph->Release();
    if (renderer) renderer->Release();
    GraphTest::TearDown();
  }
  // Adds the test source for spec and connects its first pin to the
  // renderer.
  HRESULT Feed(const std::string &spec) {
    HRESULT hr = graph->AddSourceFilter(WriteSpec("s.tgs", spec).c_str(), u"source", &source);
    if (FAILED(hr)) return hr;
    graph->AddFilter(renderer, nullptr);
    IPin *out = nullptr, *in = nullptr;
    hr = source->FindPin(u"1", &out);
    if (SUCCEEDED(hr)) hr = renderer->FindPin(u"In", &in);
    if (SUCCEEDED(hr)) hr = graph->ConnectDirect(out, in, nullptr);
    if (out) out->Release();
    if (in) in->Release();
    return hr;
  }

  std::string m_file;
  IGraphBuilder *graph = nullptr;
  IMediaControl *control = nullptr;
  IMediaEventEx *events = nullptr;
  IBaseFilter *source = nullptr;
  SdlAudioRenderer *renderer = nullptr;
};

TEST_F(SdlAudioTest, PlaysWhatItIsGivenOnItsOwnClock) {
  ASSERT_EQ(S_OK, Feed("audio 25\n"));
  const auto begin = std::chrono::steady_clock::now();
  {
    Watchdog watchdog(std::chrono::seconds(30));
    ASSERT_EQ(S_OK, control->Run());
    LONG code = 0;
    EXPECT_EQ(S_OK, events->WaitForCompletion(20000, &code));
    EXPECT_EQ(EC_COMPLETE, code);
    EXPECT_EQ(S_OK, control->Stop());
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  // Half a second of sound takes the device about that long.
  EXPECT_GE(wall, 0.45);
  IMediaFilter *mf = nullptr;
  graph->QueryInterface(IID_IMediaFilter, reinterpret_cast<void **>(&mf));
  IReferenceClock *graphClock = nullptr, *own = nullptr;
  mf->GetSyncSource(&graphClock);
  mf->Release();
  renderer->QueryInterface(IID_IReferenceClock, reinterpret_cast<void **>(&own));
  EXPECT_TRUE(graphClock && graphClock == own);
  if (graphClock) graphClock->Release();
  if (own) own->Release();
  const auto stats = renderer->GetSoundStats();
  EXPECT_EQ(25, stats.buffers);
  EXPECT_EQ(0, stats.late);
  control->Release();
  control = nullptr;
  graph->Release();
  graph = nullptr;
  source->Release();
  source = nullptr;
  renderer->Release();  // closes the device, which flushes its file
  renderer = nullptr;
  // Each block is where its stamp puts it on the device's frames, within
  // the tolerance, counting from the first block (the source's blocks are
  // stamped 20 ms apart and hold 10 ms of sound, so silence fills between).
  const std::vector<uint8_t> written = tp::test::ff::ReadFileBytes(m_file);
  constexpr long kFrameBytes = 4, kBlockFrames = 160, kTolerance = 8000 * SdlAudioRenderer::kToleranceMs / 1000;
  long first = -1, previous = -1;
  for (int n = 0; n < 25; ++n) {
    SCOPED_TRACE("block " + std::to_string(n));
    std::vector<uint8_t> block;
    for (int i = 0; i < tp::test::kGraphAudioBlockBytes; ++i) block.push_back(tp::test::SampleByte(n, i));
    const auto from = written.begin() + (previous < 0 ? 0 : previous);
    const auto at = std::search(from, written.end(), block.begin(), block.end());
    ASSERT_NE(written.end(), at) << written.size() << " bytes written";
    previous = static_cast<long>(at - written.begin());
    ASSERT_EQ(0, previous % kFrameBytes);
    if (first < 0) first = previous;
    EXPECT_NEAR(n * kBlockFrames, (previous - first) / kFrameBytes, kTolerance);
  }
  // Before the first block, silence (SDL's disk driver writes it while the
  // device is paused, too, so its length is no measure of anything).
  EXPECT_TRUE(std::all_of(written.begin(), written.begin() + first, [](uint8_t b) { return b == 0; }));
}

// Receive waits while the queue is full; a device paused with the graph
// cannot make room, so a stop or a seek (flush) must end that wait.
TEST_F(SdlAudioTest, StopOrSeekWhilePausedWithAFullQueue_DoesNotHang) {
  for (const bool seek : {false, true}) {
    SCOPED_TRACE(seek ? "seek" : "stop");
    Watchdog watchdog(std::chrono::seconds(30));
    if (!source) {
      ASSERT_EQ(S_OK, Feed("audio 500\n"));
    }
    ASSERT_EQ(S_OK, control->Run());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(S_OK, control->Pause());
    // More than the queue's worth is waiting upstream.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    if (seek) {
      IMediaSeeking *seeking = nullptr;
      graph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void **>(&seeking));
      LONGLONG to = 20000000;
      EXPECT_EQ(S_OK, seeking->SetPositions(&to, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning));
      seeking->Release();
    }
    EXPECT_EQ(S_OK, control->Stop());
  }
}

}  // namespace
