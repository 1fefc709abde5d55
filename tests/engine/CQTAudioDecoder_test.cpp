// The sound-converter decoder on the real runtime: set-up sizes, seeking,
// capacities smaller than the converter's buffer, compressed sound against
// the ffmpeg command line, and bad calls.
#include <windows.h>
#include <mmreg.h>

#include <limits>
#include <memory>

#include <gtest/gtest.h>

#include "support/AudioPull.h"
#include "support/AudioTestMovies.h"
#include "support/FfmpegTools.h"
#include "EngineTestEnv.h"
#include "support/FallbackFactory.h"
#include "engine/CQTAVExtraction.h"
#include "engine/CQTAudioDecoder.h"
#include "engine/QuickTimeBinding.h"

using namespace enginetest;
using namespace tp::test;

namespace {

class AudioDecoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetQuickTimeBindingForTesting();
    SetQuickTimeValue("QTSysDir", std::string(TP_QUICKTIME_DIR) + "/");
  }
  void TearDown() override {
    session_.reset();  // while the runtime is still bound
    ResetQuickTimeBindingForTesting();
  }

  // A session whose sound goes through the decoder.
  CQTAudioDecoder *Open(const AudioMovieSpec &spec) {
    file_ = MakeAudioMovie(env.Dir().string(), spec);
    EXPECT_FALSE(file_.empty()) << spec.name;
    session_ = std::make_unique<CQTAVExtraction>(Wide(file_).c_str(), &factory_);
    EXPECT_EQ(session_->GetStatus(), 0);
    return dynamic_cast<CQTAudioDecoder *>(session_->GetAudioExtraction());
  }

  EngineEnvironment env;
  FallbackFactory factory_;
  std::unique_ptr<CQTAVExtraction> session_;
  std::string file_;
};

TEST_F(AudioDecoderTest, BigEndianPcm_LittleEndianOut_BitExact_SmallCapacityLosesNothing) {
  CQTAudioDecoder *decoder = Open({"twos.mov", "-c:a pcm_s16be", 48000, 2, 1.5});
  ASSERT_NE(decoder, nullptr);
  EXPECT_EQ(decoder->InputBufferSize(), (48000 + 1000) * 2 * 4);
  const std::vector<int16_t> reference = FfmpegDecodeS16(file_);
  const PulledAudio full = PullAudio(decoder);
  ASSERT_TRUE(full.ended);
  EXPECT_EQ(AsS16(full.pcm), reference);

  // A buffer far smaller than the converter's: every byte still arrives,
  // in order, on a continuous timeline.
  CQTAudioDecoder *second = Open({"twos2.mov", "-c:a pcm_s16be", 48000, 2, 1.5});
  ASSERT_NE(second, nullptr);
  const PulledAudio small = PullAudio(second, 100000, 1002);  // not a whole frame count: rounded down
  ASSERT_TRUE(small.ended);
  EXPECT_EQ(AsS16(small.pcm), reference);
  LONGLONG next = 0;
  for (const AudioBlock &b : small.blocks) {
    EXPECT_EQ(b.bytes % 4, 0);
    EXPECT_EQ(b.start, next);
    next += b.duration;
  }
  EXPECT_EQ(next, second->GetDuration());
}

// Version 2 descriptions: 'lpcm' with each combination of its format flags
// reaches the converter with the description's own rate, channels and bits
// (not the version 0 placeholders), and comes out as integer PCM of the
// track's depth (float as 32-bit) equal to the command line's decode into
// that format.
struct LinearPcmCase {
  const char *codec;
  WORD bits;             // what the decoder delivers
  const char *ffmpegAs;  // ffmpeg's output format for the same samples
};

TEST_F(AudioDecoderTest, VersionTwoLinearPcm_EveryFlagCombination_EqualsTheCommandLine) {
  const LinearPcmCase cases[] = {
      {"pcm_s24be", 24, "s24le"}, {"pcm_s24le", 24, "s24le"}, {"pcm_s16be", 16, "s16le"}, {"pcm_s16le", 16, "s16le"},
      {"pcm_s32be", 32, "s32le"}, {"pcm_s32le", 32, "s32le"}, {"pcm_f32be", 32, "s32le"}, {"pcm_f32le", 32, "s32le"},
      {"pcm_f64be", 32, "s32le"}, {"pcm_f64le", 32, "s32le"}, {"pcm_u8", 8, "u8"},        {"pcm_s8", 8, "u8"},
  };
  for (const LinearPcmCase &c : cases) {
    SCOPED_TRACE(c.codec);
    const std::string name = std::string(c.codec) + ".mov";
    CQTAudioDecoder *decoder = Open({name, std::string("-c:a ") + c.codec, 96000, 2, 0.5});
    ASSERT_NE(decoder, nullptr);
    const PulledAudio got = PullAudio(decoder);
    ASSERT_TRUE(got.ended);
    EXPECT_EQ(got.format.nChannels, 2);
    EXPECT_EQ(got.format.nSamplesPerSec, 96000u);
    EXPECT_EQ(got.format.wBitsPerSample, c.bits);
    EXPECT_EQ(got.format.nBlockAlign, 2 * c.bits / 8);
    const std::string ref = (env.Dir() / (name + ".raw")).string();
    ASSERT_TRUE(ff::RunFfmpeg("-i " + ff::ShellQuote(file_) + " -f " + c.ffmpegAs + " " + ff::ShellQuote(ref)));
    const std::vector<uint8_t> want = ff::ReadFileBytes(ref);
    ASSERT_EQ(got.pcm.size(), want.size());
    EXPECT_TRUE(got.pcm == want);
  }
}

TEST_F(AudioDecoderTest, SetPositionBeforeTheFirstBlock_StartsThere) {
  CQTAudioDecoder *decoder = Open({"seek.mov", "-c:a pcm_s16le", 44100, 2, 1.0});
  ASSERT_NE(decoder, nullptr);
  const std::vector<int16_t> reference = FfmpegDecodeS16(file_);
  ASSERT_EQ(reference.size(), 88200u);
  LONGLONG at = decoder->GetTimeScale() / 4;
  decoder->SetPosition(&at);
  const PulledAudio pulled = PullAudio(decoder);
  ASSERT_FALSE(pulled.blocks.empty());
  EXPECT_EQ(pulled.blocks.front().start, at);
  const std::vector<int16_t> got = AsS16(pulled.pcm);
  ASSERT_EQ(got.size(), 88200u - 2 * 11025);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), reference.begin() + 2 * 11025));
}

TEST_F(AudioDecoderTest, Aac_MatchesTheCommandLineAfterThePriming) {
  CQTAudioDecoder *decoder = Open({"aac.m4a", "-c:a aac -b:a 128k", 44100, 2, 2.0});
  ASSERT_NE(decoder, nullptr);
  if (decoder->Source().variableRate != 0) {
    EXPECT_EQ(decoder->Source().data.extendedFlags, kExtendedSoundBufferSizeValid | kExtendedSoundCommonFrameSizeValid);
  }
  const PulledAudio pulled = PullAudio(decoder);
  ASSERT_TRUE(pulled.ended);
  EXPECT_EQ(pulled.format.nChannels, 2);
  EXPECT_EQ(pulled.format.wBitsPerSample, 16);
  const std::vector<int16_t> got = AsS16(pulled.pcm);
  const std::vector<int16_t> reference = FfmpegDecodeS16(file_);
  ASSERT_GT(reference.size(), 80000u);
  // The decoder reads the media's samples without the edit list that hides
  // the encoder's priming: find that offset (in frames), then compare.
  double best = std::numeric_limits<double>::max();
  size_t bestOffset = 0;
  for (size_t offset = 0; offset <= 4096 && 2 * offset + 4000 < got.size(); ++offset) {
    const std::vector<int16_t> slice(got.begin() + 2 * offset, got.begin() + 2 * offset + 4000);
    const double rms = RmsDifference(slice, reference, 4000);
    if (rms < best) {
      best = rms;
      bestOffset = offset;
    }
  }
  const std::vector<int16_t> aligned(got.begin() + 2 * bestOffset, got.end());
  EXPECT_LE(RmsDifference(aligned, reference, std::min(aligned.size(), reference.size())), 1.0)
      << "offset " << bestOffset;
  EXPECT_GE(aligned.size() + 2048, reference.size());
}

TEST_F(AudioDecoderTest, BadCalls_RefusedWithoutTouchingTheBuffer) {
  CQTAudioDecoder *decoder = Open({"bad.mov", "-c:a pcm_s16le", 8000, 1, 0.2});
  ASSERT_NE(decoder, nullptr);
  EXPECT_EQ(decoder->GetBufferSize(), 65536);
  std::vector<BYTE> buffer(16, 0xAB);
  LONG size = 16;
  LONGLONG start = 0, length = 0;
  EXPECT_EQ(decoder->GetNextSample(nullptr, &size, &start, &length), -1);
  size = 0;
  EXPECT_EQ(decoder->GetNextSample(buffer.data(), &size, &start, &length), -1);
  size = 1;  // less than one frame
  EXPECT_EQ(decoder->GetNextSample(buffer.data(), &size, &start, &length), -1);
  EXPECT_EQ(buffer[0], 0xAB);
  WAVEFORMATEX format{};
  EXPECT_EQ(decoder->FillMediaInfo(nullptr, sizeof(format), nullptr), -1);
  EXPECT_EQ(decoder->FillMediaInfo(&format, 17, nullptr), -1);
  EXPECT_EQ(decoder->FillMediaInfo(&format, sizeof(format), nullptr), 0);
  EXPECT_EQ(format.nSamplesPerSec, 8000u);
  LONGLONG zero = 0;
  decoder->SetPosition(nullptr);
  decoder->SetPosition(&zero);
  EXPECT_EQ(decoder->ExtractionEnd(), 0);
  size = 16;
  EXPECT_EQ(decoder->GetNextSample(buffer.data(), &size, &start, &length), -1);  // ended: nothing more
  EXPECT_EQ(decoder->ExtractionEnd(), 0);                                        // twice is harmless
}

}  // namespace
