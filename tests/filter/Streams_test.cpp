// The "Video" and "Audio" pins streaming a real movie into recording peers:
// what they deliver against what the engine gives for the same movie, and
// how seek, stop and rate commands restart them.
#include <algorithm>
#include <thread>

#include "FilterTestSupport.h"

namespace tp::test {
namespace {

class StreamsTest : public FilterTest {};

// How many of a track's samples a stream stopping at the track's own
// duration delivers: each is filled while the position, the previous
// sample's end, has not passed the stop.
size_t ExpectedCount(const TrackOutput &t) {
  const REFERENCE_TIME stop = ExactTime(t.duration, t.timeScale);
  REFERENCE_TIME position = 0;
  size_t n = 0;
  while (n < t.samples.size() && position <= stop) {
    const Stamp s = StampOf(t.samples[n++], t.timeScale, 0, 1.0);
    position = s.stop;
  }
  return n;
}
class VideoSubtypes : public FilterTest, public ::testing::WithParamInterface<GUID> {};

TEST_P(VideoSubtypes, Deliver_EqualsEngineBytesAndStampedTimes) {
  const std::string file = AvMovie();
  ASSERT_FALSE(file.empty());
  const TrackOutput engine = EngineOutput(file, true, GetParam());
  ASSERT_GT(engine.samples.size(), 10u);

  ASSERT_EQ(Load(file), S_OK);
  peers[0]->keepData = true;
  ASSERT_EQ(ConnectVideo(GetParam()), S_OK);
  ASSERT_EQ(filter->Run(0), S_OK);
  ASSERT_TRUE(peers[0]->WaitForEndOfStream());

  // The video track is the shorter one: the stream delivers while the end
  // of the previous frame has not passed the track's duration.
  const auto got = peers[0]->Received();
  ASSERT_EQ(got.size(), ExpectedCount(engine));
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(got[i].data == engine.samples[i].bytes) << "frame bytes differ";
    const Stamp expected = StampOf(engine.samples[i], engine.timeScale, 0, 1.0);
    EXPECT_EQ(got[i].start, expected.start);
    EXPECT_EQ(got[i].stop, expected.stop);
    EXPECT_TRUE(got[i].syncPoint);
    EXPECT_EQ(got[i].discontinuity, i == 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Seven, VideoSubtypes, ::testing::ValuesIn(SevenSubtypes()),
                         [](const ::testing::TestParamInfo<GUID> &info) {
                           return "subtype" + std::to_string(info.index);
                         });

TEST_F(StreamsTest, Audio_PcmEqualsEngine_TimesFollowWithoutGap) {
  const std::string file = AvMovie();
  const TrackOutput engine = EngineOutput(file, false);
  ASSERT_GT(engine.samples.size(), 10u);
  ASSERT_EQ(Load(file), S_OK);
  peers[1]->keepData = true;
  ASSERT_EQ(ConnectAudio(), S_OK);
  ASSERT_EQ(filter->Run(0), S_OK);
  ASSERT_TRUE(peers[1]->WaitForEndOfStream());

  std::vector<BYTE> expected, delivered;
  for (const TrackSample &s : engine.samples) expected.insert(expected.end(), s.bytes.begin(), s.bytes.end());
  const auto got = peers[1]->Received();
  ASSERT_FALSE(got.empty());
  for (const ReceivedSample &r : got) delivered.insert(delivered.end(), r.data.begin(), r.data.end());
  // The audio stream was cut to the video's 2 s: what it gave is the head
  // of the engine's PCM.
  ASSERT_LE(delivered.size(), expected.size());
  EXPECT_TRUE(std::equal(delivered.begin(), delivered.end(), expected.begin()));
  EXPECT_EQ(got.front().start, 0);
  for (size_t i = 1; i < got.size(); ++i) EXPECT_EQ(got[i].start, got[i - 1].stop) << "gap before block " << i;
  LONGLONG stop = 0;
  Seeking(Audio())->GetStopPosition(&stop);
  EXPECT_LE(got.back().start, stop);
  EXPECT_GT(got.back().stop, stop - 1000000) << "the stream ends near its stop";
}

// Seek commands while the pin streams; the peer holds the stream in Receive
// until the command is given, so the command lands mid-stream.
struct SeekCase {
  const char *name;
  bool video;
  double startSeconds;  // < 0: start not set
  double stopSeconds;   // < 0: stop not set
  double rate;          // 0: rate not set
};

class SeekWhileRunning : public FilterTest, public ::testing::WithParamInterface<SeekCase> {};

TEST_P(SeekWhileRunning, FlushNewSegmentDiscontinuity_TimesRelativeToStartOverRate) {
  const SeekCase &c = GetParam();
  const std::string file = AvMovie();
  const TrackOutput engine = c.video ? EngineOutput(file, true, MEDIASUBTYPE_RGB24) : TrackOutput{};
  ASSERT_EQ(Load(file), S_OK);
  TestInputPin *peer = peers[c.video ? 0 : 1];
  CBaseSourceStream *stream = c.video ? static_cast<CBaseSourceStream *>(Video()) : Audio();
  ASSERT_EQ(c.video ? ConnectVideo(MEDIASUBTYPE_RGB24) : ConnectAudio(), S_OK);
  IMediaSeeking *seeking = Seeking(stream);
  peer->blockReceive = true;
  ASSERT_EQ(filter->Run(0), S_OK);
  ASSERT_TRUE(peer->WaitUntilBlocked());

  REFERENCE_TIME start = 0, stop = 0;
  seeking->GetPositions(&start, &stop);
  const double rate = c.rate > 0 ? c.rate : 1.0;
  if (c.rate > 0) {
    ASSERT_EQ(seeking->SetRate(c.rate), S_OK);
  } else {
    if (c.startSeconds >= 0) start = static_cast<REFERENCE_TIME>(c.startSeconds * 1e7);
    if (c.stopSeconds >= 0) stop = static_cast<REFERENCE_TIME>(c.stopSeconds * 1e7);
    ASSERT_EQ(seeking->SetPositions(&start, c.startSeconds >= 0 ? AM_SEEKING_AbsolutePositioning : 0, &stop,
                                    c.stopSeconds >= 0 ? AM_SEEKING_AbsolutePositioning : 0),
              S_OK);
  }
  peer->Unblock();
  ASSERT_TRUE(peer->WaitForEndOfStream());

  const auto calls = peer->log.Only({"BeginFlush", "EndFlush", "NewSegment", "EndOfStream"});
  const std::vector<std::string> restarted = {"NewSegment", "BeginFlush", "EndFlush", "NewSegment", "EndOfStream"};
  EXPECT_EQ(calls, restarted);
  const auto segments = peer->Segments();
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[1].start, start);
  EXPECT_EQ(segments[1].stop, stop);
  EXPECT_EQ(segments[1].rate, rate);

  std::vector<ReceivedSample> after;
  for (ReceivedSample &r : peer->Received()) {
    if (r.segment == 2) after.push_back(std::move(r));
  }
  ASSERT_FALSE(after.empty());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_TRUE(after[i].syncPoint);
    EXPECT_EQ(after[i].discontinuity, i == 0) << i;
    if (i > 0) {
      EXPECT_GE(after[i].start, after[i - 1].start);
    }
  }
  // After a seek, the new segment's first sample lies within one sample of
  // the new start.
  if (c.startSeconds >= 0) {
    EXPECT_LE(std::abs(after.front().start), static_cast<REFERENCE_TIME>(1000000 / rate)) << after.front().start;
  }
  if (c.video) {
    // Every frame of the segment is the engine's, stamped against the new
    // start and divided by the rate, in order.
    size_t k = 0;
    while (k < engine.samples.size() && !(StampOf(engine.samples[k], engine.timeScale, start, rate) ==
                                          Stamp{after.front().start, after.front().stop}))
      ++k;
    ASSERT_LT(k, engine.samples.size()) << "first frame not found among the engine's";
    for (size_t i = 0; i < after.size() && k + i < engine.samples.size(); ++i) {
      const Stamp s = StampOf(engine.samples[k + i], engine.timeScale, start, rate);
      EXPECT_EQ(after[i].start, s.start) << i;
      EXPECT_EQ(after[i].stop, s.stop) << i;
    }
  } else {
    for (size_t i = 1; i < after.size(); ++i) EXPECT_EQ(after[i].start, after[i - 1].stop) << i;
    // A 1/20 s block lasts 0.05 s / rate.
    EXPECT_EQ(after.front().stop - after.front().start, static_cast<REFERENCE_TIME>(500000 / rate));
  }
  // Nothing at or past the stop is delivered beyond the sample that crosses it.
  EXPECT_LE(after.back().start, static_cast<REFERENCE_TIME>((stop - start) / rate));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SeekWhileRunning,
    ::testing::Values(SeekCase{"VideoStart", true, 0.5, -1, 0}, SeekCase{"VideoBoth", true, 0.8, 1.2, 0},
                      SeekCase{"VideoRateHalf", true, -1, -1, 0.5}, SeekCase{"VideoRateDouble", true, -1, -1, 2.0},
                      SeekCase{"AudioStart", false, 1.0, -1, 0}, SeekCase{"AudioBoth", false, 0.5, 1.5, 0},
                      SeekCase{"AudioRateHalf", false, -1, -1, 0.5}, SeekCase{"AudioRateDouble", false, -1, -1, 2.0}),
    [](const ::testing::TestParamInfo<SeekCase> &info) { return std::string(info.param.name); });

// A stop moved below the position restarts the worker (flush, new segment,
// end of stream at once); moved above it, the stream just runs on to it.
TEST_F(StreamsTest, StopOnly_BelowPositionRestarts_AboveDoesNot) {
  const std::string file = AvMovie();
  for (const bool below : {true, false}) {
    SCOPED_TRACE(below ? "below" : "above");
    if (filter) TearDown(), SetUp();
    ASSERT_EQ(Load(file), S_OK);
    ASSERT_EQ(ConnectVideo(MEDIASUBTYPE_RGB32), S_OK);
    IMediaSeeking *seeking = Seeking(Video());
    peers[0]->blockReceive = true;
    peers[0]->lingerInFlush = std::chrono::milliseconds(300);
    ASSERT_EQ(filter->Run(0), S_OK);
    ASSERT_TRUE(peers[0]->WaitUntilBlocked());  // the first frame, at 0
    // The position is past the first frame's end (0.04 s) once it is filled.
    REFERENCE_TIME stop = below ? 100000 : 10000000;
    ASSERT_EQ(seeking->SetPositions(nullptr, 0, &stop, AM_SEEKING_AbsolutePositioning), S_OK);
    peers[0]->Unblock();
    ASSERT_TRUE(peers[0]->WaitForEndOfStream());
    const auto calls = peers[0]->log.Only({"BeginFlush", "EndFlush", "NewSegment", "EndOfStream"});
    if (below) {
      EXPECT_EQ(calls, (std::vector<std::string>{"NewSegment", "BeginFlush", "EndFlush", "NewSegment", "EndOfStream"}));
      const auto segments = peers[0]->Segments();
      ASSERT_EQ(segments.size(), 2u);
      EXPECT_EQ(segments[1].stop, stop);
      for (const ReceivedSample &r : peers[0]->Received()) EXPECT_EQ(r.segment, 1) << "no sample after the restart";
    } else {
      EXPECT_EQ(calls, (std::vector<std::string>{"NewSegment", "EndOfStream"}));
      const auto got = peers[0]->Received();
      ASSERT_FALSE(got.empty());
      EXPECT_LE(got.back().start, stop);
      EXPECT_GE(got.back().stop, stop);  // the frame at the stop is still delivered
    }
  }
}

// Stop then Run again, with no seek in between: each pin plays from the seek
// start once more, the same bytes at the same times as the first run.
TEST_F(StreamsTest, StopThenRun_PlaysFromTheStartAgain) {
  ASSERT_EQ(Load(AvMovie()), S_OK);
  peers[0]->keepData = peers[1]->keepData = true;
  ASSERT_EQ(ConnectVideo(MEDIASUBTYPE_YV12), S_OK);
  ASSERT_EQ(ConnectAudio(), S_OK);
  for (int run = 1; run <= 2; ++run) {
    ASSERT_EQ(filter->Run(0), S_OK);
    for (TestInputPin *peer : peers) ASSERT_TRUE(peer->WaitForEndOfStream(run));
    ASSERT_EQ(filter->Stop(), S_OK);
  }
  for (TestInputPin *peer : peers) {
    const auto got = peer->Received();
    const auto second = std::find_if(got.begin(), got.end(), [](const ReceivedSample &r) { return r.segment == 2; });
    const auto firstCount = static_cast<size_t>(second - got.begin());
    ASSERT_GT(firstCount, 0u);
    ASSERT_EQ(got.size(), 2 * firstCount);
    for (size_t i = 0; i < firstCount; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(got[firstCount + i].start, got[i].start);
      EXPECT_EQ(got[firstCount + i].stop, got[i].stop);
      EXPECT_TRUE(got[firstCount + i].data == got[i].data) << "sample bytes differ";
    }
  }
}

}  // namespace
}  // namespace tp::test

namespace tp::test {
namespace {

// What each pin offers and accepts.
struct TypeCase {
  const char *name;
  bool video;
  GUID major, sub, format;
  ULONG blockBytes;  // of a zeroed block (0: none)
  HRESULT expected;
};

class MediaTypes : public FilterTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(MediaTypes, CheckMediaType) {
  const TypeCase &c = GetParam();
  ASSERT_EQ(Load(AvMovie()), S_OK);
  CMediaType mt;
  mt.SetType(&c.major);
  mt.SetSubtype(&c.sub);
  mt.SetFormatType(&c.format);
  if (c.blockBytes) {
    std::vector<BYTE> block(c.blockBytes);
    if (c.video && c.blockBytes >= sizeof(VIDEOINFOHEADER)) {
      reinterpret_cast<VIDEOINFOHEADER *>(block.data())->bmiHeader.biWidth = 999;  // not the movie's
    }
    ASSERT_TRUE(mt.SetFormat(block.data(), c.blockBytes));
  }
  CBasePin *pin = c.video ? static_cast<CBasePin *>(Video()) : Audio();
  EXPECT_EQ(pin->CheckMediaType(&mt), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Pins, MediaTypes,
    ::testing::Values(
        TypeCase{"VideoRgb32OtherWidth", true, MEDIATYPE_Video, MEDIASUBTYPE_RGB32, FORMAT_VideoInfo, 88, S_OK},
        TypeCase{"VideoInfo2Refused", true, MEDIATYPE_Video, MEDIASUBTYPE_RGB32, FORMAT_VideoInfo2, 112, E_INVALIDARG},
        TypeCase{"UyvyRefused", true, MEDIATYPE_Video, MEDIASUBTYPE_UYVY, FORMAT_VideoInfo, 88, E_INVALIDARG},
        TypeCase{"VideoNoBlock", true, MEDIATYPE_Video, MEDIASUBTYPE_YV12, FORMAT_VideoInfo, 0, E_INVALIDARG},
        // A block too short for its header would be read past its end.
        TypeCase{"VideoShortBlock", true, MEDIATYPE_Video, MEDIASUBTYPE_YV12, FORMAT_VideoInfo, 40, E_INVALIDARG},
        TypeCase{"AudioOtherRate", false, MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, 18, S_OK},
        TypeCase{"AudioFloatRefused", false, MEDIATYPE_Audio, MEDIASUBTYPE_IEEE_FLOAT, FORMAT_WaveFormatEx, 18,
                 E_INVALIDARG},
        TypeCase{"AudioNoBlock", false, MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, 0, E_INVALIDARG}),
    [](const ::testing::TestParamInfo<TypeCase> &info) { return std::string(info.param.name); });

TEST_F(StreamsTest, OfferedTypes_SevenVideoOneAudio_BuffersOfTheConnectedSize) {
  ASSERT_EQ(Load(AvMovie()), S_OK);
  CMediaType mt;
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(Video()->GetMediaType(i, &mt), S_OK);
    EXPECT_TRUE(IsEqualGUID(*mt.Subtype(), SevenSubtypes()[static_cast<size_t>(i)])) << i;
    EXPECT_EQ(mt.GetSampleSize(), reinterpret_cast<VIDEOINFOHEADER *>(mt.Format())->bmiHeader.biSizeImage);
  }
  EXPECT_EQ(Video()->GetMediaType(7, &mt), VFW_S_NO_MORE_ITEMS);
  EXPECT_EQ(Video()->GetMediaType(-1, &mt), E_INVALIDARG);
  ASSERT_EQ(Audio()->GetMediaType(0, &mt), S_OK);
  EXPECT_EQ(mt.FormatLength(), 18u);
  EXPECT_TRUE(IsEqualGUID(*mt.Subtype(), MEDIASUBTYPE_PCM));
  EXPECT_EQ(Audio()->GetMediaType(1, &mt), VFW_S_NO_MORE_ITEMS);

  ASSERT_EQ(ConnectVideo(MEDIASUBTYPE_RGB24), S_OK);
  ASSERT_EQ(ConnectAudio(), S_OK);
  EXPECT_EQ(peers[0]->NotifiedProperties().cbBuffer, 176 * 144 * 3);
  EXPECT_EQ(peers[0]->NotifiedProperties().cBuffers, 1);
  EXPECT_EQ(peers[1]->NotifiedProperties().cBuffers, 1);
  EXPECT_EQ(static_cast<ULONG>(peers[1]->NotifiedProperties().cbBuffer), mt.GetSampleSize());
}

}  // namespace
}  // namespace tp::test
