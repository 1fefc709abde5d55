// `tidepool probe` run as a program on movies made by the ffmpeg command
// line, with ffprobe as the independent reference for the sample tables.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "MiniJson.h"
#include "support/MovieWriter.h"

#include "support/FfmpegTools.h"

namespace fs = std::filesystem;
using tp::test::ff::ReadFileText;
using tp::test::ff::ShellQuote;

namespace {

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

RunResult Shell(const std::string &command, const fs::path &errFile) {
  RunResult r;
  FILE *pipe = popen((command + " 2>" + ShellQuote(errFile.string())).c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) r.out.append(buffer, n);
  const int status = pclose(pipe);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.err = ReadFileText(errFile);
  return r;
}

class TidepoolProbe : public ::testing::Test {
 protected:
  static fs::path dir;
  static bool moviesMade;

  static void SetUpTestSuite() {
    dir = fs::temp_directory_path() / ("tp_h6_tools_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string ff = "ffmpeg -nostdin -v error -y ";
    const std::string src = "-f lavfi -i testsrc=size=160x120:rate=25 ";
    const std::string tone = "-f lavfi -i sine=frequency=440:sample_rate=44100 ";
    const std::vector<std::string> commands = {
        ff + src + tone + "-t 2 -c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p -c:a aac " +
            ShellQuote((dir / "avc_aac.mp4").string()),
        ff + src + "-t 1 -c:v mpeg4 -g 5 " + ShellQuote((dir / "mpeg4.mov").string()),
        ff + "-f lavfi -i testsrc=size=96x64:rate=15 -t 1 -c:v mjpeg " + ShellQuote((dir / "mjpeg.mov").string()),
        ff + tone + "-t 1 -ac 2 -c:a pcm_s16le " + ShellQuote((dir / "pcm.mov").string()),
    };
    moviesMade = true;
    for (const auto &c : commands) moviesMade = moviesMade && std::system(c.c_str()) == 0;
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  void SetUp() override {
    ASSERT_TRUE(moviesMade) << "ffmpeg could not make the test movies";
    registry = dir / (std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".reg");
    fs::remove(registry);
  }

  RunResult Probe(const std::string &args) {
    const std::string tool = std::string(TP_BUILD_DIR) + "/bin/tidepool";
    return Shell("TP_REGISTRY_FILE=" + ShellQuote(registry.string()) + " " + ShellQuote(tool) + " probe " + args,
                 dir / "stderr.txt");
  }

  minijson::Value ProbeJson(const fs::path &file, int wantExit) {
    RunResult r = Probe("--json " + ShellQuote(file.string()));
    EXPECT_EQ(r.exitCode, wantExit) << r.err;
    minijson::Value v;
    EXPECT_TRUE(minijson::Parser(r.out).Parse(&v)) << r.out;
    // Exactly one object with its members in order.
    EXPECT_EQ(v.order, (std::vector<std::string>{"status", "video", "sound", "tracks", "chapters", "metadata"}))
        << r.out;
    return v;
  }

  fs::path registry;
};

fs::path TidepoolProbe::dir;
bool TidepoolProbe::moviesMade = false;

struct Packet {
  long long pts, dts, duration, size;
  bool key;
};

std::vector<Packet> FfprobePackets(const fs::path &file) {
  RunResult r =
      Shell("ffprobe -v error -select_streams v:0 -show_entries packet=pts,dts,duration,size,flags -of csv=p=0 " +
                ShellQuote(file.string()),
            "/dev/null");
  std::vector<Packet> packets;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    Packet p{};
    char flags[16] = {};
    if (std::sscanf(line.c_str(), "%lld,%lld,%lld,%lld,%15s", &p.pts, &p.dts, &p.duration, &p.size, flags) == 5) {
      p.key = flags[0] == 'K';
      packets.push_back(p);
    }
  }
  return packets;
}

std::string FfprobeStream(const fs::path &file, const char *stream, const char *entries) {
  RunResult r = Shell(std::string("ffprobe -v error -select_streams ") + stream + " -show_entries stream=" + entries +
                          " -of default=nw=1:nk=1 " + ShellQuote(file.string()),
                      "/dev/null");
  std::string out = r.out;
  for (char &c : out) {
    if (c == '\n') c = ',';
  }
  return out;
}

// ---- real movies against ffprobe --------------------------------------------------

class TidepoolProbeMovies : public TidepoolProbe, public ::testing::WithParamInterface<const char *> {};

TEST_P(TidepoolProbeMovies, VideoSamplesEqualFfprobePackets) {
  const fs::path file = dir / GetParam();
  minijson::Value v = ProbeJson(file, 0);
  ASSERT_EQ(v["status"].Int(), 0);
  const minijson::Value &video = v["video"];
  ASSERT_EQ(video.kind, minijson::Value::Object);
  EXPECT_EQ(video.order, (std::vector<std::string>{"timescale", "duration", "width", "height", "format", "samples"}));
  // ffprobe prints the entries in its own order: tag, width, height.
  EXPECT_EQ(video["format"].text + "," + std::to_string(video["width"].Int()) + "," +
                std::to_string(video["height"].Int()) + ",",
            FfprobeStream(file, "v:0", "width,height,codec_tag_string"));
  EXPECT_EQ("1/" + std::to_string(video["timescale"].Int()) + ",", FfprobeStream(file, "v:0", "time_base"));

  const std::vector<Packet> packets = FfprobePackets(file);
  const auto &samples = video["samples"].items;
  ASSERT_EQ(samples.size(), packets.size());
  ASSERT_FALSE(packets.empty());
  // ffprobe moves decode times by the edit list's shift; the sample table's
  // own decode times start at 0. The difference is one constant.
  const long long shift = samples[0][0].Int() - packets[0].dts;
  for (size_t i = 0; i < samples.size(); ++i) {
    SCOPED_TRACE("sample " + std::to_string(i));
    const auto &s = samples[i];
    ASSERT_EQ(s.items.size(), 5u);
    EXPECT_EQ(s[0].Int() - packets[i].dts, shift);
    EXPECT_EQ(s[1].Int(), packets[i].duration);
    EXPECT_EQ(s[2].Int(), packets[i].pts - packets[i].dts);
    EXPECT_EQ(s[3].Int(), packets[i].size);
    EXPECT_EQ(s[4].Int(), packets[i].key ? 1 : 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Movies, TidepoolProbeMovies, ::testing::Values("avc_aac.mp4", "mpeg4.mov", "mjpeg.mov"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                           std::string n = info.param;
                           for (char &c : n) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return n;
                         });

TEST_F(TidepoolProbe, Sound_DescribedFromTheSampleDescription) {
  minijson::Value v = ProbeJson(dir / "pcm.mov", 0);
  ASSERT_EQ(v["status"].Int(), 0);
  EXPECT_EQ(v["video"].kind, minijson::Value::Null);
  const minijson::Value &sound = v["sound"];
  ASSERT_EQ(sound.kind, minijson::Value::Object);
  EXPECT_EQ(sound.order,
            (std::vector<std::string>{"timescale", "duration", "format", "channels", "sample_size", "sample_rate"}));
  EXPECT_EQ(sound["channels"].Int(), 2);
  EXPECT_EQ(sound["sample_size"].Int(), 16);
  EXPECT_EQ(sound["sample_rate"].number, 44100.0);
  EXPECT_EQ(sound["format"].text + ",", FfprobeStream(dir / "pcm.mov", "a:0", "codec_tag_string"));
  EXPECT_EQ(sound["timescale"].Int(), 44100);
  EXPECT_EQ(sound["duration"].Int(), 44100);

  minijson::Value both = ProbeJson(dir / "avc_aac.mp4", 0);
  ASSERT_EQ(both["sound"].kind, minijson::Value::Object);
  EXPECT_EQ(both["sound"]["format"].text, "mp4a");
  // An ISO sample entry for AAC always says two channels; the real count is
  // in the decoder configuration, which the description does not unpack.
  EXPECT_EQ(both["sound"]["channels"].Int(), 2);
  EXPECT_EQ(ProbeJson(dir / "mjpeg.mov", 0)["sound"].kind, minijson::Value::Null);
}

// ---- exact sample tables from our own writer ------------------------------------

TEST_F(TidepoolProbe, ExactSampleTable_ReportedAsWritten) {
  tp::test::WriterTrack video;
  video.format = tp::test::Fcc("avc1");
  video.width = 320;
  video.height = 240;
  video.timeScale = 90000;
  video.durations = {3000, 3000, 1500, 4500, 3000, 3000};
  video.sizes = {900, 80, 70, 60, 500, 40};
  video.compositionOffsets = {3000, 6000, 0, -1500, 3000, 0};
  video.cttsVersion = 1;
  video.writeStss = true;
  video.syncSamples = {1, 5};
  tp::test::WriterTrack sound;
  sound.handler = tp::test::Fcc("soun");
  sound.format = tp::test::Fcc("twos");
  sound.timeScale = 22050;
  sound.channels = 1;
  sound.sampleSize = 8;
  sound.sampleRate = 22050;
  sound.durations = {22050};
  sound.sizes = {22050};
  const fs::path file = dir / "exact.mov";
  ASSERT_TRUE(tp::test::WriteFile(file.string(), tp::test::BuildMovie({}, {video, sound}).bytes));

  minijson::Value v = ProbeJson(file, 0);
  ASSERT_EQ(v["status"].Int(), 0);
  const minijson::Value &vid = v["video"];
  EXPECT_EQ(vid["timescale"].Int(), 90000);
  EXPECT_EQ(vid["duration"].Int(), 18000);
  EXPECT_EQ(vid["width"].Int(), 320);
  EXPECT_EQ(vid["height"].Int(), 240);
  EXPECT_EQ(vid["format"].text, "avc1");
  const std::vector<std::vector<long long>> want = {{0, 3000, 3000, 900, 1},     {3000, 3000, 6000, 80, 0},
                                                    {6000, 1500, 0, 70, 0},      {7500, 4500, -1500, 60, 0},
                                                    {12000, 3000, 3000, 500, 1}, {15000, 3000, 0, 40, 0}};
  ASSERT_EQ(vid["samples"].items.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    for (size_t k = 0; k < 5; ++k) EXPECT_EQ(vid["samples"][i][k].Int(), want[i][k]) << i << "," << k;
  }
  const minijson::Value &snd = v["sound"];
  EXPECT_EQ(snd["format"].text, "twos");
  EXPECT_EQ(snd["channels"].Int(), 1);
  EXPECT_EQ(snd["sample_size"].Int(), 8);
  EXPECT_EQ(snd["sample_rate"].number, 22050.0);
  EXPECT_EQ(snd["timescale"].Int(), 22050);
  EXPECT_EQ(snd["duration"].Int(), 22050);
}

TEST_F(TidepoolProbe, ZeroDurationSamples_WalkEndsInsteadOfLooping) {
  tp::test::WriterTrack video = tp::test::SimpleVideoTrack(4, 100, 0, 1);
  video.mediaDuration = 1000;  // claims time that the samples never reach
  const fs::path file = dir / "stuck.mov";
  ASSERT_TRUE(tp::test::WriteFile(file.string(), tp::test::BuildMovie({}, {video}).bytes));
  RunResult r = Probe("--json " + ShellQuote(file.string()));
  minijson::Value v;
  ASSERT_TRUE(minijson::Parser(r.out).Parse(&v)) << r.out;
  if (v["status"].Int() == 0) {
    EXPECT_LE(v["video"]["samples"].items.size(), 4u);
  }
}

// ---- damaged and missing files ---------------------------------------------------

TEST_F(TidepoolProbe, BadFiles_NonZeroStatus_NoTracks) {
  const std::string good = ReadFileText(dir / "avc_aac.mp4");
  std::ofstream(dir / "empty.mp4", std::ios::binary).flush();
  std::ofstream(dir / "truncated.mp4", std::ios::binary) << good.substr(0, 600);
  std::string noise(100000, '\0');
  std::mt19937 rng(1234);
  for (char &c : noise) c = static_cast<char>(rng());
  std::ofstream(dir / "random.mov", std::ios::binary) << noise;
  for (const char *name : {"absent.mp4", "empty.mp4", "truncated.mp4", "random.mov"}) {
    SCOPED_TRACE(name);
    minijson::Value v = ProbeJson(dir / name, 1);
    EXPECT_NE(v["status"].Int(), 0);
    EXPECT_EQ(v["video"].kind, minijson::Value::Null);
    EXPECT_EQ(v["sound"].kind, minijson::Value::Null);
  }
}

// ---- set-up, trace and usage -------------------------------------------------------

TEST_F(TidepoolProbe, Registry_QTSysDirWrittenWhenMissing_KeptWhenPresent) {
  ProbeJson(dir / "mjpeg.mov", 0);
  const std::string store = ReadFileText(registry);
  EXPECT_NE(store.find("QTSysDir"), std::string::npos) << store;
  EXPECT_NE(store.find("QuickTime"), std::string::npos) << store;

  // A value that is already there is the user's choice: kept, even when it
  // names no runtime (the movie then cannot be opened).
  fs::remove(registry);
  std::ofstream(registry) << "Windows Registry Editor Version 5.00\n\n"
                          << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Computer, Inc.\\QuickTime]\n"
                          << "\"QTSysDir\"=\"" << (dir / "nowhere").string() << "/\"\n";
  minijson::Value v = ProbeJson(dir / "mjpeg.mov", 1);
  EXPECT_EQ(v["status"].Int(), -2093);
  EXPECT_NE(ReadFileText(registry).find("nowhere"), std::string::npos);
}

TEST_F(TidepoolProbe, Trace_GoesToStandardError) {
  RunResult r = Probe("--trace " + ShellQuote((dir / "mjpeg.mov").string()));
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.err.find("[2] Tidepool: CQTAVExtraction::CQTAVExtraction"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("[2] Tidepool: Dispose movie"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("video: 'jpeg' 96x64"), std::string::npos) << r.out;
  RunResult quiet = Probe(ShellQuote((dir / "mjpeg.mov").string()));
  EXPECT_EQ(quiet.err.find("Tidepool:"), std::string::npos) << quiet.err;
}

TEST_F(TidepoolProbe, Usage_ErrorsExitWith2) {
  EXPECT_EQ(Probe("").exitCode, 2);
  EXPECT_EQ(Probe("--bogus x.mov").exitCode, 2);
  EXPECT_EQ(Probe("a.mov b.mov").exitCode, 2);
}

}  // namespace
