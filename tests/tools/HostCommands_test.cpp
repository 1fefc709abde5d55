// The tidepool tool's DirectShow host commands run as programs against the
// registered Tidepool.ax: convert's files and sample times against the
// engine-level extract of the same movie, info's report, and one clear
// failure line with the right exit status for each kind of bad input.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LabelFont.h"
#include "support/FfmpegTools.h"

namespace fs = std::filesystem;
using tp::test::ff::ReadFileBytes;
using tp::test::ff::ReadFileText;
using tp::test::ff::ShellQuote;

namespace {

// Media units in 100 ns units, as the filter stamps them: exact, rounded to
// the nearest.
long long ExactTime(long long units, long long scale) { return (units * 20000000 + scale) / (2 * scale); }

class HostCommands : public ::testing::Test {
 protected:
  static fs::path dir;

  static void SetUpTestSuite() {
    dir = fs::temp_directory_path() / ("tp_host_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string bin = std::string(TP_BUILD_DIR) + "/bin/";
    ASSERT_EQ(0, Run(ShellQuote(bin + "regsvr32") + " /s " + ShellQuote(bin + "Tidepool.ax")));
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  static int Run(const std::string &command, std::string *out = nullptr) {
    const std::string full = "TP_REGISTRY_FILE=" + ShellQuote((dir / "registry.reg").string()) + " " + command;
    if (!out) {
      const int status = std::system(full.c_str());
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return tp::test::ff::RunCommand(full, out);
  }
  static std::string Tool(const std::string &args) {
    return ShellQuote(std::string(TP_BUILD_DIR) + "/bin/tidepool") + " " + args;
  }
  static std::string MakeMovie(const std::string &name, const std::string &args) {
    const std::string path = (dir / name).string();
    if (!fs::exists(path)) {
      EXPECT_TRUE(tp::test::ff::RunFfmpeg("-v error " + args + " -y " + ShellQuote(path)));
    }
    return path;
  }
};
fs::path HostCommands::dir;

// extract's times file: "timescale N", then "start duration" per frame.
struct MediaTimes {
  long long scale = 0;
  std::vector<std::pair<long long, long long>> frames;
  explicit MediaTimes(const std::string &text) {
    std::istringstream in(text);
    std::string word;
    in >> word >> scale;
    long long start, duration;
    while (in >> start >> duration) frames.emplace_back(start, duration);
  }
};

// convert through the graph equals extract through the engine: the same
// frames byte for byte (convert stops at the pins' common stop time, so it
// may deliver a prefix of extract's frames), the same PCM, and stamps that
// are extract's media times in 100 ns units.
TEST_F(HostCommands, Convert_EqualsTheEngineExtract) {
  if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  struct Case {
    const char *name;
    const char *args;
    const char *format;  // null: audio only
    bool audio;
  } cases[] = {
      {"h264.mov",
       "-f lavfi -i testsrc=size=160x120:rate=25:duration=2 -f lavfi -i sine=frequency=440:duration=2 "
       "-c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p -c:a aac -shortest",
       "RGB32", true},
      {"h264.mp4",
       "-f lavfi -i testsrc=size=160x120:rate=25:duration=2 -f lavfi -i sine=frequency=440:duration=2 "
       "-c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p -c:a aac -shortest",
       "YV12", true},
      {"mpeg4.mp4", "-f lavfi -i testsrc=size=160x120:rate=25:duration=2 -c:v mpeg4 -bf 1", "YV12", false},
      {"mjpeg.mov", "-f lavfi -i testsrc=size=160x120:rate=25:duration=1 -c:v mjpeg", "RGB24", false},
      {"video.dv", "-f lavfi -i testsrc=size=720x576:rate=25:duration=1 -c:v dvvideo -pix_fmt yuv420p -f dv", "YUY2",
       false},
      {"clip.3gp", "-f lavfi -i testsrc=size=176x144:rate=15:duration=1 -c:v h263", "I420", false},
      {"raw.264",
       "-f lavfi -i testsrc=size=176x144:rate=25:duration=1 -c:v libx264 -bf 2 -g 10 -pix_fmt yuv420p -f h264", "I420",
       false},
      // A second-long pause in a stream with B-frames: the sample decoded
      // before the pause carries its whole length.
      {"pause.mp4",
       "-f lavfi -i testsrc=size=96x64:rate=25:duration=3 -vf select='lt(t\\,1)+gt(t\\,2)' -fps_mode vfr "
       "-c:v libx264 -bf 2 -g 30 -pix_fmt yuv420p",
       "I420", false},
      {"sound.m4a", "-f lavfi -i sine=frequency=440:duration=2 -c:a aac", nullptr, true},
      {"sound.aiff", "-f lavfi -i sine=frequency=440:duration=1 -c:a pcm_s16be", nullptr, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string movie = MakeMovie(c.name, c.args);
    const fs::path out = dir / (std::string(c.name) + ".out");
    fs::create_directories(out);
    const std::string video = (out / "v.raw").string(), audio = (out / "a.wav").string();
    const std::string times = (out / "t.txt").string();
    std::string args = "convert " + ShellQuote(movie) + " --times " + ShellQuote(times);
    if (c.format) args += " --video " + ShellQuote(video) + " --format " + c.format;
    const bool hasAudio = c.audio;
    if (hasAudio) args += " --audio " + ShellQuote(audio);
    ASSERT_EQ(0, Run(Tool(args)));
    const fs::path ex = out / "extract";
    if (c.format) {
      ASSERT_EQ(0, Run(Tool("extract " + ShellQuote(movie) + " --video " + c.format + " --out " +
                            ShellQuote(ex.string()) + " >/dev/null")));
      const std::vector<uint8_t> mine = ReadFileBytes(video), theirs = ReadFileBytes((ex / "video.raw").string());
      ASSERT_FALSE(mine.empty());
      // Only a sound track can cut the video short.
      if (c.audio) {
        ASSERT_LE(mine.size(), theirs.size());
      } else {
        ASSERT_EQ(mine.size(), theirs.size()) << "frames lost";
      }
      EXPECT_TRUE(std::equal(mine.begin(), mine.end(), theirs.begin())) << "frames differ";
      // Stamps: extract's "start duration" in media units, ours in 100 ns.
      const MediaTimes theirTimes(ReadFileText((ex / "video-times.txt").string()));
      std::vector<std::vector<long long>> videoTimes;
      std::istringstream in(ReadFileText(times));
      std::string line;
      while (std::getline(in, line)) {
        if (line.rfind("Video ", 0) != 0) continue;
        std::istringstream words(line.substr(6));
        long long start, stop;
        words >> start >> stop;
        videoTimes.push_back({start, stop});
      }
      const long long scale = theirTimes.scale;
      ASSERT_GT(scale, 0);
      ASSERT_FALSE(theirTimes.frames.empty());
      const size_t frames = mine.size() / (theirs.size() / theirTimes.frames.size());
      ASSERT_EQ(frames, videoTimes.size());
      for (size_t i = 0; i < frames; ++i) {
        const auto &t = theirTimes.frames[i];
        // The start and the end, each converted exactly.
        EXPECT_EQ(ExactTime(t.first, scale), videoTimes[i][0]) << i;
        EXPECT_EQ(ExactTime(t.first + t.second, scale), videoTimes[i][1]) << i;
      }
    }
    if (hasAudio) {
      ASSERT_EQ(
          0, Run(Tool("extract " + ShellQuote(movie) + " --audio --out " + ShellQuote(ex.string()) + " >/dev/null")));
      EXPECT_EQ(ReadFileBytes((ex / "audio.wav").string()), ReadFileBytes(audio)) << "PCM differs";
    }
  }
}

TEST_F(HostCommands, Failures_GetOneLineAndTheirExitStatus) {
  if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  const std::string movie =
      MakeMovie("small.mov", "-f lavfi -i testsrc=size=64x48:rate=10:duration=1 -c:v libx264 -pix_fmt yuv420p");
  const std::string sound = MakeMovie("sound.m4a", "-f lavfi -i sine=duration=1 -c:a aac");
  const std::string unknown = (dir / "notes.txt").string();
  std::system(("echo hello > " + ShellQuote(unknown)).c_str());
  const std::string empty = (dir / "empty.mov").string();
  tp::test::ff::WriteFileBytes(empty, {});
  // The movie box cut off (the small movie keeps it at the end).
  const std::string cut = (dir / "cut.mov").string();
  std::vector<uint8_t> bytes = ReadFileBytes(movie);
  bytes.resize(bytes.size() - 100);
  tp::test::ff::WriteFileBytes(cut, bytes);
  struct Case {
    std::string args;
    int status;
    const char *says;  // in the one line on standard error
  } cases[] = {
      {"info " + ShellQuote((dir / "missing.mov").string()), 1, "no such file"},
      {"info " + ShellQuote(unknown), 1, "registered source filter"},
      {"info " + ShellQuote(empty), 1, "not a movie file"},
      {"convert " + ShellQuote(cut) + " --video " + ShellQuote((dir / "c.y4m").string()), 1, "damaged or cut short"},
      {"convert " + ShellQuote(movie) + " --video /nonexistent/dir/v.raw", 1, "cannot write"},
      {"convert " + ShellQuote(movie) + " --audio " + ShellQuote((dir / "a.wav").string()), 1, "no sound track"},
      {"convert " + ShellQuote(movie) + " --video " + ShellQuote((dir / "v.y4m").string()) + " --format RGB32", 1,
       "YUV"},
      {"convert " + ShellQuote(movie) + " --rate 0", 2, ""},
      {"thumbs " + ShellQuote((dir / "missing.mov").string()) + " -o " + ShellQuote((dir / "s.png").string()), 1,
       "no such file"},
      {"thumbs " + ShellQuote(movie) + " -o /nonexistent/dir/s.png", 1, "cannot write"},
      {"thumbs " + ShellQuote(sound) + " -o " + ShellQuote((dir / "s.png").string()), 1, "no video track"},
      {"thumbs " + ShellQuote(movie) + " -o " + ShellQuote((dir / "s.png").string()) + " --count 0", 2, ""},
      {"thumbs " + ShellQuote(movie), 2, ""},
      {"convert", 2, ""},
      {"frobnicate", 2, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    std::string err;
    const int status = Run(Tool(c.args) + " 2>&1 >/dev/null", &err);
    EXPECT_EQ(c.status, status);
    EXPECT_NE(std::string::npos, err.find(c.says)) << err;
    if (c.status == 1) {
      EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    }
  }
  // A runtime that cannot be bound: the registry names a folder whose
  // "QuickTime.qts" is no library (a registry of its own, so the other
  // cases keep theirs).
  {
    const fs::path broken = dir / "broken_qt";
    fs::create_directories(broken);
    tp::test::ff::WriteFileBytes((broken / "QuickTime.qts").string(), {'M', 'Z'});
    const std::string registry = "TP_REGISTRY_FILE=" + ShellQuote((dir / "broken.reg").string()) + " ";
    fs::copy_file(dir / "registry.reg", dir / "broken.reg", fs::copy_options::overwrite_existing);
    ASSERT_EQ(0, Run(registry + ShellQuote(std::string(TP_BUILD_DIR) + "/bin/qtinstall") + " " +
                     ShellQuote(broken.string()) + " >/dev/null"));
    std::string err;
    EXPECT_EQ(1, Run(registry + Tool("info " + ShellQuote(movie)) + " 2>&1 >/dev/null", &err));
    EXPECT_NE(std::string::npos, err.find("runtime cannot be found or bound")) << err;
  }
  std::string help;
  EXPECT_EQ(0, Run(Tool("--help 2>/dev/null"), &help));
  EXPECT_NE(std::string::npos, help.find("convert"));
  std::string report;
  ASSERT_EQ(0, Run(Tool("info --json " + ShellQuote(movie)), &report));
  EXPECT_NE(std::string::npos, report.find("\"name\": \"Video\""));
  EXPECT_NE(std::string::npos, report.find("\"subtype\": \"RGB565\""));
}

// A track whose codec nothing decodes gets no pin; info names it, convert
// fails with exit 1 for a stream it cannot produce (never an empty file
// with exit 0) and converts the streams it can.
TEST_F(HostCommands, MissingDecoder_NamedByInfoAndConvert_NeverAnEmptyOutput) {
  if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  const std::string plain = MakeMovie("codecs.mov",
                                      "-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=sample_rate=8000 -t 1 "
                                      "-c:v mjpeg -c:a pcm_s16le");
  // Byte edits: the description's codec type becomes one nothing decodes.
  auto edited = [&](const std::string &name, std::vector<std::string> codes) {
    std::vector<uint8_t> bytes = ReadFileBytes(plain);
    std::string text(bytes.begin(), bytes.end());
    for (const std::string &code : codes) {
      const size_t at = text.find(code);
      EXPECT_NE(std::string::npos, at) << code;
      if (at != std::string::npos) text.replace(at, 4, "zzzz");
    }
    const std::string path = (dir / name).string();
    tp::test::ff::WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
    return path;
  };
  const std::string noVideo = edited("novideo.mov", {"jpeg"});
  const std::string nothing = edited("nothing.mov", {"jpeg", "sowt"});
  const std::string v = ShellQuote((dir / "nd.y4m").string()), a = ShellQuote((dir / "nd.wav").string());
  struct Case {
    std::string args;
    int status;
    const char *says;  // on standard error (exit 1) or standard output
  } cases[] = {
      {"info " + ShellQuote(noVideo), 0, "no pin: no decoder for the video codec 'zzzz'"},
      {"info --json " + ShellQuote(noVideo), 0, "\"codec\": \"zzzz\""},
      {"info " + ShellQuote(nothing), 1,
       "no decoder for the video codec 'zzzz', no decoder for the sound format 'zzzz'"},
      {"convert " + ShellQuote(noVideo) + " --video " + v, 1, "no decoder for the video codec 'zzzz'"},
      {"convert " + ShellQuote(noVideo) + " --video " + v + " --audio " + a, 1, "video codec 'zzzz'"},
      {"convert " + ShellQuote(nothing) + " --audio " + a, 1, "sound format 'zzzz'"},
      {"convert " + ShellQuote(noVideo) + " --audio " + a, 0, ""},
      // Past the end nothing is delivered: a failure, not an empty file.
      {"convert " + ShellQuote(plain) + " --start 5 --audio " + ShellQuote((dir / "late.wav").string()), 1,
       "delivered nothing"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    std::string out;
    const int status = Run(Tool(c.args) + (c.status == 1 ? " 2>&1 >/dev/null" : " 2>/dev/null"), &out);
    EXPECT_EQ(c.status, status);
    EXPECT_NE(std::string::npos, out.find(c.says)) << out;
    if (c.status == 1) {
      EXPECT_EQ(1, std::count(out.begin(), out.end(), '\n')) << out;
    }
  }
  // The one stream convert could make is whole.
  EXPECT_GT(ReadFileBytes((dir / "nd.wav").string()).size(), 44u + 8000u);
}

// Data that goes missing while convert runs (the data-file layer's fault
// seam: the file ends, or its reads fail, a quarter of the way in) is a
// failure that names the position and the cause, on either pin alone, on
// both, and after a seek into the missing part or past it; never a whole
// run with exit 0.
TEST_F(HostCommands, ReadFaults_ConvertExits1NamingThePosition) {
  if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  const std::string av = MakeMovie("fault_av.mp4",
                                   "-f lavfi -i testsrc=size=160x120:rate=25:duration=8 -f lavfi -i sine=duration=8 "
                                   "-c:v libx264 -bf 2 -g 25 -pix_fmt yuv420p -c:a aac -shortest -movflags +faststart");
  const std::string video = MakeMovie("fault_v.mp4",
                                      "-f lavfi -i testsrc=size=160x120:rate=25:duration=8 -c:v libx264 -bf 2 -g 25 "
                                      "-pix_fmt yuv420p -movflags +faststart");
  const std::string sound = MakeMovie("fault_a.m4a", "-f lavfi -i sine=duration=8 -c:a aac -movflags +faststart");
  const std::string v = ShellQuote((dir / "fault.y4m").string()), a = ShellQuote((dir / "fault.wav").string());
  auto quarter = [](const std::string &f) { return std::to_string(fs::file_size(f) / 4); };
  struct Case {
    std::string seam;  // TP_DATAFILE_FAULT
    std::string args;
    double from, to;  // where the position must lie (seconds)
    const char *cause;
  } cases[] = {
      {"eof@" + quarter(av), "convert " + ShellQuote(av) + " --video " + v + " --audio " + a, 1, 3.5, "ends before"},
      {"io@" + quarter(av), "convert " + ShellQuote(av) + " --video " + v + " --audio " + a, 1, 3.5,
       "reading the file failed"},
      {"eof@" + quarter(video), "convert " + ShellQuote(video) + " --video " + v, 1, 3.5, "ends before"},
      {"io@" + quarter(sound), "convert " + ShellQuote(sound) + " --audio " + a, 1, 3.5, "reading the file failed"},
      // A seek to a place whose data is gone, or past the fault.
      {"eof@" + quarter(av), "convert " + ShellQuote(av) + " --start 6 --video " + v + " --audio " + a, 6, 6.1,
       "ends before"},
      {"io@" + quarter(av), "convert " + ShellQuote(av) + " --seek-running 6 --video " + v + " --audio " + a, 0, 6.1,
       "reading the file failed"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.seam + " " + c.args);
    std::string err;
    const int status = Run("TP_DATAFILE_FAULT=" + c.seam + " " + Tool(c.args) + " 2>&1 >/dev/null", &err);
    EXPECT_EQ(1, status) << err;
    const size_t line = err.find("playback stopped at ");
    ASSERT_NE(std::string::npos, line) << err;
    double at = -1;
    std::sscanf(err.c_str() + line, "playback stopped at %lf s", &at);
    EXPECT_GE(at, c.from) << err;
    EXPECT_LE(at, c.to) << err;
    EXPECT_NE(std::string::npos, err.find(c.cause)) << err;
  }
  // Without the fault the same movie converts whole.
  EXPECT_EQ(0, Run(Tool("convert " + ShellQuote(av) + " --video " + v + " --audio " + a) + " >/dev/null 2>&1"));
}

// thumbs over a folder of movies: 16 movies and a damaged one, four at a
// time in one process. Each sheet is the one made for that movie alone,
// the damaged movie is named, the others are all made, and the exit status
// says that one failed.
TEST_F(HostCommands, ThumbsOutputDir_SheetsEqualOneAtATime_FailureNamed) {
  if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  std::vector<std::string> movies;
  for (int i = 0; i < 16; ++i) {
    movies.push_back(MakeMovie("sheet" + std::to_string(i) + ".mp4",
                               "-f lavfi -i testsrc=size=96x64:rate=10:duration=2 -vf hue=h=" + std::to_string(i * 22) +
                                   " -c:v libx264 -pix_fmt yuv420p"));
  }
  const std::string damaged = (dir / "sheetbroken.mp4").string();
  std::vector<uint8_t> bytes = ReadFileBytes(movies[0]);
  bytes.resize(bytes.size() / 3);
  tp::test::ff::WriteFileBytes(damaged, bytes);

  const fs::path out = dir / "sheets";
  std::string files;
  for (size_t i = 0; i < movies.size(); ++i) {
    files += " " + ShellQuote(movies[i]);
    if (i == 7) files += " " + ShellQuote(damaged);
  }
  std::string err;
  EXPECT_EQ(
      1, Run(Tool("thumbs" + files + " --output-dir " + ShellQuote(out.string()) + " --jobs 4 --count 4 --width 64") +
                 " 2>&1 >/dev/null",
             &err));
  EXPECT_NE(std::string::npos, err.find("sheetbroken.mp4")) << err;
  EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
  EXPECT_FALSE(fs::exists(out / "sheetbroken.png"));
  for (size_t i = 0; i < movies.size(); ++i) {
    SCOPED_TRACE(movies[i]);
    const std::string alone = (dir / ("alone" + std::to_string(i) + ".png")).string();
    ASSERT_EQ(0, Run(Tool("thumbs " + ShellQuote(movies[i]) + " -o " + ShellQuote(alone) + " --count 4 --width 64") +
                     " >/dev/null"));
    const std::vector<uint8_t> sheet = ReadFileBytes((out / ("sheet" + std::to_string(i) + ".png")).string());
    EXPECT_FALSE(sheet.empty());
    EXPECT_EQ(sheet, ReadFileBytes(alone));
  }
}

// After --start 2 --rate 2, each stamp is the frame's time less the start,
// divided by the rate in double precision and truncated; the stop adds the
// duration divided on its own.
TEST_F(HostCommands, Convert_StartAndRateFollowTheStampArithmetic) {
  if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  const std::string movie = MakeMovie("rate.mov",
                                      "-f lavfi -i testsrc=size=96x64:rate=25:duration=3 -c:v libx264 -bf 2 -g 10 "
                                      "-pix_fmt yuv420p");
  const fs::path out = dir / "rate.out";
  fs::create_directories(out);
  const std::string times = (out / "t.txt").string();
  ASSERT_EQ(0, Run(Tool("convert " + ShellQuote(movie) + " --video " + ShellQuote((out / "v.raw").string()) +
                        " --format I420 --start 2 --rate 2 --times " + ShellQuote(times))));
  ASSERT_EQ(0, Run(Tool("extract " + ShellQuote(movie) + " --video I420 --out " + ShellQuote((out / "ex").string()) +
                        " >/dev/null")));
  const MediaTimes media(ReadFileText((out / "ex" / "video-times.txt").string()));
  ASSERT_GT(media.scale, 0);
  std::vector<std::pair<long long, long long>> stamps;
  std::istringstream in(ReadFileText(times));
  std::string pin;
  long long start, stop, sync, discontinuity;
  while (in >> pin >> start >> stop >> sync >> discontinuity) stamps.emplace_back(start, stop);
  ASSERT_FALSE(stamps.empty());
  constexpr long long kStart = 20000000;
  size_t j = 0;
  while (j < media.frames.size() && ExactTime(media.frames[j].first, media.scale) < kStart) ++j;
  ASSERT_EQ(stamps.size(), media.frames.size() - j);
  for (size_t i = 0; i < stamps.size(); ++i, ++j) {
    const long long sampleStart = ExactTime(media.frames[j].first, media.scale);
    const long long sampleEnd = ExactTime(media.frames[j].first + media.frames[j].second, media.scale);
    EXPECT_EQ(static_cast<long long>(static_cast<double>(sampleStart - kStart) / 2.0), stamps[i].first) << i;
    EXPECT_EQ(static_cast<long long>(static_cast<double>(sampleEnd - kStart) / 2.0), stamps[i].second) << i;
  }
}

// thumbs: the sheet is count tiles of the asked width in rows of columns,
// and each tile is the frame shown at the middle of its part of the movie,
// as ffmpeg decodes and scales it, labelled with that frame's time. The hue turns a tenth of a circle per
// frame, so a neighbouring frame is far off.
TEST_F(HostCommands, Thumbs_TilesAreTheFramesAtEvenlySpacedTimes) {
  if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  const std::string movie = MakeMovie("hue.mp4",
                                      "-f lavfi -i testsrc2=size=320x240:rate=25:duration=4,hue=h=900*t -c:v libx264 "
                                      "-bf 2 -g 30 -pix_fmt yuv420p");
  constexpr int kCount = 5, kColumns = 3, kWidth = 96, kTileHeight = 72, kRate = 25;
  const std::string sheet = (dir / "sheet.png").string();
  ASSERT_EQ(0, Run(Tool("thumbs " + ShellQuote(movie) + " -o " + ShellQuote(sheet) +
                        " --count 5 --columns 3 "
                        "--width 96 >/dev/null")));
  std::string size;
  ASSERT_EQ(
      0, Run("ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 " + ShellQuote(sheet), &size));
  EXPECT_EQ("png," + std::to_string(kColumns * kWidth) + "," + std::to_string(2 * kTileHeight) + "\n", size);
  const std::string sheetRaw = (dir / "sheet.rgb").string(), framesRaw = (dir / "frames.rgb").string();
  ASSERT_TRUE(tp::test::ff::RunFfmpeg("-v error -i " + ShellQuote(sheet) + " -f rawvideo -pix_fmt rgb24 -y " +
                                      ShellQuote(sheetRaw)));
  ASSERT_TRUE(tp::test::ff::RunFfmpeg("-v error -i " + ShellQuote(movie) + " -vf scale=96:72:flags=bicubic " +
                                      "-f rawvideo -pix_fmt rgb24 -y " + ShellQuote(framesRaw)));
  const std::vector<uint8_t> pixels = ReadFileBytes(sheetRaw), frames = ReadFileBytes(framesRaw);
  const size_t tileBytes = kWidth * kTileHeight * 3, frameCount = frames.size() / tileBytes;
  ASSERT_EQ(static_cast<size_t>(kColumns * kWidth * 2 * kTileHeight * 3), pixels.size());
  ASSERT_EQ(100u, frameCount);
  // Each tile's label: its frame's time in the built-in font, in a box at
  // the tile's bottom left corner. The box is left out of the comparison
  // with ffmpeg's frames.
  const int scale = tidepool::font::ScaleForWidth(kWidth);
  const tidepool::font::Box box = tidepool::font::LabelBox("00:00:00.000", scale);
  ASSERT_LE(box.width, kWidth);
  auto inLabel = [&](size_t x, size_t y) {
    return x < static_cast<size_t>(box.width) && y >= static_cast<size_t>(kTileHeight - box.height);
  };
  // Mean absolute difference between tile i and frame f, outside the label.
  auto difference = [&](int i, size_t f) {
    const size_t x0 = (i % kColumns) * kWidth, y0 = (i / kColumns) * kTileHeight;
    double sum = 0;
    size_t count = 0;
    for (size_t y = 0; y < kTileHeight; ++y) {
      for (size_t x = 0; x < kWidth * 3; ++x) {
        if (inLabel(x / 3, y)) continue;
        sum +=
            std::abs(pixels[((y0 + y) * kColumns * kWidth + x0) * 3 + x] - frames[f * tileBytes + y * kWidth * 3 + x]);
        ++count;
      }
    }
    return sum / count;
  };
  // Whether tile i's label box holds exactly text as the font draws it.
  auto labelReads = [&](int i, const std::string &text) {
    std::vector<uint8_t> expected(tileBytes, 0);
    tidepool::font::DrawLabel(expected.data(), kWidth * 3, {0, 0, kWidth, kTileHeight}, 0, kTileHeight - box.height,
                              text, scale);
    const size_t x0 = (i % kColumns) * kWidth, y0 = (i / kColumns) * kTileHeight;
    for (size_t y = kTileHeight - box.height; y < kTileHeight; ++y) {
      for (size_t x = 0; x < static_cast<size_t>(box.width) * 3; ++x) {
        if (pixels[((y0 + y) * kColumns * kWidth + x0) * 3 + x] != expected[y * kWidth * 3 + x]) return false;
      }
    }
    return true;
  };
  // The times come from the duration the video pin reports.
  std::string report;
  ASSERT_EQ(0, Run(Tool("info --json " + ShellQuote(movie)), &report));
  const size_t key = report.find("\"duration\": ");
  ASSERT_NE(std::string::npos, key);
  const long long duration = std::stoll(report.substr(key + 12));
  for (int i = 0; i < kCount; ++i) {
    const long long at = duration * (2 * i + 1) / (2 * kCount);  // 100 ns
    const size_t f = static_cast<size_t>(at * kRate / 10000000);
    SCOPED_TRACE("tile " + std::to_string(i) + ", frame " + std::to_string(f));
    const double here = difference(i, f);
    EXPECT_LT(here, 2.0);
    EXPECT_LT(here * 4, difference(i, f - 1));
    EXPECT_LT(here * 4, difference(i, f + 1));
    // The label reads that frame's time (frames start at multiples of 40 ms),
    // not its neighbour's.
    const long long ms = static_cast<long long>(f) * 1000 / kRate;
    EXPECT_TRUE(labelReads(i, tidepool::font::FormatTime(ms))) << tidepool::font::FormatTime(ms);
    EXPECT_FALSE(labelReads(i, tidepool::font::FormatTime(ms + 1000 / kRate)));
  }
  // The sixth place of the last row stays black.
  EXPECT_EQ(0, pixels[((kTileHeight + 10) * kColumns * kWidth + 2 * kWidth + 10) * 3]);
}

// A start on a frame's first instant begins with that frame, stamped 0, for
// starts whose track time a double product lands just under (12800 x 1.16
// is 14847.99...).
TEST_F(HostCommands, Convert_StartOnAFrameBeginsWithThatFrame) {
  if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  const std::string movie = MakeMovie("hue.mp4",
                                      "-f lavfi -i testsrc2=size=320x240:rate=25:duration=4,hue=h=900*t -c:v libx264 "
                                      "-bf 2 -g 30 -pix_fmt yuv420p");
  const std::string times = (dir / "start.txt").string(), video = (dir / "start.raw").string();
  for (const char *start : {"1.16", "1.2", "2.28", "2.32"}) {
    SCOPED_TRACE(start);
    ASSERT_EQ(0, Run(Tool("convert " + ShellQuote(movie) + " --video " + ShellQuote(video) + " --start " + start +
                          " --times " + ShellQuote(times))));
    EXPECT_EQ(0u, ReadFileText(times).rfind("Video 0 400000 1 1\n", 0)) << ReadFileText(times).substr(0, 40);
  }
}

// A seek made while the graph runs, with both pins streaming, or while it is
// paused ends exactly as a convert that starts there: the video and PCM end
// with that convert's, and from each pin's first sample after the seek the
// stamps are its stamps. The check is the Wine stage's script, which must
// also refuse a convert from elsewhere.
TEST_F(HostCommands, Convert_SeekWhileRunningOrPaused_EndsAsAConvertFromThere) {
  if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  struct Case {
    const char *name;
    const char *args;
    const char *format;
    const char *seek;   // "--seek-running S" or "--seek-paused S"
    const char *start;  // the convert compared with
    int status;         // of the comparison
  } cases[] = {
      {"seek_raw.mov",
       "-f lavfi -i testsrc=size=64x48:rate=10:duration=3 -f lavfi -i sine=sample_rate=44100:duration=3 "
       "-c:v rawvideo -pix_fmt rgb24 -c:a pcm_s16be",
       "RGB24", "--seek-running 1.5", "1.5", 0},
      {"seek_2vuy.mov",
       "-f lavfi -i testsrc=size=96x64:rate=15:duration=3 -f lavfi -i sine=sample_rate=48000:duration=3 "
       "-c:v rawvideo -pix_fmt uyvy422 -c:a pcm_s16le",
       "YUY2", "--seek-running 0.7", "0.7", 0},
      {"seek_h264.mov",
       "-f lavfi -i testsrc=size=160x120:rate=25:duration=3 -f lavfi -i sine=duration=3 "
       "-c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p -c:a aac -shortest",
       "I420", "--seek-running 1.3", "1.3", 0},
      {"seek_h264.mov", nullptr, "I420", "--seek-paused 1.3", "1.3", 0},
      {"seek_2vuy.mov", nullptr, "YUY2", "--seek-paused 2.2", "2.2", 0},
      {"seek_raw.mov", nullptr, "RGB24", "--seek-running 1.5", "1.4", 1},
      {"seek_raw.mov", nullptr, "RGB24", "--seek-paused 1.5", "1.6", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.seek + " against --start " + c.start);
    const std::string movie = c.args ? MakeMovie(c.name, c.args) : (dir / c.name).string();
    const std::string run = (dir / (std::string(c.name) + ".seek")).string();
    const std::string from = (dir / (std::string(c.name) + ".from" + c.start)).string();
    for (const auto &[prefix, option] :
         {std::pair{run, std::string(" ") + c.seek}, std::pair{from, std::string(" --start ") + c.start}}) {
      ASSERT_EQ(0, Run(Tool("convert " + ShellQuote(movie) + " --format " + c.format + " --video " +
                            ShellQuote(prefix + ".raw") + " --audio " + ShellQuote(prefix + ".wav") + " --times " +
                            ShellQuote(prefix + ".times") + option)));
    }
    std::string report;
    EXPECT_EQ(c.status, Run("python3 " + ShellQuote(std::string(TP_SOURCE_DIR) + "/scripts/compare_convert.py") +
                                " seek-tail " + ShellQuote(run) + " " + ShellQuote(from),
                            &report))
        << report;
  }
}

// The Wine stage's comparison of two decoders of one movie passes the same
// output and refuses other pictures, another frame count, or the same sound
// 3 dB louder (which correlates perfectly).
TEST_F(HostCommands, CompareClose_AcceptsOnlyTheSameFramesTimesAndSound) {
  if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  auto make = [](const char *name, const char *video, const char *volume) {
    return MakeMovie(name, std::string("-f lavfi -i ") + video +
                               "=size=64x48:rate=25:duration=2 -f lavfi -i sine=duration=2 -af volume=" + volume +
                               " -c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p -c:a aac -shortest");
  };
  const std::string a = make("close_a.mp4", "testsrc", "1"), b = make("close_b.mp4", "testsrc2", "1");
  const std::string louder = make("close_loud.mp4", "testsrc", "1.414");
  struct Case {
    const char *name;
    const std::string *movie;
    const char *options;
    int status;
  } cases[] = {
      {"same", &a, "", 0},
      {"other pictures", &b, "", 1},
      {"fewer frames", &a, " --stop 1", 1},
      {"louder sound", &louder, "", 1},
  };
  const std::string reference = (dir / "close.ref").string();
  auto convert = [&](const std::string &movie, const std::string &prefix, const std::string &options) {
    return Run(Tool("convert " + ShellQuote(movie) + " --format YV12 --video " + ShellQuote(prefix + ".raw") +
                    " --audio " + ShellQuote(prefix + ".wav") + " --times " + ShellQuote(prefix + ".times") + options));
  };
  ASSERT_EQ(0, convert(a, reference, ""));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string other = (dir / "close.other").string();
    ASSERT_EQ(0, convert(*c.movie, other, c.options));
    std::string report;
    EXPECT_EQ(c.status, Run("python3 " + ShellQuote(std::string(TP_SOURCE_DIR) + "/scripts/compare_convert.py") +
                                " close " + ShellQuote(reference) + " " + ShellQuote(other) + " --frame-bytes " +
                                std::to_string(64 * 48 * 3 / 2),
                            &report))
        << report;
  }
}

// The progress bar appears on a terminal (script(1) gives the tool a
// pseudo-terminal and records what it drew) and nowhere else.
TEST_F(HostCommands, Progress_IsDrawnOnATerminalOnly) {
  if (!tp::test::ff::HaveFfmpeg() || Run("command -v script >/dev/null") != 0) GTEST_SKIP() << "no ffmpeg or script";
  const std::string movie =
      MakeMovie("small.mov", "-f lavfi -i testsrc=size=64x48:rate=10:duration=1 -c:v libx264 -pix_fmt yuv420p");
  const std::string convert = Tool("convert " + ShellQuote(movie) + " --video " + ShellQuote((dir / "p.raw").string()));
  std::string terminal, plain;
  ASSERT_EQ(0, Run("script -qec " + ShellQuote(convert) + " /dev/null", &terminal));
  EXPECT_NE(std::string::npos, terminal.find("\r[")) << terminal;
  EXPECT_NE(std::string::npos, terminal.find(" / 1.00 s ")) << terminal;
  EXPECT_NE(std::string::npos, terminal.find("x")) << terminal;
  ASSERT_EQ(0, Run(convert + " 2>&1", &plain));
  EXPECT_EQ("", plain);
}

}  // namespace
