// Lateness reported on the video pin delays the audio stream; and a track
// whose time scale is 0 gives a stream that ends at once.
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

// A video track whose time scale is 0 and which would give frames for ever.
class ZeroScaleTrack : public IMediaExtraction {
 public:
  LONG ExtractionBegin() override { return 0; }
  LONG GetNextSample(BYTE *buffer, LONG *size, LONGLONG *start, LONGLONG *duration) override {
    *start = next++;
    *duration = 1;
    return 0;
  }
  LONG ExtractionEnd() override { return 0; }
  LONGLONG GetDuration() override { return 1000; }
  LONG GetTimeScale() override { return 0; }
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
  LONGLONG next = 0;
};

class HostFilter : public CSource {
 public:
  HostFilter() : CSource(TEXT("HostFilter"), nullptr, CLSID_Tidepool) {}
};

TEST_F(LatenessTest, ZeroTimeScale_DurationZero_StreamEndsAtOnce) {
  ZeroScaleTrack track;
  auto *host = new HostFilter;
  host->NonDelegatingAddRef();
  HRESULT hr = E_FAIL;
  auto *video = new CVideoSourceStream(TEXT("CVideoSourceStream"), host, &hr, TEXT("Video"), &track);
  ASSERT_EQ(hr, S_OK);
  LONGLONG duration = -1;
  Seeking(video)->GetDuration(&duration);
  EXPECT_EQ(duration, 0);
  REFERENCE_TIME start = 10000000;
  EXPECT_EQ(Seeking(video)->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
  CMediaType mt;
  ASSERT_EQ(video->GetMediaType(0, &mt), S_OK);
  ASSERT_EQ(video->Connect(peers[0], &mt), S_OK);
  ASSERT_EQ(host->Run(0), S_OK);
  ASSERT_TRUE(peers[0]->WaitForEndOfStream());
  EXPECT_TRUE(peers[0]->Received().empty());
  EXPECT_EQ(track.next, 0) << "the track is not asked for samples it cannot time";
  host->Stop();
  video->Disconnect();
  peers[0]->Disconnect();
  host->NonDelegatingRelease();
}

}  // namespace
}  // namespace tp::test
