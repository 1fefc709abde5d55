// The host's sinks in running graphs: what the video writer and the WAV
// writer put in their files (checked against ffmpeg's reading of them),
// headers that stay right when a graph is stopped early, real-time
// presentation with lateness reported upstream, and types each refuses.
#include <windows.h>
#include <dshow.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sinks/DiscardRenderer.h"
#include "sinks/SoundClock.h"
#include "sinks/VideoWriter.h"
#include "sinks/WavWriter.h"
#include "support/FfmpegTools.h"
#include "support/GraphTestEnv.h"

namespace {

using tp::sinks::DiscardRenderer;
using tp::sinks::VideoWriter;
using tp::sinks::WavWriter;
using tp::test::Watchdog;
namespace ff = tp::test::ff;

uint32_t U32(const std::vector<uint8_t> &b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

class SinksTest : public tp::test::GraphTest {
 protected:
  void SetUp() override {
    GraphTest::SetUp();
    ASSERT_TRUE(RegisterExtension(u".tgs"));
    NewGraph();
  }
  // A fresh graph for the next case of a table.
  void NewGraph() {
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     reinterpret_cast<void **>(&graph)));
    graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void **>(&control));
    graph->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void **>(&events));
  }
  void TearDown() override {
    if (control) control->Stop();
    if (source) source->Release();
    if (events) events->Release();
    if (control) control->Release();
    if (graph) graph->Release();
    GraphTest::TearDown();
  }
  void NoClock() {
    IMediaFilter *mf = nullptr;
    graph->QueryInterface(IID_IMediaFilter, reinterpret_cast<void **>(&mf));
    ASSERT_EQ(S_OK, mf->SetSyncSource(nullptr));
    mf->Release();
  }
  // Adds the test source for `spec` and connects its pin `id` to sink.
  HRESULT Feed(const std::string &spec, IBaseFilter *sink, LPCWSTR id = u"1") {
    if (!source) {
      HRESULT hr = graph->AddSourceFilter(WriteSpec("s.tgs", spec).c_str(), u"source", &source);
      if (FAILED(hr)) return hr;
    }
    graph->AddFilter(sink, nullptr);
    IPin *out = nullptr, *in = nullptr;
    HRESULT hr = source->FindPin(id, &out);
    if (SUCCEEDED(hr)) hr = sink->FindPin(u"In", &in);
    if (SUCCEEDED(hr)) hr = graph->ConnectDirect(out, in, nullptr);
    if (out) out->Release();
    if (in) in->Release();
    return hr;
  }
  LONG RunToEnd() {
    Watchdog watchdog(std::chrono::seconds(30));
    EXPECT_EQ(S_OK, control->Run());
    LONG code = 0;
    EXPECT_EQ(S_OK, events->WaitForCompletion(20000, &code));
    EXPECT_EQ(S_OK, control->Stop());
    return code;
  }
  // Takes the graph down so that the sinks close their files.
  void Dismantle() {
    control->Stop();
    source->Release();
    source = nullptr;
    events->Release();
    events = nullptr;
    control->Release();
    control = nullptr;
    graph->Release();
    graph = nullptr;
  }
  std::vector<uint8_t> SourceBytes(int samples, int size) {
    std::vector<uint8_t> bytes;
    for (int n = 0; n < samples; ++n)
      for (int i = 0; i < size; ++i) bytes.push_back(tp::test::SampleByte(n, i));
    return bytes;
  }

  IGraphBuilder *graph = nullptr;
  IMediaControl *control = nullptr;
  IMediaEventEx *events = nullptr;
  IBaseFilter *source = nullptr;
};

TEST(VideoWriterRate, Y4mHeaderNamesTheRateTheFrameTimeCameFrom) {
  struct Case {
    REFERENCE_TIME frameTime;
    int num, den;
  } cases[] = {
      {0, 25, 1},
      {400000, 25, 1},
      {333333, 30, 1},
      {416667, 24, 1},
      {417083, 24000, 1001},
      {333667, 30000, 1001},
      {166833, 60000, 1001},
      {200000, 50, 1},
      {417084, 2500000, 104271},  // no such rate: 10^7 over the frame time, reduced
      {10000001, 10000000, 10000001},
      {3, 3333333, 1},
  };
  for (const Case &c : cases) {
    int num = 0, den = 0;
    VideoWriter::FrameRate(c.frameTime, &num, &den);
    EXPECT_EQ(c.num, num) << c.frameTime;
    EXPECT_EQ(c.den, den) << c.frameTime;
  }
}

TEST_F(SinksTest, VideoWriter_WritesY4mForYuvAndRawForTheRest) {
  if (!ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  struct Case {
    const char *subtype;
    VideoWriter::Container container;
    const char *header;  // null: raw
    const char *pixFmt;  // what ffmpeg turns the .y4m back into
    int frameBytes;
  } cases[] = {
      {"RGB32", VideoWriter::Container::Auto, nullptr, nullptr, 128},
      {"YV12", VideoWriter::Container::Raw, nullptr, nullptr, 48},
      {"I420", VideoWriter::Container::Auto, "YUV4MPEG2 W8 H4 F25:1 Ip A1:1 C420jpeg\n", "yuv420p", 48},
      {"YUY2", VideoWriter::Container::Auto, "YUV4MPEG2 W8 H4 F25:1 Ip A1:1 C422\n", "yuyv422", 64},
      {"YV12", VideoWriter::Container::Auto, "YUV4MPEG2 W8 H4 F25:1 Ip A1:1 C420jpeg\n", "yuv420p", 48},
  };
  int index = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.subtype) + (c.header ? " y4m" : " raw"));
    if (!graph) NewGraph();
    const std::string path = (Dir() / ("video" + std::to_string(index++))).string();
    HRESULT hr = E_FAIL;
    VideoWriter *writer = VideoWriter::Create(path, c.container, &hr);
    ASSERT_EQ(S_OK, hr);
    NoClock();
    ASSERT_EQ(S_OK, Feed(std::string("video 3 ") + c.subtype + " 8 4\n", writer));
    EXPECT_EQ(EC_COMPLETE, RunToEnd());
    EXPECT_EQ(3, writer->FramesWritten());
    EXPECT_EQ(c.header != nullptr, writer->WritesY4m());
    Dismantle();
    writer->Release();

    std::vector<uint8_t> expected = SourceBytes(3, c.frameBytes);
    if (std::string(c.subtype) == "YV12" && c.header) {
      // ffmpeg reads the planes back as Y, U, V; YV12 holds Y, V, U.
      for (int n = 0; n < 3; ++n)
        std::swap_ranges(expected.begin() + n * 48 + 32, expected.begin() + n * 48 + 40,
                         expected.begin() + n * 48 + 40);
    }
    const std::vector<uint8_t> written = ff::ReadFileBytes(path);
    if (!c.header) {
      EXPECT_EQ(expected, written);
      continue;
    }
    const std::string text(written.begin(), written.end());
    EXPECT_EQ(0u, text.find(c.header));
    const std::string back = path + ".raw";
    ASSERT_TRUE(ff::RunFfmpeg("-v error -f yuv4mpegpipe -i " + ff::ShellQuote(path) + " -f rawvideo -pix_fmt " +
                              c.pixFmt + " -y " + ff::ShellQuote(back)));
    EXPECT_EQ(expected, ff::ReadFileBytes(back));
  }
}

TEST_F(SinksTest, WavWriter_HeaderIsRightAtTheEndAndAfterAnEarlyStop) {
  if (!ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  struct Case {
    int blocks;
    bool stopEarly;
  } cases[] = {{5, false}, {1000, true}};
  int index = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.blocks);
    if (!graph) NewGraph();
    const std::string path = (Dir() / ("audio" + std::to_string(index++) + ".wav")).string();
    HRESULT hr = E_FAIL;
    WavWriter *writer = WavWriter::Create(path, &hr);
    ASSERT_EQ(S_OK, hr);
    ASSERT_EQ(S_OK, Feed("audio " + std::to_string(c.blocks) + "\n", writer));
    if (!c.stopEarly) {
      NoClock();
      EXPECT_EQ(EC_COMPLETE, RunToEnd());
    } else {
      // 20 s of audio in real time, stopped after a bounded wait, as an
      // interrupt would.
      writer->SetRealTime(true);
      Watchdog watchdog(std::chrono::seconds(30));
      ASSERT_EQ(S_OK, control->Run());
      LONG code = 0;
      EXPECT_EQ(E_ABORT, events->WaitForCompletion(300, &code));
      ASSERT_EQ(S_OK, control->Stop());
    }
    const LONGLONG bytes = writer->BytesWritten();
    Dismantle();
    writer->Release();
    const std::vector<uint8_t> file = ff::ReadFileBytes(path);
    ASSERT_GE(file.size(), 44u);
    EXPECT_EQ(file.size() - 8, U32(file, 4));  // RIFF size
    EXPECT_EQ(16u, U32(file, 16));             // plain PCM: a 16-byte "fmt "
    EXPECT_EQ(static_cast<uint32_t>(bytes), U32(file, 40));
    EXPECT_EQ(file.size(), 44 + static_cast<size_t>(bytes));
    if (c.stopEarly) {
      EXPECT_GT(bytes, 0);
      EXPECT_LT(bytes, c.blocks * tp::test::kGraphAudioBlockBytes);
    } else {
      EXPECT_EQ(c.blocks * tp::test::kGraphAudioBlockBytes, bytes);
    }
    // ffmpeg reads exactly the samples that were delivered.
    const std::string back = path + ".pcm";
    ASSERT_TRUE(ff::RunFfmpeg("-v error -i " + ff::ShellQuote(path) + " -f s16le -y " + ff::ShellQuote(back)));
    const std::vector<uint8_t> pcm = ff::ReadFileBytes(back);
    const std::vector<uint8_t> sent = SourceBytes(c.blocks, tp::test::kGraphAudioBlockBytes);
    ASSERT_EQ(static_cast<size_t>(bytes), pcm.size());
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), sent.begin()));
  }
}

TEST_F(SinksTest, RealTime_PresentsOnTheClockAndReportsLateVideo) {
  struct Case {
    int slowdownMs;
    bool expectLate;
  } cases[] = {{0, false}, {70, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.slowdownMs);
    if (!graph) NewGraph();
    DiscardRenderer *video = DiscardRenderer::Create(MEDIATYPE_Video);
    video->SetRealTime(true);
    video->SetSlowdown(std::chrono::milliseconds(c.slowdownMs));
    ASSERT_EQ(S_OK, Feed("video 10\n", video));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(EC_COMPLETE, RunToEnd());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    // Ten 40 ms frames end no sooner than the last one's stop time.
    EXPECT_GE(seconds, 0.39);
    const auto stats = video->GetStats();
    EXPECT_EQ(10, stats.rendered);
    IGraphTestSource *probe = nullptr;
    ASSERT_EQ(S_OK, source->QueryInterface(IID_IGraphTestSource, reinterpret_cast<void **>(&probe)));
    if (c.expectLate) {
      // 70 ms per 40 ms frame: lateness grows with every frame.
      EXPECT_GT(stats.late, 0);
      EXPECT_EQ(stats.late, probe->QualityMessages(u"Video"));
    }
    probe->Release();
    Dismantle();
    video->Release();
  }
}

// A renderer that drops what comes more than a frame late (as the player's
// video renderer does): dropped frames are not rendered, are counted, and
// are reported upstream as late as any other.
class DroppingSink final : public tp::sinks::SinkBase {
 public:
  DroppingSink() : SinkBase(GUID_NULL, TEXT("In")) { AddRef(); }
  std::atomic<int> consumed{0};

 protected:
  HRESULT CheckMediaType(const AM_MEDIA_TYPE *) override { return S_OK; }
  HRESULT Consume(IMediaSample *, const BYTE *, LONG) override {
    ++consumed;
    return S_OK;
  }
  bool DropLate(REFERENCE_TIME lateness, REFERENCE_TIME start, REFERENCE_TIME stop) override {
    return lateness > stop - start;
  }
};

TEST_F(SinksTest, RealTime_DroppedFramesAreCountedAndReported) {
  auto *video = new DroppingSink();
  video->SetRealTime(true);
  // 70 ms per 40 ms frame: every other frame or so falls a frame behind.
  video->SetSlowdown(std::chrono::milliseconds(70));
  ASSERT_EQ(S_OK, Feed("video 20\n", video));
  EXPECT_EQ(EC_COMPLETE, RunToEnd());
  const auto stats = video->GetStats();
  EXPECT_GT(stats.dropped, 0);
  EXPECT_GT(stats.rendered, 0);
  EXPECT_EQ(20, stats.rendered + stats.dropped);
  EXPECT_EQ(stats.rendered, video->consumed.load());
  IGraphTestSource *probe = nullptr;
  ASSERT_EQ(S_OK, source->QueryInterface(IID_IGraphTestSource, reinterpret_cast<void **>(&probe)));
  EXPECT_GE(stats.late, stats.dropped);
  EXPECT_EQ(stats.late, probe->QualityMessages(u"Video"));
  probe->Release();
  Dismantle();
  video->Release();
}

// The sound clock reads what the device has played: buffers that arrive
// before the sound runs out play back to back; a buffer that comes late
// leaves the clock waiting; a reset starts from the next buffer's stamp.
TEST(SoundClock, ReadsTheSoundConsumed) {
  struct Step {
    char op;  // 'q': queue `frames` at `at` with `stamp`; 'r': read at `at`; 'x': reset
    REFERENCE_TIME at, stamp;
    LONGLONG frames;
    REFERENCE_TIME expected;  // for 'r'; -1: nothing to read yet
  };
  const Step steps[] = {
      {'r', 0, 0, 0, -1},
      {'q', 100000, 0, 80, 0},  // 10 ms at 8,000 Hz, stamped 0, arrives at 10 ms
      {'r', 100000, 0, 0, 0},
      {'r', 150000, 0, 0, 50000},
      {'q', 150000, 0, 80, 0},  // queued behind the first buffer: no pause
      {'r', 250000, 0, 0, 150000},
      {'r', 400000, 0, 0, 200000},  // ran dry at 20 ms of sound: the clock waits
      {'q', 400000, 0, 800, 0},     // and goes on from there
      {'r', 500000, 0, 0, 300000},
      {'x', 0, 0, 0, 0},
      {'r', 600000, 0, 0, -1},
      {'q', 600000, 50000000, 800, 0},  // after a seek to 5 s
      {'r', 650000, 0, 0, 50050000},
  };
  tp::sinks::SoundClock clock;
  for (const Step &s : steps) {
    SCOPED_TRACE(s.at);
    REFERENCE_TIME position = -1;
    if (s.op == 'q') clock.Queue(s.at, s.stamp, s.frames, 8000);
    if (s.op == 'x') clock.Reset();
    if (s.op == 'r') {
      EXPECT_EQ(clock.Read(s.at, &position), s.expected >= 0);
      if (s.expected >= 0) {
        EXPECT_EQ(position, s.expected);
      }
    }
  }
  // Two minutes of 1,102-frame buffers at 22,050 Hz, stamped to the whole
  // millisecond as a movie time scale of 1,000 gives them and arriving at
  // their stamps: the clock keeps to the sound, with no rounding piling up.
  tp::sinks::SoundClock exact;
  for (LONGLONG k = 0; k < 2400; ++k) {
    const REFERENCE_TIME stamp = (k * 1102 * 1000 + 11025) / 22050 * 10000;
    exact.Queue(stamp, stamp, 1102, 22050);
  }
  REFERENCE_TIME at120 = 0;
  ASSERT_TRUE(exact.Read(1199000000, &at120));
  EXPECT_NEAR(static_cast<double>(at120), 1199000000.0, 5000.0);
}

TEST_F(SinksTest, EachSinkRefusesWhatItCannotWrite) {
  HRESULT hr = S_OK;
  EXPECT_EQ(nullptr, WavWriter::Create(Dir() / "missing" / "x.wav", &hr));
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(nullptr, VideoWriter::Create(Dir() / "missing" / "x.y4m", VideoWriter::Container::Auto, &hr));
  EXPECT_TRUE(FAILED(hr));

  WavWriter *wav = WavWriter::Create(Dir() / "v.wav", &hr);
  VideoWriter *y4m = VideoWriter::Create(Dir() / "a.y4m", VideoWriter::Container::Auto, &hr);
  DiscardRenderer *audioOnly = DiscardRenderer::Create(MEDIATYPE_Audio);
  ASSERT_TRUE(wav && y4m && audioOnly);
  // Pin 1 is video, pin 2 audio.
  EXPECT_TRUE(FAILED(Feed("video 2\naudio 2\n", wav, u"1")));
  EXPECT_TRUE(FAILED(Feed("", audioOnly, u"1")));
  EXPECT_TRUE(FAILED(Feed("", y4m, u"2")));
  wav->Release();
  y4m->Release();
  audioOnly->Release();
}

}  // namespace
