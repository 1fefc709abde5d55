// `tidepool extract --video` run as a program: every frame of video.raw in
// each of the seven layouts against the ffmpeg command line's own decode of
// the same movie, converted to the same layout; times and counts against
// ffprobe; bad options.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RawFrames.h"
#include "support/FfmpegTools.h"

namespace fs = std::filesystem;
using tp::test::ff::ReadFileText;
using tp::test::ff::ShellQuote;
using namespace rawframes;

namespace {

int System(const std::string &command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Movie {
  const char *name;
  const char *args;
  int width, height;
  bool yuv420;  // 4:2:0 source: I420 and YV12 are bit-exact
};

// The tool, its scratch folder and the movies made there.
class ExtractTool : public ::testing::Test {
 protected:
  static fs::path dir;

  static void SetUpTestSuite() {
    dir = fs::temp_directory_path() / ("tp_h8_extract_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  std::string Tool(const std::string &args) {
    const fs::path registry = dir / "registry.reg";
    return "TP_REGISTRY_FILE=" + ShellQuote(registry.string()) + " " +
           ShellQuote(std::string(TP_BUILD_DIR) + "/bin/tidepool") + " extract " + args + " >/dev/null 2>" +
           ShellQuote((dir / "stderr.txt").string());
  }

  std::string MakeMovie(const Movie &m) {
    const fs::path file = dir / m.name;
    if (!fs::exists(file)) {
      const std::string command =
          "ffmpeg -nostdin -v error -y " + std::string(m.args) + " " + ShellQuote(file.string());
      if (System(command) != 0) return {};
    }
    return file.string();
  }
};

fs::path ExtractTool::dir;

class ExtractVideo : public ExtractTool, public ::testing::WithParamInterface<Movie> {};

TEST_P(ExtractVideo, EveryFrameInEveryLayout_MatchesFfmpeg_TimesMatchFfprobe) {
  const Movie &m = GetParam();
  const std::string file = MakeMovie(m);
  ASSERT_FALSE(file.empty()) << "ffmpeg could not make " << m.name;
  {
    FILE *pipe =
        popen(("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 " + ShellQuote(file))
                  .c_str(),
              "r");
    ASSERT_NE(pipe, nullptr);
    int w = 0, h = 0;
    ASSERT_EQ(std::fscanf(pipe, "%d,%d", &w, &h), 2);
    pclose(pipe);
    ASSERT_EQ(w, m.width);
    ASSERT_EQ(h, m.height);
  }
  const int W = (m.width + 1) / 2 * 2, H = (m.height + 1) / 2 * 2;

  // ffprobe's presentation times: movie time, edit lists applied.
  std::string probe;
  {
    FILE *pipe =
        popen(("ffprobe -v error -select_streams v:0 -show_entries packet=pts,duration -of csv=p=0 " + ShellQuote(file))
                  .c_str(),
              "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) probe.append(buffer, n);
    pclose(pipe);
  }
  std::vector<std::pair<long long, long long>> expectedTimes;
  {
    std::istringstream in(probe);
    for (std::string line; std::getline(in, line);) {
      long long pts = 0, duration = 0;
      if (std::sscanf(line.c_str(), "%lld,%lld", &pts, &duration) != 2) continue;
      expectedTimes.push_back({pts, duration});
    }
    std::sort(expectedTimes.begin(), expectedTimes.end());
  }
  ASSERT_FALSE(expectedTimes.empty());

  for (const Layout &layout : kLayouts) {
    SCOPED_TRACE(layout.subtype);
    const fs::path out = dir / (std::string(m.name) + "_" + layout.subtype);
    ASSERT_EQ(System(Tool(ShellQuote(file) + " --video " + layout.subtype + " --out " + ShellQuote(out.string()))), 0)
        << ReadFileText(dir / "stderr.txt");
    const std::string ours = ReadFileText(out / "video.raw");
    const fs::path refFile = dir / (std::string(m.name) + "_" + layout.ffmpegFormat + ".raw");
    if (!fs::exists(refFile)) {
      ASSERT_EQ(System("ffmpeg -nostdin -v error -y -i " + ShellQuote(file) +
                       " -map 0:v:0 -fps_mode passthrough -f rawvideo "
                       "-pix_fmt " +
                       layout.ffmpegFormat + " " + ShellQuote(refFile.string())),
                0);
    }
    const std::string ref = ReadFileText(refFile);

    // Times and count: one line per frame after the time scale.
    std::istringstream times(ReadFileText(out / "video-times.txt"));
    std::string word;
    long long scale = 0;
    times >> word >> scale;
    EXPECT_EQ(word, "timescale");
    EXPECT_GT(scale, 0);
    std::vector<std::pair<long long, long long>> gotTimes;
    for (long long s, d; times >> s >> d;) gotTimes.push_back({s, d});
    EXPECT_EQ(gotTimes, expectedTimes);
    const size_t frames = gotTimes.size();
    ASSERT_GT(frames, 0u);
    ASSERT_EQ(ours.size() % frames, 0u);
    const size_t ourFrame = ours.size() / frames;
    ASSERT_EQ(ref.size() % frames, 0u) << "ffmpeg decoded a different number of frames";
    const size_t refFrame = ref.size() / frames;

    for (size_t f = 0; f < frames; ++f) {
      Error luma, chroma;
      CompareFrame(layout, ours, f * ourFrame, ourFrame, ref, f * refFrame, refFrame, m.width, m.height, W, H, &luma,
                   &chroma);
      if (layout.planar && m.yuv420) {
        ASSERT_EQ(luma.differing + chroma.differing, 0u) << "frame " << f << " is not bit-exact";
      } else if (layout.rgb) {
        ASSERT_GE(luma.Psnr(), 35.0) << "frame " << f;
      } else {
        ASSERT_GE(luma.Psnr(), 40.0) << "frame " << f << " (luma)";
        ASSERT_GE(chroma.Psnr(), 40.0) << "frame " << f << " (chroma)";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Movies, ExtractVideo,
    ::testing::Values(
        Movie{"avc_b_640x360.mp4",
              "-f lavfi -i testsrc2=size=640x360:rate=25 -t 1 -c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p", 640, 360,
              true},
        Movie{"mpeg4_b_321x241.mov", "-f lavfi -i testsrc=size=321x241:rate=25 -t 1 -c:v mpeg4 -bf 2 -g 10 -q:v 3", 321,
              241, true},
        Movie{"mpeg4_640x360.mp4", "-f lavfi -i testsrc2=size=640x360:rate=25 -t 1 -c:v mpeg4 -q:v 3", 640, 360, true},
        Movie{"mjpeg_321x241.mov", "-f lavfi -i testsrc=size=321x241:rate=15 -t 1 -c:v mjpeg -q:v 3 -pix_fmt yuvj420p",
              321, 241, false},
        Movie{"mjpeg_640x360.mov", "-f lavfi -i testsrc2=size=640x360:rate=15 -t 1 -c:v mjpeg -q:v 3", 640, 360, false},
        // Every 'png ' sample is a whole picture, never a difference
        // against the one before.
        Movie{"png_160x120.mov", "-f lavfi -i testsrc2=size=160x120:rate=25 -t 0.4 -c:v png", 160, 120, false},
        Movie{"mpeg2_b_160x120.mov", "-f lavfi -i testsrc2=size=160x120:rate=25 -t 0.5 -c:v mpeg2video -bf 2 -g 6", 160,
              120, true},
        // Indexed pictures through the description's colour table, and
        // grey levels through the grey one.
        Movie{"raw_pal8_160x120.mov", "-f lavfi -i testsrc2=size=160x120:rate=25 -t 0.2 -c:v rawvideo -pix_fmt pal8",
              160, 120, false},
        Movie{"raw_grey_160x120.mov", "-f lavfi -i testsrc2=size=160x120:rate=25 -t 0.2 -c:v rawvideo -pix_fmt gray",
              160, 120, false},
        Movie{"dv_720x576.dv", "-f lavfi -i testsrc2=size=720x576:rate=25 -t 1 -c:v dvvideo -pix_fmt yuv420p", 720, 576,
              true},
        Movie{"av1_320x240.mp4", "-f lavfi -i testsrc2=size=320x240:rate=25 -t 1 -c:v libaom-av1 -cpu-used 8 -g 10",
              320, 240, true},
        Movie{"hevc_b_320x240.mp4",
              "-f lavfi -i testsrc2=size=320x240:rate=25 -t 1 -c:v libx265 -x265-params log-level=error:bframes=3 "
              "-tag:v hvc1 -pix_fmt yuv420p",
              320, 240, true},
        // 10 bits: our 8-bit layouts and ffmpeg's come out of the same
        // scaler, so only closely equal.
        Movie{"hevc10_320x240.mov",
              "-f lavfi -i testsrc2=size=320x240:rate=25 -t 1 -c:v libx265 -x265-params log-level=error -tag:v hvc1 "
              "-pix_fmt yuv420p10le",
              320, 240, false}),
    [](const ::testing::TestParamInfo<Movie> &info) {
      std::string n = info.param.name;
      for (char &c : n) {
        if (c == '.') c = '_';
      }
      return n;
    });

// Planar 4:2:0 at widths whose 12-bit bitmap stride is not the width: luma
// rows at a pitch of the width, chroma rows at half of it, planes back to
// back, exactly ffmpeg's yuv420p picture (with the chroma planes swapped for
// YV12).
struct PlanarSize {
  int width, height;
};

class ExtractPlanar : public ExtractTool, public ::testing::WithParamInterface<PlanarSize> {};

TEST_P(ExtractPlanar, RowsAtThePitchOfTheWidth_BitExactWithFfmpeg) {
  const auto [w, h] = GetParam();
  const std::string size = std::to_string(w) + "x" + std::to_string(h);
  const std::string name = "planar_" + size + ".mp4";
  const std::string args = "-f lavfi -i testsrc2=size=" + size + ":rate=25 -t 0.2 -c:v libx264 -bf 2 -pix_fmt yuv420p";
  const std::string file = MakeMovie(Movie{name.c_str(), args.c_str(), w, h, true});
  ASSERT_FALSE(file.empty());
  const fs::path refFile = dir / (name + ".yuv");
  ASSERT_EQ(System("ffmpeg -nostdin -v error -y -i " + ShellQuote(file) +
                   " -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt yuv420p " + ShellQuote(refFile.string())),
            0);
  const std::string ref = ReadFileText(refFile);
  const size_t picture = size_t(w) * h * 3 / 2;
  ASSERT_EQ(ref.size() % picture, 0u);
  ASSERT_GT(ref.size(), 0u);
  const size_t quarter = size_t(w / 2) * (h / 2);
  for (const char *subtype : {"I420", "YV12"}) {
    SCOPED_TRACE(subtype);
    const fs::path out = dir / (name + "_" + subtype);
    ASSERT_EQ(System(Tool(ShellQuote(file) + " --video " + subtype + " --out " + ShellQuote(out.string()))), 0)
        << ReadFileText(dir / "stderr.txt");
    std::string ours = ReadFileText(out / "video.raw");
    ASSERT_EQ(ours.size(), ref.size()) << "one picture of width x height x 3/2 bytes per frame";
    if (std::string(subtype) == "YV12") {
      for (size_t f = 0; f < ours.size(); f += picture) {
        std::swap_ranges(ours.begin() + std::ptrdiff_t(f + size_t(w) * h),
                         ours.begin() + std::ptrdiff_t(f + size_t(w) * h + quarter),
                         ours.begin() + std::ptrdiff_t(f + size_t(w) * h + quarter));
      }
    }
    EXPECT_TRUE(ours == ref) << "not bit-exact";
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ExtractPlanar,
                         ::testing::Values(PlanarSize{198, 100}, PlanarSize{322, 242}, PlanarSize{1366, 768}),
                         [](const ::testing::TestParamInfo<PlanarSize> &info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

TEST(ExtractVideoOptions, BadOptionsAndMissingFiles_FailWithoutOutput) {
  const fs::path dir = fs::temp_directory_path() / ("tp_h8_extract_opts_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string tool = "TP_REGISTRY_FILE=" + ShellQuote((dir / "r.reg").string()) + " " +
                           ShellQuote(std::string(TP_BUILD_DIR) + "/bin/tidepool") + " extract ";
  const std::string movie = (dir / "m.mov").string();
  ASSERT_EQ(
      System("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x48:rate=10 -t 1 -c:v mjpeg " + ShellQuote(movie)),
      0);
  const std::string quiet = " >/dev/null 2>&1";
  const std::string out = " --out " + ShellQuote((dir / "o").string());
  EXPECT_EQ(System(tool + ShellQuote(movie) + " --video UYVY" + out + quiet), 2);
  EXPECT_EQ(System(tool + ShellQuote(movie) + " --video RGB24" + quiet), 2);
  EXPECT_EQ(System(tool + ShellQuote(movie) + " --video RGB24 --seek abc" + out + quiet), 2);
  EXPECT_EQ(System(tool + ShellQuote(movie) + " --video RGB24 --seek -1" + out + quiet), 2);
  EXPECT_EQ(System(tool + ShellQuote((dir / "absent.mov").string()) + " --video RGB24" + out + quiet), 1);
  // --frames and --seek: two frames from 0.5 s on.
  ASSERT_EQ(System(tool + ShellQuote(movie) + " --video RGB24 --seek 0.5 --frames 2" + out + quiet), 0);
  EXPECT_EQ(fs::file_size(dir / "o" / "video.raw"), 2u * 64 * 48 * 3);
  EXPECT_EQ(ReadFileText(dir / "o" / "video-times.txt"), "timescale 10240\n5120 1024\n6144 1024\n");
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
