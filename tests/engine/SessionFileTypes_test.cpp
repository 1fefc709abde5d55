// The movie session against the real runtime, once for every movie file
// extension: a short file of that type is made at test time, opened, and its
// tracks and times compared with what ffprobe reports for the same file.
#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include <gtest/gtest.h>

#include "EngineTestEnv.h"
#include "engine/CQTAVExtraction.h"
#include "engine/IMediaExtraction.h"
#include "engine/QuickTimeBinding.h"
#include "support/FfmpegTools.h"
#include "support/MovieFileTypes.h"

using namespace enginetest;
using namespace tp::test;

namespace {

// ffprobe's view of one stream: its length in seconds and the longest packet.
// The length is the one the container states, or the sum of the packets
// where the container states none or ffprobe only guessed it from the bit
// rate (raw streams).
struct Reference {
  const ff::ProbeStream *stream = nullptr;
  double seconds = 0;
  double packetSeconds = 0;
};

Reference Probe(const std::string &path, const std::string &args, const std::vector<ff::ProbeStream> &streams,
                const std::string &type) {
  Reference r;
  size_t index = 0;
  while (index < streams.size() && streams[index].codecType != type) ++index;
  if (index == streams.size()) return r;
  r.stream = &streams[index];
  const double unit = double(r.stream->timeBaseNum) / double(r.stream->timeBaseDen);
  int64_t sum = 0;
  for (const ff::ProbePacket &p : r.stream->packets) {
    if (p.duration == INT64_MIN) continue;
    sum += p.duration;
    r.packetSeconds = std::max(r.packetSeconds, double(p.duration) * unit);
  }
  r.seconds = double(sum) * unit;
  std::string out;
  const std::string command = "ffprobe -v warning " + args + " -i " + ff::ShellQuote(path) + " -select_streams " +
                              std::to_string(index) + " -show_entries stream=duration -of compact=nk=0 2>&1";
  if (ff::RunCommand(command, &out) != 0) return r;
  const bool guessed = out.find("Estimating duration from bitrate") != std::string::npos;
  const size_t at = out.find("stream|duration=");
  if (!guessed && at != std::string::npos) {
    char *end = nullptr;
    const char *text = out.c_str() + at + 16;
    const double stated = std::strtod(text, &end);
    if (end != text) r.seconds = stated;
  }
  return r;
}

class SessionFileTypes : public ::testing::TestWithParam<MovieFileType> {
 protected:
  void SetUp() override {
    ResetQuickTimeBindingForTesting();
    SetQuickTimeValue("QTSysDir", std::string(TP_QUICKTIME_DIR) + "/");
  }
  void TearDown() override { ResetQuickTimeBindingForTesting(); }

  EngineEnvironment env;
};

TEST_P(SessionFileTypes, TracksAndTimesAgreeWithFfprobe) {
  const MovieFileType &t = GetParam();
  const std::string path = (env.Dir() / (std::string("movie") + t.ext)).string();
  ASSERT_TRUE(t.make(path)) << "could not make " << path;
  const std::vector<ff::ProbeStream> streams = ff::ProbeFile(path, t.probeArgs);
  ASSERT_FALSE(streams.empty());
  const Reference video = Probe(path, t.probeArgs, streams, "video");
  const Reference sound = Probe(path, t.probeArgs, streams, "audio");
  ASSERT_EQ(video.stream != nullptr, t.video) << "the made file is not what the row expects";
  ASSERT_EQ(sound.stream != nullptr, t.sound) << "the made file is not what the row expects";
  EXPECT_TRUE(!t.video || video.seconds > 0);
  EXPECT_TRUE(!t.sound || sound.seconds > 0);

  {
    CQTAVExtraction session(Wide(path).c_str());
    ASSERT_EQ(session.GetStatus(), 0);
    IMediaExtraction *v = session.GetVideoExtraction();
    IMediaExtraction *a = session.GetAudioExtraction();
    EXPECT_EQ(v != nullptr, t.video);
    EXPECT_EQ(a != nullptr, t.sound);
    if (v != nullptr && video.stream != nullptr) {
      SCOPED_TRACE("video");
      // The video track runs on its media's time scale, which is the stream's
      // time base for every type, raw streams included.
      EXPECT_EQ(v->GetTimeScale(), video.stream->timeBaseDen);
      ASSERT_GT(v->GetTimeScale(), 0);
      const double seconds = double(v->GetDuration()) / v->GetTimeScale();
      EXPECT_NEAR(seconds, video.seconds, video.packetSeconds) << v->GetDuration() << "/" << v->GetTimeScale();
    }
    if (a != nullptr && sound.stream != nullptr) {
      SCOPED_TRACE("sound");
      // The sound track speaks the movie's time scale, not the stream's
      // (movie files keep their own, often 1000), so only seconds compare.
      ASSERT_GT(a->GetTimeScale(), 0);
      const double seconds = double(a->GetDuration()) / a->GetTimeScale();
      EXPECT_NEAR(seconds, sound.seconds, sound.packetSeconds) << a->GetDuration() << "/" << a->GetTimeScale();
    }
  }
  EXPECT_EQ(QuickTimeInitCountForTesting(), 0);
}

std::string RowName(const ::testing::TestParamInfo<MovieFileType> &info) { return std::string(info.param.ext + 1); }

INSTANTIATE_TEST_SUITE_P(Extensions, SessionFileTypes, ::testing::ValuesIn(MovieFileTypes()), RowName);

}  // namespace
