// The movie session's choice of audio track on the real runtime: sound the
// extraction refuses (AMR-NB speech) is served by the sound-converter
// decoder, and a user that drives the audio track as the pin does gets the
// same PCM either way.
#include <windows.h>
#include <mmreg.h>

#include <fstream>
#include <memory>
#include <new>

#include <gtest/gtest.h>

#include "support/AmrWriter.h"
#include "support/AudioPull.h"
#include "support/AudioTestMovies.h"
#include "EngineTestEnv.h"
#include "support/FallbackFactory.h"
#include "engine/CQTAVExtraction.h"
#include "engine/CQTAudioDecoder.h"
#include "engine/CQTAudioExtraction.h"
#include "engine/QuickTimeBinding.h"

using namespace enginetest;
using namespace tp::test;

namespace {

class AudioFallbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetQuickTimeBindingForTesting();
    SetQuickTimeValue("QTSysDir", std::string(TP_QUICKTIME_DIR) + "/");
  }
  void TearDown() override { ResetQuickTimeBindingForTesting(); }

  std::string MakeAmr(double seconds) {
    std::vector<int> types;
    for (int i = 0; i < static_cast<int>(seconds * 50); ++i) types.push_back(i % 8);  // 20 ms frames, every mode
    const std::vector<uint8_t> bytes = MakeAmrNb(types);
    return env.WriteFile("speech.amr", std::string(bytes.begin(), bytes.end()));
  }

  EngineEnvironment env;
};

TEST_F(AudioFallbackTest, RefusedSpeech_PlaysThroughTheDecoder_EqualToCommandLine) {
  const std::string file = MakeAmr(2.0);
  CQTAVExtraction session(Wide(file).c_str());
  ASSERT_EQ(session.GetStatus(), 0);
  auto *decoder = dynamic_cast<CQTAudioDecoder *>(session.GetAudioExtraction());
  ASSERT_NE(decoder, nullptr) << "the extraction served AMR-NB; the fallback was not taken";
  EXPECT_EQ(decoder->GetBufferSize(), 65536);
  // 8,000 Hz mono: (8,000 + 1,000) x 1 x 4 = 36,000, raised to 65,536.
  EXPECT_EQ(decoder->InputBufferSize(), 65536);

  const PulledAudio pulled = PullAudio(decoder);
  ASSERT_TRUE(pulled.ended);
  EXPECT_EQ(pulled.format.wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(pulled.format.nChannels, 1);
  EXPECT_EQ(pulled.format.nSamplesPerSec, 8000u);
  EXPECT_EQ(pulled.format.wBitsPerSample, 16);
  EXPECT_EQ(pulled.format.nBlockAlign, 2);
  EXPECT_EQ(pulled.format.nAvgBytesPerSec, 16000u);

  const std::vector<int16_t> got = AsS16(pulled.pcm);
  const std::vector<int16_t> reference = FfmpegDecodeS16(file);
  ASSERT_EQ(reference.size(), 16000u);
  // Every sample, the last partial buffer included.
  ASSERT_EQ(got.size(), reference.size());
  EXPECT_LE(RmsDifference(got, reference, got.size()), 1.0);
  // Times follow the bytes: contiguous from 0 to the media's end.
  LONGLONG next = 0;
  for (const AudioBlock &b : pulled.blocks) {
    EXPECT_EQ(b.start, next);
    next += b.duration;
  }
  EXPECT_EQ(next, decoder->GetDuration());
  // Exhausted: the decoder keeps reporting the end.
  std::vector<BYTE> buffer(65536);
  LONG size = 65536;
  LONGLONG start = 0, length = 0;
  EXPECT_EQ(decoder->GetNextSample(buffer.data(), &size, &start, &length), -1);
}

TEST_F(AudioFallbackTest, SameTrackEitherWay_SamePcmFormatAndTimeline) {
  const std::string file = MakeAudioMovie(env.Dir().string(), {"stereo.mov", "-c:a pcm_s16be", 44100, 2, 1.3});
  ASSERT_FALSE(file.empty());
  CQTAVExtraction preferred(Wide(file).c_str());
  FallbackFactory failing;
  CQTAVExtraction fallback(Wide(file).c_str(), &failing);
  ASSERT_EQ(preferred.GetStatus(), 0);
  ASSERT_EQ(fallback.GetStatus(), 0);
  ASSERT_NE(dynamic_cast<CQTAudioExtraction *>(preferred.GetAudioExtraction()), nullptr);
  auto *decoder = dynamic_cast<CQTAudioDecoder *>(fallback.GetAudioExtraction());
  ASSERT_NE(decoder, nullptr);
  // (44,100 + 1,000) x 2 x 4 bytes of input per fetch.
  EXPECT_EQ(decoder->InputBufferSize(), 360800);
  EXPECT_EQ(decoder->GetBufferSize(), 65536);

  const PulledAudio a = PullAudio(preferred.GetAudioExtraction());
  const PulledAudio b = PullAudio(decoder);
  ASSERT_TRUE(a.ended);
  ASSERT_TRUE(b.ended);
  EXPECT_EQ(0, std::memcmp(&a.format, &b.format, sizeof(WAVEFORMATEX)));
  EXPECT_EQ(a.pcm.size(), b.pcm.size());
  EXPECT_TRUE(a.pcm == b.pcm);
  // Both timelines cover the track in seconds.
  const double secondsA = static_cast<double>(a.blocks.back().start + a.blocks.back().duration) /
                          preferred.GetAudioExtraction()->GetTimeScale();
  const double secondsB =
      static_cast<double>(b.blocks.back().start + b.blocks.back().duration) / decoder->GetTimeScale();
  EXPECT_NEAR(secondsA, 1.3, 0.05);
  EXPECT_NEAR(secondsB, 1.3, 0.001);
}

TEST_F(AudioFallbackTest, DamagedSpeechFile_NoCrashNoHang) {
  std::vector<uint8_t> bytes = MakeAmrNb(std::vector<int>(100, 7));
  bytes.resize(bytes.size() / 2 + 3);  // cut inside a frame
  const std::string file = env.WriteFile("cut.amr", std::string(bytes.begin(), bytes.end()));
  CQTAVExtraction session(Wide(file).c_str());
  if (session.GetStatus() != 0 || session.GetAudioExtraction() == nullptr) return;  // refused at opening: fine
  const PulledAudio pulled = PullAudio(session.GetAudioExtraction(), 1000);
  EXPECT_TRUE(pulled.ended);
  EXPECT_LE(pulled.pcm.size(), 100u * 160 * 2);
}

}  // namespace
