// `tidepool extract --audio` run as a program: audio.wav against the ffmpeg
// command line's decode of the same movie (through the extraction and,
// for AMR-NB, through the decoder), the times file, and bad options.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// Opus ('dOps': pre-skip, channel mapping) and FLAC ('dfLa': STREAMINFO) in
// MP4, and the same files as QuickTime movies (ffmpeg writes these codecs
// in MP4 only; the copy's brand says 'qt  '): the 16-bit stereo of the
// extraction equals ffmpeg's decode with the same conversion, sample for
// sample, and lasts the movie's duration. ffmpeg 5.1's command line keeps
// Opus's pre-skip (the encoder's start-up samples, which the track's edit
// leaves out) and the last packet's padding; we play the edit, so ours is
// its decode from the pre-skip on. AAC and ALAC at 96 kHz: an MP4
// description cannot hold the rate, which their decoder configurations name.
TEST_F(ExtractAudioTool, OpusFlacAndHighRates_WavEqualsCommandLine) {
  struct Case {
    AudioMovieSpec spec;
    bool asMov;
  } cases[] = {
      {{"opus_stereo.mp4", "-c:a libopus -b:a 96k", 48000, 2, 1.0}, false},
      {{"opus_mono.mp4", "-c:a libopus -b:a 32k", 48000, 1, 0.7}, true},
      {{"opus_51.mp4", "-c:a libopus -b:a 192k -mapping_family 1", 48000, 6, 0.5}, false},
      {{"flac_stereo.mp4", "-c:a flac -strict -2", 44100, 2, 1.0}, true},
      {{"flac_mono_s24.mp4", "-c:a flac -strict -2 -sample_fmt s32", 96000, 1, 0.5}, false},
      {{"aac_96k.m4a", "-c:a aac", 96000, 2, 0.5}, false},
      {{"alac_96k.m4a", "-c:a alac", 96000, 2, 0.5}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.spec.name);
    std::string movie = MakeAudioMovie(dir.string(), c.spec);
    ASSERT_FALSE(movie.empty());
    if (c.asMov) {
      std::string bytes = ReadFileText(movie);
      ASSERT_EQ(bytes.compare(4, 8, "ftypisom"), 0);
      bytes.replace(8, 4, "qt  ");
      movie = (dir / (c.spec.name + ".mov")).string();
      std::ofstream(movie, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    const fs::path out = dir / ("out_" + c.spec.name);
    ASSERT_EQ(Run(ShellQuote(movie) + " --audio --out " + ShellQuote(out.string())), 0);
    const Wav wav = ReadWav(out / "audio.wav");
    EXPECT_EQ(wav.channels, 2);
    EXPECT_EQ(wav.rate, static_cast<uint32_t>(c.spec.rate));
    std::vector<int16_t> reference = FfmpegDecodeS16(movie, "-ac 2");
    const std::string bytes = ReadFileText(movie);
    if (const size_t dops = bytes.find("dOps"); dops != std::string::npos) {
      const size_t preSkip = static_cast<uint8_t>(bytes[dops + 6]) * 256u + static_cast<uint8_t>(bytes[dops + 7]);
      EXPECT_GT(preSkip, 0u);
      reference.erase(reference.begin(), reference.begin() + static_cast<std::ptrdiff_t>(2 * preSkip));
    }
    const size_t frames = static_cast<size_t>(c.spec.seconds * c.spec.rate);
    ASSERT_EQ(wav.pcm.size(), 2 * frames);
    ASSERT_GE(reference.size(), wav.pcm.size());
    reference.resize(wav.pcm.size());
    EXPECT_TRUE(wav.pcm == reference) << "RMS " << RmsDifference(wav.pcm, reference, wav.pcm.size());
  }
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
