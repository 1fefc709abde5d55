// `tidepool extract --audio` run as a program: audio.wav against the ffmpeg
// command line's decode of the same movie (through the extraction and,
// for AMR-NB, through the decoder), the times file, and bad options.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/AmrWriter.h"
#include "support/AudioTestMovies.h"

#include "support/FfmpegTools.h"

namespace fs = std::filesystem;
using tp::test::ff::ReadFileText;
using tp::test::ff::ShellQuote;
using namespace tp::test;

namespace {

uint32_t Le(const std::string &b, size_t at, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + static_cast<size_t>(i)]);
  return v;
}

class ExtractAudioTool : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("tp_h10_extract_audio_" + std::to_string(getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  int Run(const std::string &args) const {
    const std::string command = "TP_REGISTRY_FILE=" + ShellQuote((dir / "registry.reg").string()) + " " +
                                ShellQuote(std::string(TP_BUILD_DIR) + "/bin/tidepool") + " extract " + args +
                                " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  struct Wav {
    uint16_t channels = 0, bits = 0, blockAlign = 0;
    uint32_t rate = 0;
    std::vector<int16_t> pcm;
  };
  static Wav ReadWav(const fs::path &p) {
    const std::string b = ReadFileText(p);
    Wav w;
    if (b.size() < 44 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 8, "WAVEfmt ") != 0) return w;
    EXPECT_EQ(Le(b, 4, 4), b.size() - 8);
    EXPECT_EQ(Le(b, 20, 2), 1u);
    w.channels = static_cast<uint16_t>(Le(b, 22, 2));
    w.rate = Le(b, 24, 4);
    w.blockAlign = static_cast<uint16_t>(Le(b, 32, 2));
    w.bits = static_cast<uint16_t>(Le(b, 34, 2));
    EXPECT_EQ(Le(b, 40, 4), b.size() - 44);
    w.pcm.resize((b.size() - 44) / 2);
    std::memcpy(w.pcm.data(), b.data() + 44, w.pcm.size() * 2);
    return w;
  }

  fs::path dir;
};

TEST_F(ExtractAudioTool, ExtractionPath_WavEqualsCommandLine_TimesByWhatEachBlockHolds) {
  const std::string movie = MakeAudioMovie(dir.string(), {"s.mov", "-c:a pcm_s16be", 44100, 2, 0.52});
  ASSERT_FALSE(movie.empty());
  const fs::path out = dir / "out";
  ASSERT_EQ(Run(ShellQuote(movie) + " --audio --out " + ShellQuote(out.string())), 0);
  const Wav wav = ReadWav(out / "audio.wav");
  EXPECT_EQ(wav.channels, 2);
  EXPECT_EQ(wav.rate, 44100u);
  EXPECT_EQ(wav.bits, 16);
  EXPECT_EQ(wav.pcm, FfmpegDecodeS16(movie, "-ac 2"));

  std::istringstream times(ReadFileText(out / "audio-times.txt"));
  std::string word;
  long long scale = 0;
  times >> word >> scale;
  EXPECT_EQ(word, "timescale");
  ASSERT_GT(scale, 0);
  long long start = 0, length = 0, bytes = 0, total = 0, i = 0;
  while (times >> start >> length >> bytes) {
    EXPECT_EQ(start, i * (scale / 20)) << i;
    // What the block holds: 50 ms, and 20 ms in the last one.
    EXPECT_EQ(length, (bytes / 4 * scale + 22050) / 44100) << i;
    total += bytes;
    ++i;
  }
  EXPECT_EQ(i, 11);
  EXPECT_EQ(static_cast<size_t>(total), wav.pcm.size() * 2);
}

TEST_F(ExtractAudioTool, RefusedSpeech_WavFromTheDecoderEqualsCommandLine) {
  std::vector<int> types(75, 7);
  const std::vector<uint8_t> bytes = MakeAmrNb(types);
  const fs::path movie = dir / "speech.amr";
  std::ofstream(movie, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  const fs::path out = dir / "out";
  ASSERT_EQ(Run(ShellQuote(movie.string()) + " --audio --out " + ShellQuote(out.string())), 0);
  const Wav wav = ReadWav(out / "audio.wav");
  EXPECT_EQ(wav.channels, 1);
  EXPECT_EQ(wav.rate, 8000u);
  const std::vector<int16_t> reference = FfmpegDecodeS16(movie.string());
  ASSERT_EQ(wav.pcm.size(), reference.size());
  EXPECT_LE(RmsDifference(wav.pcm, reference, reference.size()), 1.0);
}

TEST_F(ExtractAudioTool, BadOptionsAndMoviesWithoutSound_FailWithStatus) {
  const std::string movie = MakeAudioMovie(dir.string(), {"s.mov", "-c:a pcm_s16le", 8000, 1, 0.2});
  const std::string out = ShellQuote((dir / "o").string());
  EXPECT_EQ(Run(ShellQuote(movie) + " --audio"), 2);                             // no --out
  EXPECT_EQ(Run(ShellQuote(movie) + " --audio --video RGB32 --out " + out), 2);  // both
  EXPECT_EQ(Run(ShellQuote((dir / "absent.mov").string()) + " --audio --out " + out), 1);
  const std::string silent = (dir / "v.mov").string();
  ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=32x24:rate=5 -t 1 -c:v mjpeg " +
                         ShellQuote(silent))
                            .c_str()),
            0);
  EXPECT_EQ(Run(ShellQuote(silent) + " --audio --out " + out), 1);
}

}  // namespace
