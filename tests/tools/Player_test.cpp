// tidepool play in a window, headless: on an X server (CTest starts one
// with xvfb-run, scripts/with_display.sh) and SDL's disk sound driver, a
// 6 s H.264 + AAC movie plays to its end; the window shows the movie's
// frames (screenshots against ffmpeg's decode), the sound file holds the
// movie's sound (against ffmpeg's decode in the device's format), and a
// pause and seeks sent as key presses land where they were asked to. Then
// what happens without a sound device and without a display.
//
// Timed: this binary runs alone; its wall-clock limits are wide (a busy
// 2-core machine must not fail it).
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/FfmpegTools.h"

namespace fs = std::filesystem;
using tp::test::ff::ReadFileBytes;
using tp::test::ff::ShellQuote;

namespace {

constexpr int kWidth = 320, kHeight = 240, kRate = 25, kFrames = 150, kSoundRate = 44100;

struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
};

// A binary PPM (P6, maxval 255) as the player writes it.
Image ReadPpm(const std::string &path) {
  Image image;
  const std::vector<uint8_t> bytes = ReadFileBytes(path);
  int w = 0, h = 0, max = 0, used = 0;
  const std::string head(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 64));
  if (std::sscanf(head.c_str(), "P6 %d %d %d%n", &w, &h, &max, &used) != 3 || max != 255) return image;
  const size_t at = static_cast<size_t>(used) + 1, size = static_cast<size_t>(w) * h * 3;
  if (bytes.size() < at + size) return image;
  image.width = w;
  image.height = h;
  image.rgb.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                   bytes.begin() + static_cast<std::ptrdiff_t>(at + size));
  return image;
}

double Psnr(const uint8_t *a, const uint8_t *b, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * n / sum);
}

// What one run printed.
struct Report {
  std::string text;
  double wall = -1;
  long long rendered = -1, dropped = -1;
  int deviceRate = 0, deviceChannels = 0;
  std::vector<std::pair<std::string, double>> shots;  // path, movie time
  std::vector<std::pair<double, double>> seeks;       // from, to
  std::vector<double> paused, resumed;
};

Report Parse(const std::string &text) {
  Report r;
  r.text = text;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    char path[512];
    double a = 0, b = 0, c = 0;
    long long late = 0;
    if (std::sscanf(line.c_str(), "played %lf s of %lf s in %lf s", &a, &b, &c) == 3) r.wall = c;
    std::sscanf(line.c_str(), "video: %lld frames rendered, %lld late, %lld dropped", &r.rendered, &late, &r.dropped);
    std::sscanf(line.c_str(), "audio device: disk, %d Hz, %d channels", &r.deviceRate, &r.deviceChannels);
    if (std::sscanf(line.c_str(), "screenshot %511s at %lf s", path, &a) == 2) r.shots.emplace_back(path, a);
    if (std::sscanf(line.c_str(), "seek from %lf s to %lf s", &a, &b) == 2) r.seeks.emplace_back(a, b);
    if (std::sscanf(line.c_str(), "paused at %lf s", &a) == 1) r.paused.push_back(a);
    if (std::sscanf(line.c_str(), "resumed at %lf s", &a) == 1) r.resumed.push_back(a);
  }
  return r;
}

class Player : public ::testing::Test {
 protected:
  static fs::path dir;
  static std::string movie, shortMovie;
  static std::vector<uint8_t> frames;  // ffmpeg's decode, rgb24, every frame
  static std::vector<int16_t> sound;   // ffmpeg's decode, s16 stereo 44.1 kHz

  static void SetUpTestSuite() {
    dir = fs::temp_directory_path() / ("tp_player_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string bin = std::string(TP_BUILD_DIR) + "/bin/";
    ASSERT_EQ(0, Run(ShellQuote(bin + "regsvr32") + " /s " + ShellQuote(bin + "Tidepool.ax")));
    if (!tp::test::ff::HaveFfmpeg()) return;
    // A rising tone, so that the sound lines up with itself at one lag only;
    // a key frame a second, so that seeks are quick.
    movie = (dir / "six.mp4").string();
    ASSERT_TRUE(tp::test::ff::RunFfmpeg(
        "-f lavfi -i testsrc2=size=320x240:rate=25:duration=6 -f lavfi "
        "-i 'aevalsrc=0.5*sin(2*PI*(200+150*t)*t):s=44100:d=6' -c:v libx264 -bf 2 -g 25 -pix_fmt yuv420p "
        "-c:a aac -shortest " +
        ShellQuote(movie)));
    shortMovie = (dir / "short.mp4").string();
    ASSERT_TRUE(
        tp::test::ff::RunFfmpeg("-f lavfi -i testsrc2=size=160x120:rate=25:duration=1 -f lavfi "
                                "-i sine=duration=1 -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest " +
                                ShellQuote(shortMovie)));
    const std::string raw = (dir / "frames.rgb").string(), pcm = (dir / "sound.s16").string();
    ASSERT_TRUE(tp::test::ff::RunFfmpeg("-i " + ShellQuote(movie) + " -f rawvideo -pix_fmt rgb24 " + ShellQuote(raw)));
    ASSERT_TRUE(tp::test::ff::RunFfmpeg("-i " + ShellQuote(movie) + " -f s16le -ac 2 -ar 44100 " + ShellQuote(pcm)));
    frames = ReadFileBytes(raw);
    const std::vector<uint8_t> bytes = ReadFileBytes(pcm);
    sound.resize(bytes.size() / 2);
    for (size_t i = 0; i < sound.size(); ++i) sound[i] = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
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
  // Plays file with the disk sound driver writing to soundFile; env goes
  // first on the command line.
  static Report Play(const std::string &file, const std::string &args, const std::string &soundFile,
                     const std::string &env = "", int *status = nullptr) {
    std::string out;
    const int got = Run("SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=" + ShellQuote(soundFile) + " " + env + " " +
                            ShellQuote(std::string(TP_BUILD_DIR) + "/bin/tidepool") + " play " + ShellQuote(file) +
                            " " + args + " 2>&1",
                        &out);
    if (status) {
      *status = got;
    } else {
      EXPECT_EQ(0, got) << out;
    }
    return Parse(out);
  }
  static bool HaveDisplay() { return std::getenv("DISPLAY") && *std::getenv("DISPLAY"); }

  // The screenshot at path against ffmpeg's frame at movie time t: the PSNR.
  static double ShotPsnr(const std::string &path, double t) {
    const Image shot = ReadPpm(path);
    EXPECT_EQ(kWidth, shot.width);
    EXPECT_EQ(kHeight, shot.height);
    const long f = std::lround(t * kRate);
    const size_t frameBytes = static_cast<size_t>(kWidth) * kHeight * 3;
    if (shot.rgb.size() != frameBytes || f < 0 || f >= kFrames) return 0;
    return Psnr(shot.rgb.data(), frames.data() + f * frameBytes, frameBytes);
  }
};
fs::path Player::dir;
std::string Player::movie, Player::shortMovie;
std::vector<uint8_t> Player::frames;
std::vector<int16_t> Player::sound;

TEST_F(Player, PlaysToTheEnd_PictureAndSoundAreTheMovies) {
  if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  if (!HaveDisplay()) GTEST_SKIP() << "no X server (DISPLAY unset) and none could be made: the window is not tested";
  const std::string soundFile = (dir / "device.s16").string(), shot = (dir / "mid.ppm").string();
  const Report r = Play(movie, "--script 3:shot=" + shot, soundFile);
  // 6 s of movie in 6 s give or take; the upper limit is wide on purpose.
  EXPECT_GE(r.wall, 5.9) << r.text;
  EXPECT_LE(r.wall, 15.0) << r.text;
  EXPECT_EQ(kFrames, r.rendered + r.dropped) << r.text;
  ASSERT_EQ(1u, r.shots.size()) << r.text;
  EXPECT_GT(r.shots[0].second, 2.0);
  EXPECT_GE(ShotPsnr(shot, r.shots[0].second), 25.0) << "frame at " << r.shots[0].second;

  // The device wrote 16-bit stereo at 44.1 kHz; find where the movie's
  // sound begins in it (it may follow some silence), then correlate.
  ASSERT_EQ(kSoundRate, r.deviceRate) << r.text;
  ASSERT_EQ(2, r.deviceChannels);
  const std::vector<uint8_t> bytes = ReadFileBytes(soundFile);
  std::vector<int16_t> got(bytes.size() / 2);
  for (size_t i = 0; i < got.size(); ++i) got[i] = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  const size_t frames = sound.size() / 2, window = 4096, from = kSoundRate;  // a second in
  ASSERT_GT(frames, from + window);
  // The device writes silence while it waits for the graph to run, however
  // long that takes: the search starts a second before the first sound.
  size_t firstSound = 0;
  while (2 * firstSound < got.size() && got[2 * firstSound] == 0 && got[2 * firstSound + 1] == 0) ++firstSound;
  size_t bestLag = firstSound > kSoundRate ? firstSound - kSoundRate : 0;
  const size_t lastLag = firstSound + 2 * kSoundRate;
  double best = -1;
  for (size_t lag = bestLag; lag + from + window <= got.size() / 2 && lag < lastLag; ++lag) {
    double dot = 0;
    for (size_t i = 0; i < window; ++i) dot += double(sound[2 * (from + i)]) * got[2 * (lag + from + i)];
    if (dot > best) {
      best = dot;
      bestLag = lag;
    }
  }
  double xy = 0, xx = 0, yy = 0;
  const size_t overlap = std::min(frames, got.size() / 2 - bestLag);
  for (size_t i = 0; i < 2 * overlap; ++i) {
    const double x = sound[i], y = got[2 * bestLag + i];
    xy += x * y;
    xx += x * x;
    yy += y * y;
  }
  EXPECT_GT(overlap, frames * 99 / 100) << "the device played " << overlap << " of " << frames << " frames";
  EXPECT_GE(xy / std::sqrt(xx * yy), 0.99) << "lag " << bestLag;
}

// Keys go through the window's event queue at fixed times after the start.
// A seek lands where it was asked (five seconds from where the graph was,
// within the movie) and the window shows that time's frame soon after; a
// paused window keeps one frame, which is the one at the pause, and play
// resumes from there.
TEST_F(Player, KeysPauseAndSeekWhereAsked) {
  if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  if (!HaveDisplay()) GTEST_SKIP() << "no X server (DISPLAY unset) and none could be made: the window is not tested";
  auto shot = [](const char *name) { return (dir / name).string(); };
  const Report r =
      Play(movie,
           "--script 0.2:right,0.5:shot=" + shot("a.ppm") + ",0.7:left,1.2:space,1.6:shot=" + shot("b.ppm") +
               ",2.1:shot=" + shot("c.ppm") + ",2.3:space,2.7:shot=" + shot("d.ppm"),
           (dir / "keys.s16").string());
  ASSERT_EQ(2u, r.seeks.size()) << r.text;
  ASSERT_EQ(4u, r.shots.size()) << r.text;
  ASSERT_EQ(1u, r.paused.size()) << r.text;
  ASSERT_EQ(1u, r.resumed.size()) << r.text;
  const auto [from1, to1] = r.seeks[0];
  const auto [from2, to2] = r.seeks[1];
  EXPECT_NEAR(std::min(from1 + 5, 6.0), to1, 0.0015);
  EXPECT_NEAR(std::max(from2 - 5, 0.0), to2, 0.0015);
  const double ta = r.shots[0].second, tb = r.shots[1].second, tc = r.shots[2].second, td = r.shots[3].second;
  // Shown 0.3 s after the seek: a frame from the new place, no further on
  // than the time that passed.
  EXPECT_GE(ta, to1 - 0.041) << r.text;
  EXPECT_LE(ta, to1 + 0.35) << r.text;
  // Paused: the same frame twice, the one at the pause; resumed from there.
  const double paused = r.paused[0];
  EXPECT_EQ(tb, tc);
  EXPECT_GE(tb, paused - 0.1) << r.text;
  EXPECT_LE(tb, paused + 0.001) << r.text;
  EXPECT_GE(tb, to2 - 0.041) << "the pause is after the seek back";
  EXPECT_NEAR(paused, r.resumed[0], 0.02);
  EXPECT_EQ(ReadFileBytes(shot("b.ppm")), ReadFileBytes(shot("c.ppm")));
  EXPECT_GE(td, r.resumed[0] - 0.041);
  EXPECT_LE(td, r.resumed[0] + 0.5);
  for (const auto &[path, t] : r.shots) EXPECT_GE(ShotPsnr(path, t), 25.0) << path << " at " << t;
}

// Without a sound device the video plays alone on the system clock, with
// one line that says so; without a display (or with --null) the discarding
// renderers play, as before.
TEST_F(Player, WithoutADeviceOrADisplay_PlaysWhatItCan) {
  if (!tp::test::ff::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  struct Case {
    const char *env;
    const char *args;
    bool needsDisplay;
    const char *says;
  } cases[] = {
      {"SDL_AUDIODRIVER=nosuchdriver", "", true, "no audio device ("},
      {"DISPLAY= SDL_VIDEODRIVER=", "", false, "no display ("},
      {"", "--null", false, "audio: "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.env) + " " + c.args);
    if (c.needsDisplay && !HaveDisplay()) continue;
    int status = -1;
    const Report r = Play(shortMovie, c.args, (dir / "none.s16").string(), c.env, &status);
    EXPECT_EQ(0, status) << r.text;
    EXPECT_NE(std::string::npos, r.text.find(c.says)) << r.text;
    EXPECT_EQ(25, r.rendered + r.dropped) << r.text;
  }
}

}  // namespace
