// Lateness reported on the video pin delays the audio stream; and a track
// whose time scale is 0 gives a stream that ends at once.
#include <limits>

#include <tidepool/Tidepool.h>

#include "FilterTestSupport.h"

namespace tp::test {
namespace {

Quality Late(REFERENCE_TIME late) {
  Quality q{};
  q.Type = Famine;
  q.Proportion = 1000;
  q.Late = late;
  return q;
}

struct LateCase {
  const char *name;
  REFERENCE_TIME late;
  bool waits;
};

class Lateness : public FilterTest, public ::testing::WithParamInterface<LateCase> {};

TEST_P(Lateness, AudioBuffersArriveAfterTheDelayOnlyBetweenOneAndTwoSeconds) {
  const LateCase &c = GetParam();
  ASSERT_EQ(Load(AvMovie()), S_OK);
  ASSERT_EQ(ConnectAudio(), S_OK);
  TraceLines trace;
  EXPECT_EQ(Video()->Notify(filter, Late(c.late)), S_OK);
  EXPECT_EQ(Audio()->Compensation(), c.late);
  const auto lines = trace.Take();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Video frame late(" + std::to_string(c.late) + ")"), lines.end());

  const size_t buffers = c.waits ? 3 : 20;
  ASSERT_EQ(filter->Run(0), S_OK);
  ASSERT_TRUE(peers[1]->WaitForReceived(buffers, std::chrono::seconds(10)));
  const auto got = peers[1]->Received();
  for (size_t i = 1; i < buffers; ++i) {
    const auto gap = got[i].arrival - got[i - 1].arrival;
    if (c.waits) {
      EXPECT_GE(gap, std::chrono::milliseconds(1400)) << i;
    } else {
      EXPECT_LT(gap, std::chrono::milliseconds(500)) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Delays, Lateness,
                         ::testing::Values(LateCase{"OneAndAHalfSeconds", 15000000, true},
                                           LateCase{"NineTenths", 9000000, false},
                                           LateCase{"TwoSeconds", 20000000, false}),
                         [](const ::testing::TestParamInfo<LateCase> &info) { return std::string(info.param.name); });

class LatenessTest : public FilterTest {};

TEST_F(LatenessTest, BelowThresholdIgnored_SeekOnAudioClears_NoAudioOnlyTraces) {
  ASSERT_EQ(Load(AvMovie()), S_OK);
  TraceLines trace;
  EXPECT_EQ(Video()->Notify(filter, Late(990000)), S_OK);  // 99 ms
  EXPECT_EQ(Audio()->Compensation(), 0);
  EXPECT_TRUE(trace.Take().empty());

  EXPECT_EQ(Video()->Notify(filter, Late(15000000)), S_OK);
  ASSERT_EQ(Audio()->Compensation(), 15000000);
  REFERENCE_TIME start = 5000000;
  ASSERT_EQ(Seeking(Audio())->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
  EXPECT_EQ(Audio()->Compensation(), 0);

  // The audio stream itself does not answer quality messages.
  EXPECT_EQ(Audio()->Notify(filter, Late(15000000)), E_NOTIMPL);

  TearDown();
  SetUp();
  ASSERT_EQ(Load(VideoOnlyMovie()), S_OK);
  trace.Take();
  EXPECT_EQ(Video()->Notify(filter, Late(15000000)), S_OK);
  EXPECT_EQ(trace.Take(), std::vector<std::string>{"Video frame late(15000000)"});
}

// A video track with a chosen time scale whose frames start at a chosen
// time, one unit apart, for ever.
class FakeTrack : public IMediaExtraction {
 public:
  FakeTrack(LONG scale, LONGLONG first) : timeScale(scale), next(first) {}
  LONG ExtractionBegin() override { return 0; }
  LONG GetNextSample(BYTE *buffer, LONG *size, LONGLONG *start, LONGLONG *duration) override {
    ++calls;
    *start = next++;
    *duration = 1;
    return 0;
  }
  LONG ExtractionEnd() override { return 0; }
  LONGLONG GetDuration() override { return 1000; }
  LONG GetTimeScale() override { return timeScale; }
  void SetPosition(LONGLONG *) override {}
  LONG FillMediaInfo(void *format, LONG size, const GUID *) override {
    auto *info = static_cast<VIDEOINFOHEADER *>(format);
    info->bmiHeader = {sizeof(BITMAPINFOHEADER), 16, 16, 1, 32, BI_RGB, 16 * 16 * 4, 0, 0, 0, 0};
    return 0;
  }
  LONG GetBufferSize() override { return 16 * 16 * 4; }
  void GetSupportedSubtypes(std::vector<GUID> *subtypes) override { subtypes->push_back(MEDIASUBTYPE_RGB32); }
  void SetOutputSubtype(const GUID *) override {}
  LONG MoveForward(LONGLONG *) override { return 0; }
  LONG SetSampleGrabber(IMediaSampleGrabber *) override { return 0; }
  LONG timeScale;
  LONGLONG next;
  int calls = 0;
};

class HostFilter : public CSource {
 public:
  HostFilter() : CSource(TEXT("HostFilter"), nullptr, CLSID_Tidepool) {}
};

struct FakeCase {
  const char *name;
  LONG timeScale;
  LONGLONG firstStart;
  double rate;
  REFERENCE_TIME duration;
  std::vector<REFERENCE_TIME> starts;  // of the samples delivered
};

class FakeTracks : public FilterTest, public ::testing::WithParamInterface<FakeCase> {};

// A time scale of 0 gives duration 0 and an end of stream without asking
// the track; times beyond the 64-bit range of 100 ns units are held at its
// end instead of overflowing, and the stream then ends.
TEST_P(FakeTracks, TimesStayDefined) {
  const FakeCase &c = GetParam();
  FakeTrack track(c.timeScale, c.firstStart);
  auto *host = new HostFilter;
  host->NonDelegatingAddRef();
  HRESULT hr = E_FAIL;
  auto *video = new CVideoSourceStream(TEXT("CVideoSourceStream"), host, &hr, TEXT("Video"), &track);
  ASSERT_EQ(hr, S_OK);
  LONGLONG duration = -1;
  Seeking(video)->GetDuration(&duration);
  EXPECT_EQ(duration, c.duration);
  EXPECT_EQ(video->SetRate(c.rate), S_OK);
  CMediaType mt;
  ASSERT_EQ(video->GetMediaType(0, &mt), S_OK);
  ASSERT_EQ(video->Connect(peers[0], &mt), S_OK);
  ASSERT_EQ(host->Run(0), S_OK);
  ASSERT_TRUE(peers[0]->WaitForEndOfStream());
  std::vector<REFERENCE_TIME> starts;
  for (const ReceivedSample &r : peers[0]->Received()) starts.push_back(r.start);
  EXPECT_EQ(starts, c.starts);
  EXPECT_EQ(track.calls, static_cast<int>(c.starts.size()));
  host->Stop();
  video->Disconnect();
  peers[0]->Disconnect();
  host->NonDelegatingRelease();
}

constexpr REFERENCE_TIME kMax = std::numeric_limits<REFERENCE_TIME>::max();
INSTANTIATE_TEST_SUITE_P(Tracks, FakeTracks,
                         ::testing::Values(FakeCase{"ZeroTimeScale", 0, 0, 1.0, 0, {}},
                                           FakeCase{"StartPastRange", 1, LONGLONG(1) << 62, 1.0, 10000000000, {kMax}},
                                           FakeCase{"TinyRate", 1000, 999, 1e-300, 10000000, {kMax, kMax}}),
                         [](const ::testing::TestParamInfo<FakeCase> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tp::test
