// Every frame and every sample to the end, through the pins: movies at time
// scales that 10,000,000 does not divide, long enough that a truncated
// factor would cut their ends off or let the sound's stamps drift, against
// ffprobe's packet count and ffmpeg's decode.
#include <cmath>
#include <cstdlib>

#include "FilterTestSupport.h"
#include "support/AudioTestMovies.h"

namespace tp::test {
namespace {

using namespace std::chrono_literals;

class ExactTimesTest : public FilterTest {
 protected:
  // Runs the filter until the connected pin's peer has its end of stream.
  std::vector<ReceivedSample> RunToEnd(TestInputPin *peer) {
    EXPECT_EQ(filter->Run(0), S_OK);
    EXPECT_TRUE(peer->WaitForEndOfStream(1, 120s));
    filter->Stop();
    return peer->Received();
  }
  static REFERENCE_TIME PinDuration(CBasePin *pin) {
    LONGLONG duration = -1, stop = -1;
    Seeking(pin)->GetDuration(&duration);
    Seeking(pin)->GetStopPosition(&stop);
    EXPECT_EQ(duration, stop);
    return duration;
  }
  // One sample's stop is the next one's start.
  static void ExpectGapFree(const std::vector<ReceivedSample> &got) {
    size_t gaps = 0;
    for (size_t i = 1; i < got.size(); ++i) gaps += got[i].start != got[i - 1].stop;
    EXPECT_EQ(gaps, 0u);
  }
};

struct VideoCase {
  const char *name;
  const char *args;
  LONG timeScale;            // the track's, as the movie stores it
  REFERENCE_TIME frameTime;  // AvgTimePerFrame; 0: not checked
  REFERENCE_TIME slack;      // allowed on it
};

class ExactVideo : public ExactTimesTest, public ::testing::WithParamInterface<VideoCase> {};

// Each movie is long enough for the old truncated factor to lose at least
// its last frame (the .264 loses four in 4.8 s; 25 fps one in 125 s).
TEST_P(ExactVideo, EveryFrameDelivered_FrameTimeExact) {
  const VideoCase &c = GetParam();
  const std::string file = Movie(c.name, c.args);
  ASSERT_FALSE(file.empty());
  const std::vector<ff::ProbeStream> streams = ff::ProbeFile(file);
  ASSERT_FALSE(streams.empty());
  const size_t packets = streams[0].packets.size();

  ASSERT_EQ(Load(file), S_OK);
  CVideoSourceStream *video = Video();
  ASSERT_NE(video, nullptr);
  {
    CQTAVExtraction session(Wide(file).c_str());
    ASSERT_NE(session.GetVideoExtraction(), nullptr);
    EXPECT_EQ(session.GetVideoExtraction()->GetTimeScale(), c.timeScale);
  }
  CMediaType mt;
  ASSERT_EQ(video->GetMediaType(0, &mt), S_OK);
  const auto *vih = reinterpret_cast<const VIDEOINFOHEADER *>(mt.Format());
  if (c.frameTime > 0) {
    EXPECT_NEAR(vih->AvgTimePerFrame, c.frameTime, c.slack);
  }
  const REFERENCE_TIME duration = PinDuration(video);

  ASSERT_EQ(ConnectVideo(MEDIASUBTYPE_YV12), S_OK);
  const std::vector<ReceivedSample> got = RunToEnd(peers[0]);
  EXPECT_EQ(got.size(), packets);
  ASSERT_FALSE(got.empty());
  ExpectGapFree(got);
  // The pin ends where its last frame does: the track's end, which a movie
  // time scale of 1,000 (the edit's length) may round up by under 1 ms.
  EXPECT_NEAR(static_cast<double>(got.back().stop), static_cast<double>(duration), 10000.0);
}

INSTANTIATE_TEST_SUITE_P(
    TimeScales, ExactVideo,
    ::testing::Values(
        VideoCase{"raw.264", "-f lavfi -i testsrc=size=64x48:rate=25 -t 4.8 -c:v libx264 -g 25 -f h264", 1200000, 0, 0},
        VideoCase{"film.mp4", "-f lavfi -i testsrc=size=64x48:rate=24000/1001 -t 30 -c:v libx264 -bf 2 -g 48", 24000,
                  417083, 1},
        VideoCase{"pal.mp4", "-f lavfi -i testsrc=size=64x48:rate=25 -t 130 -c:v libx264 -bf 2 -g 250", 12800, 400000,
                  0},
        VideoCase{"clip.mp4", "-f lavfi -i testsrc=size=64x48:rate=25 -t 0.6 -c:v libx264", 12800, 400000, 0},
        VideoCase{"ntsc.mp4", "-f lavfi -i testsrc=size=64x48:rate=30000/1001 -t 40 -c:v libx264 -bf 2 -g 60", 30000,
                  333667, 1},
        VideoCase{"ts90k.mov",
                  "-f lavfi -i testsrc=size=64x48:rate=30 -t 40 -c:v libx264 -g 60 -video_track_timescale 90000", 90000,
                  333333, 1}),
    [](const ::testing::TestParamInfo<VideoCase> &info) { return "case" + std::to_string(info.index); });

struct SoundCase {
  const char *name;
  const char *args;
  int rate;
  bool countsEqual;  // the pin delivers all of ffmpeg's decode
};

class ExactSound : public ExactTimesTest, public ::testing::WithParamInterface<SoundCase> {};

// Each buffer lasts what it holds, to within one movie time unit, without
// drift: the last stop is the sound delivered. (The old grid of 1/20 s ran
// 54 ms ahead of 22,050 Hz sound after 120 s, and the pin stopped short.)
TEST_P(ExactSound, EveryPcmFrameDelivered_BuffersTimedByWhatTheyHold) {
  const SoundCase &c = GetParam();
  const std::string file = Movie(c.name, c.args);
  ASSERT_FALSE(file.empty());
  LONG scale = 0;
  {
    CQTAVExtraction session(Wide(file).c_str());
    ASSERT_NE(session.GetAudioExtraction(), nullptr);
    scale = session.GetAudioExtraction()->GetTimeScale();
  }
  ASSERT_GT(scale, 0);
  const REFERENCE_TIME unit = (10000000 + scale - 1) / scale;

  ASSERT_EQ(Load(file), S_OK);
  ASSERT_NE(Audio(), nullptr);
  ASSERT_EQ(ConnectAudio(), S_OK);
  const std::vector<ReceivedSample> got = RunToEnd(peers[1]);
  ASSERT_FALSE(got.empty());
  LONGLONG frames = 0;
  size_t mismatched = 0;
  for (const ReceivedSample &s : got) {
    const LONGLONG held = s.length / 4;
    const double heldTime = static_cast<double>(held) * 1e7 / c.rate;
    mismatched += std::abs(static_cast<double>(s.stop - s.start) - heldTime) > static_cast<double>(unit);
    frames += held;
  }
  EXPECT_EQ(mismatched, 0u) << "buffers whose duration is not what they hold";
  ExpectGapFree(got);
  EXPECT_NEAR(static_cast<double>(got.back().stop), static_cast<double>(frames) * 1e7 / c.rate, 10000.0)
      << "the last stop is not the sound delivered";
  if (c.countsEqual) {
    const std::vector<int16_t> reference = FfmpegDecodeS16(file, "-ac 2");
    EXPECT_EQ(frames, static_cast<LONGLONG>(reference.size() / 2));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, ExactSound,
    ::testing::Values(
        SoundCase{"tone.aiff", "-f lavfi -i sine=sample_rate=22050:duration=4 -ac 2 -c:a pcm_s16be -f aiff", 22050,
                  true},
        SoundCase{"tone11k.mov", "-f lavfi -i sine=sample_rate=11025:duration=3 -c:a pcm_s16le", 11025, true},
        SoundCase{"tone44k.mov", "-f lavfi -i sine=sample_rate=44100:duration=3 -c:a pcm_s16le", 44100, true},
        // Ten minutes at a movie time scale of 1,000; the tiny picture sets
        // both pins' end.
        SoundCase{"long.mov",
                  "-f lavfi -i color=size=16x16:rate=1:duration=600 -f lavfi -i sine=sample_rate=22050:duration=600 "
                  "-c:v libx264 -g 600 -c:a aac -b:a 24k -ac 1",
                  22050, false}),
    [](const ::testing::TestParamInfo<SoundCase> &info) { return "case" + std::to_string(info.index); });

}  // namespace
}  // namespace tp::test
