// The movie session against the real runtime, once for every movie file
// extension: a short file of that type is made at test time, opened, and its
// tracks and times compared with what ffprobe reports for the same file.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include <gtest/gtest.h>

#include "EngineTestEnv.h"
#include "engine/CQTAVExtraction.h"
#include "engine/IMediaExtraction.h"
#include "engine/QuickTimeBinding.h"
#include "support/AmrWriter.h"
#include "support/FfmpegTools.h"
#include "support/FlicWriter.h"

using namespace enginetest;
using namespace tp::test;

namespace {

struct FileType {
  const char *ext;
  std::function<bool(const std::string &path)> make;
  const char *probeArgs;  // names the demuxer where the extension does not
  bool video;
  bool sound;
};

bool Ff(const std::string &args, const std::string &path) { return ff::RunFfmpeg(args + " " + ff::ShellQuote(path)); }

std::function<bool(const std::string &)> With(std::string args) {
  return [args](const std::string &p) { return Ff(args, p); };
}

const std::string kIsoBoth = "-f lavfi -i testsrc=size=176x144:rate=15 -f lavfi -i sine=sample_rate=16000 -t 1 ";

const FileType kTypes[] = {
    {".264", With("-f lavfi -i testsrc=size=176x144:rate=25 -t 1 -c:v libx264 -bf 2 -g 10 -f h264"), "", true, false},
    {".3g2", With(kIsoBoth + "-c:v mpeg4 -c:a aac -ac 1 -f 3g2"), "", true, true},
    {".3gp",
     With("-f lavfi -i testsrc=size=176x144:rate=15 -f lavfi -i sine=sample_rate=8000 -t 1 -c:v h263 -c:a aac -ac 1 "
          "-f 3gp"),
     "", true, true},
    {".3gp2", With(kIsoBoth + "-c:v mpeg4 -c:a aac -ac 1 -f 3g2"), "", true, true},
    {".aif", With("-f lavfi -i sine=frequency=1000:sample_rate=44100 -t 0.5 -ac 2 -c:a pcm_s16be -f aiff"), "", false,
     true},
    {".aiff", With("-f lavfi -i sine=frequency=440:sample_rate=22050 -t 1 -c:a pcm_s16be -f aiff"), "", false, true},
    {".amr",
     [](const std::string &p) {
       std::vector<int> types;
       for (int i = 0; i < 60; ++i) types.push_back(i % 10 == 9 ? 8 : i % 8);
       return ff::WriteFileBytes(p, MakeAmrNb(types));
     },
     "", false, true},
    {".cif", With("-f lavfi -i testsrc=size=352x288:rate=25 -t 1 -c:v h261 -f h261"), "-f h261", true, false},
    {".dif", With("-f lavfi -i testsrc=size=720x576:rate=25 -t 0.3 -pix_fmt yuv420p -c:v dvvideo -f dv"), "-f dv", true,
     false},
    {".dv",
     With("-f lavfi -i testsrc=size=720x576:rate=25 -f lavfi -i sine=sample_rate=48000 -t 0.4 -pix_fmt yuv420p "
          "-c:v dvvideo -c:a pcm_s16le -ac 2 -f dv"),
     "", true, true},
    {".flc", [](const std::string &p) { return ff::WriteFileBytes(p, MakeFlc(64, 48, 12, 40)); }, "", true, false},
    {".m4a", With("-f lavfi -i sine=sample_rate=44100 -t 1 -c:a aac -f ipod"), "", false, true},
    {".m4v", With("-f lavfi -i testsrc=size=128x96:rate=30 -t 0.5 -c:v libx264 -bf 0 -g 5 -f mp4"), "", true, false},
    {".mov",
     With("-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=sample_rate=44100 -t 1 -c:v libx264 -bf 2 -g 12 "
          "-c:a aac -f mov"),
     "", true, true},
    {".mp4", With("-f lavfi -i testsrc=size=128x96:rate=30 -t 0.5 -c:v libx264 -bf 0 -g 5 -f mp4"), "", true, false},
    {".qt",
     With(std::string("-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=sample_rate=8000 -t 1 ") +
          "-c:v mjpeg -c:a pcm_s16le -f mov"),
     "", true, true},
};

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

class SessionFileTypes : public ::testing::TestWithParam<FileType> {
 protected:
  void SetUp() override {
    ResetQuickTimeBindingForTesting();
    SetQuickTimeValue("QTSysDir", std::string(TP_QUICKTIME_DIR) + "/");
  }
  void TearDown() override { ResetQuickTimeBindingForTesting(); }

  EngineEnvironment env;
};

TEST_P(SessionFileTypes, TracksAndTimesAgreeWithFfprobe) {
  const FileType &t = GetParam();
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

std::string RowName(const ::testing::TestParamInfo<FileType> &info) { return std::string(info.param.ext + 1); }

INSTANTIATE_TEST_SUITE_P(Extensions, SessionFileTypes, ::testing::ValuesIn(kTypes), RowName);

}  // namespace
