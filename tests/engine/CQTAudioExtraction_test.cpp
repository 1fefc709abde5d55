// The movie-audio-extraction track on the real runtime: block geometry,
// the end of the track and the replay from 0, short capacities, seeking, and
// its PCM against the ffmpeg command line's decode over codecs, rates and
// channel counts.
#include <windows.h>
#include <mmreg.h>

#include <memory>

#include <gtest/gtest.h>

#include "support/AudioPull.h"
#include "support/AudioTestMovies.h"
#include "EngineTestEnv.h"
#include "engine/CQTAVExtraction.h"
#include "engine/CQTAudioExtraction.h"
#include "engine/IMediaSampleGrabber.h"
#include "engine/SampleData.h"
#include "framework/CMediaSample.h"
#include "engine/QuickTimeBinding.h"

using namespace enginetest;
using namespace tp::test;

namespace {

class AudioExtractionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetQuickTimeBindingForTesting();
    SetQuickTimeValue("QTSysDir", std::string(TP_QUICKTIME_DIR) + "/");
  }
  void TearDown() override { ResetQuickTimeBindingForTesting(); }

  std::unique_ptr<CQTAVExtraction> Open(const AudioMovieSpec &spec) {
    const std::string file = MakeAudioMovie(env.Dir().string(), spec);
    EXPECT_FALSE(file.empty()) << spec.name;
    file_ = file;
    auto session = std::make_unique<CQTAVExtraction>(Wide(file).c_str());
    EXPECT_EQ(session->GetStatus(), 0) << spec.name;
    return session;
  }

  EngineEnvironment env;
  std::string file_;
};

TEST_F(AudioExtractionTest, At44100_BlockGeometryFormatAndTimeGrid) {
  auto session = Open({"s44.mov", "-c:a pcm_s16le", 44100, 2, 1.0});
  auto *audio = dynamic_cast<CQTAudioExtraction *>(session->GetAudioExtraction());
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(audio->FramesPerFill(), 2205);
  EXPECT_EQ(audio->GetBufferSize(), 8832);

  WAVEFORMATEX format{};
  EXPECT_EQ(audio->FillMediaInfo(nullptr, sizeof(format), nullptr), -1);
  EXPECT_EQ(audio->FillMediaInfo(&format, 4, nullptr), -1);  // too small to hold the record
  ASSERT_EQ(audio->FillMediaInfo(&format, sizeof(format), nullptr), 0);
  EXPECT_EQ(format.wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(format.nChannels, 2);
  EXPECT_EQ(format.nSamplesPerSec, 44100u);
  EXPECT_EQ(format.nAvgBytesPerSec, 176400u);
  EXPECT_EQ(format.nBlockAlign, 4);
  EXPECT_EQ(format.wBitsPerSample, 16);
  EXPECT_EQ(format.cbSize, 0);

  const PulledAudio pulled = PullAudio(audio);
  ASSERT_TRUE(pulled.ended);
  ASSERT_EQ(pulled.blocks.size(), 20u);
  const LONGLONG step = audio->GetTimeScale() / 20;
  for (size_t i = 0; i < pulled.blocks.size(); ++i) {
    EXPECT_EQ(pulled.blocks[i].start, static_cast<LONGLONG>(i) * step) << i;
    EXPECT_EQ(pulled.blocks[i].duration, step) << i;
    EXPECT_EQ(pulled.blocks[i].bytes, 8820) << i;
  }
  // No resampling or downmix: bit-exact.
  const std::vector<int16_t> reference = FfmpegDecodeS16(file_, "-ac 2");
  EXPECT_EQ(AsS16(pulled.pcm), reference);
}

TEST_F(AudioExtractionTest, LastBlockThenMinusOneThenReplayFromZero) {
  // 0.33 s: the last of seven blocks is a partial one.
  auto session = Open({"short.mov", "-c:a pcm_s16le", 44100, 2, 0.33});
  IMediaExtraction *audio = session->GetAudioExtraction();
  ASSERT_NE(dynamic_cast<CQTAudioExtraction *>(audio), nullptr);
  const PulledAudio first = PullAudio(audio);
  ASSERT_TRUE(first.ended);
  ASSERT_EQ(first.blocks.size(), 7u);
  EXPECT_GT(first.blocks.back().bytes, 0);
  EXPECT_LT(first.blocks.back().bytes, 8820);
  EXPECT_EQ(first.pcm.size(), static_cast<size_t>(14553) * 4);

  // The call after -1 plays the track again from time 0, identically.
  const PulledAudio second = PullAudio(audio);
  ASSERT_TRUE(second.ended);
  ASSERT_EQ(second.blocks.size(), first.blocks.size());
  EXPECT_EQ(second.blocks.front().start, 0);
  EXPECT_EQ(second.pcm, first.pcm);
}

TEST_F(AudioExtractionTest, TrackShorterThanOneBlock_StillDelivered) {
  // The session's test fill already reaches the end of this track; playback
  // must still get the block.
  auto session = Open({"tiny.mov", "-c:a pcm_s16le", 44100, 2, 0.03});
  IMediaExtraction *audio = session->GetAudioExtraction();
  ASSERT_NE(dynamic_cast<CQTAudioExtraction *>(audio), nullptr);
  const PulledAudio pulled = PullAudio(audio);
  ASSERT_TRUE(pulled.ended);
  ASSERT_EQ(pulled.blocks.size(), 1u);
  EXPECT_EQ(pulled.blocks[0].start, 0);
  EXPECT_EQ(AsS16(pulled.pcm), FfmpegDecodeS16(file_, "-ac 2"));
}

TEST_F(AudioExtractionTest, SmallCapacityKeepsFirstBytes_NullAndEmptyBuffersRefused) {
  auto session = Open({"cap.mov", "-c:a pcm_s16le", 44100, 2, 0.5});
  IMediaExtraction *audio = session->GetAudioExtraction();
  ASSERT_NE(audio, nullptr);
  std::vector<BYTE> buffer(8832);
  LONG size = 8832;
  LONGLONG start = -1, length = -1;
  EXPECT_EQ(audio->GetNextSample(nullptr, &size, &start, &length), -1);
  size = 0;
  EXPECT_EQ(audio->GetNextSample(buffer.data(), &size, &start, &length), -1);
  size = -5;
  EXPECT_EQ(audio->GetNextSample(buffer.data(), &size, &start, &length), -1);

  size = 100;
  ASSERT_EQ(audio->GetNextSample(buffer.data(), &size, &start, &length), 0);
  EXPECT_EQ(size, 100);
  EXPECT_EQ(start, 0);
  const std::vector<BYTE> head(buffer.begin(), buffer.begin() + 100);
  // The rest of that fill is dropped: the next block starts a twentieth later.
  size = 8832;
  ASSERT_EQ(audio->GetNextSample(buffer.data(), &size, &start, &length), 0);
  EXPECT_EQ(start, audio->GetTimeScale() / 20);

  const std::vector<int16_t> reference = FfmpegDecodeS16(file_, "-ac 2");
  ASSERT_GE(reference.size(), 50u);
  EXPECT_EQ(0, std::memcmp(head.data(), reference.data(), 100));
  EXPECT_EQ(0, std::memcmp(buffer.data(), reference.data() + 2205 * 2, 8820));
}

TEST_F(AudioExtractionTest, SeekPlaysFromTheNewTime_AlsoAfterTheEnd) {
  auto session = Open({"seek.mov", "-c:a pcm_s16le", 48000, 2, 1.0});
  IMediaExtraction *audio = session->GetAudioExtraction();
  ASSERT_NE(audio, nullptr);
  const std::vector<int16_t> reference = FfmpegDecodeS16(file_, "-ac 2");
  const LONG scale = audio->GetTimeScale();
  PulledAudio all = PullAudio(audio, 100000);
  ASSERT_TRUE(all.ended);
  // After the end: the last block went out; a seek must play from there,
  // not end again.
  PullAudio(audio);  // replay and end once more, leaving the end mark set
  const PulledAudio drained = PullAudio(audio, 20);
  ASSERT_EQ(drained.blocks.size(), 20u);
  LONGLONG half = scale / 2;
  audio->SetPosition(&half);
  const PulledAudio tail = PullAudio(audio);
  ASSERT_TRUE(tail.ended);
  ASSERT_EQ(tail.blocks.size(), 10u);
  EXPECT_EQ(tail.blocks.front().start, half);
  const std::vector<int16_t> got = AsS16(tail.pcm);
  ASSERT_EQ(got.size(), 24000u * 2);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), reference.begin() + 24000 * 2));
}

// Records what a grabber sees: the bytes and times of every audio sample.
class RecordingGrabber : public IMediaSampleGrabber {
 public:
  LONG OnSample(LONG isAudio, SampleData *record, LONG formatChanged) override {
    auto *av = static_cast<AVSampleData *>(record);
    BYTE *data = nullptr;
    av->sample->GetPointer(&data);
    const LONG n = av->sample->GetActualDataLength();
    calls.push_back({isAudio, formatChanged, av->isAudio, av->startTime, av->stopTime,
                     std::vector<BYTE>(data, data + n), av->mediaType == nullptr && av->planes == nullptr});
    return 0;
  }
  struct Call {
    LONG isAudio, formatChanged, recordIsAudio;
    LONGLONG start, stop;
    std::vector<BYTE> bytes;
    bool noVideoParts;
  };
  std::vector<Call> calls;
};

TEST_F(AudioExtractionTest, Grabber_SeesEachDeliveredBlock_AttachAndDetach) {
  auto session = Open({"grab.mov", "-c:a pcm_s16le", 44100, 2, 0.3});
  IMediaExtraction *audio = session->GetAudioExtraction();
  ASSERT_NE(audio, nullptr);
  RecordingGrabber grabber;
  std::vector<BYTE> buffer(8832);
  LONG size = 8832;
  LONGLONG start = 0, length = 0;
  ASSERT_EQ(audio->GetNextSample(buffer.data(), &size, &start, &length), 0);
  EXPECT_TRUE(grabber.calls.empty());
  EXPECT_EQ(audio->SetSampleGrabber(&grabber), 0);
  size = 1000;  // the grabber gets what the caller got
  ASSERT_EQ(audio->GetNextSample(buffer.data(), &size, &start, &length), 0);
  ASSERT_EQ(grabber.calls.size(), 1u);
  const RecordingGrabber::Call &call = grabber.calls[0];
  EXPECT_EQ(call.isAudio, 1);
  EXPECT_EQ(call.recordIsAudio, 1);
  EXPECT_EQ(call.formatChanged, 0);
  EXPECT_TRUE(call.noVideoParts);
  EXPECT_EQ(call.bytes, std::vector<BYTE>(buffer.begin(), buffer.begin() + 1000));
  const double f = 10000000.0 / audio->GetTimeScale();
  EXPECT_EQ(call.start, static_cast<LONGLONG>(static_cast<double>(start) * f));
  EXPECT_EQ(call.stop, static_cast<LONGLONG>(static_cast<double>(length) * f + static_cast<double>(call.start)));
  EXPECT_EQ(call.start, 500000);
  audio->SetSampleGrabber(nullptr);
  size = 8832;
  ASSERT_EQ(audio->GetNextSample(buffer.data(), &size, &start, &length), 0);
  EXPECT_EQ(grabber.calls.size(), 1u);
}

// ---- codecs, rates and channel counts against the ffmpeg command line -----

struct CodecCase {
  const char *name;
  const char *args;
  int rate;
  int channels;
  bool exact;  // no resampling, downmix or lossy decode involved
};

class AudioExtractionCodecs : public AudioExtractionTest, public ::testing::WithParamInterface<CodecCase> {};

TEST_P(AudioExtractionCodecs, PcmMatchesTheCommandLineDecode) {
  const CodecCase &c = GetParam();
  auto session = Open({c.name, c.args, c.rate, c.channels, 0.6});
  auto *audio = dynamic_cast<CQTAudioExtraction *>(session->GetAudioExtraction());
  ASSERT_NE(audio, nullptr) << "the extraction refused " << c.name;
  EXPECT_EQ(audio->FramesPerFill(), c.rate / 20);
  const PulledAudio pulled = PullAudio(audio);
  ASSERT_TRUE(pulled.ended);
  EXPECT_EQ(pulled.format.nChannels, 2);
  EXPECT_EQ(pulled.format.nSamplesPerSec, static_cast<DWORD>(c.rate));
  for (size_t i = 0; i < pulled.blocks.size(); ++i) {
    EXPECT_EQ(pulled.blocks[i].start, static_cast<LONGLONG>(i) * (audio->GetTimeScale() / 20));
  }
  const std::vector<int16_t> got = AsS16(pulled.pcm);
  const std::vector<int16_t> reference = FfmpegDecodeS16(file_, "-ac 2");
  ASSERT_FALSE(reference.empty());
  // Same length to within one block.
  EXPECT_NEAR(static_cast<double>(got.size()), static_cast<double>(reference.size()), c.rate / 20.0 * 2);
  const size_t n = std::min(got.size(), reference.size());
  if (c.exact) {
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<ptrdiff_t>(n), reference.begin()));
  } else {
    EXPECT_LE(RmsDifference(got, reference, n), 1.0);
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, AudioExtractionCodecs,
                         ::testing::Values(CodecCase{"aac.m4a", "-c:a aac -b:a 128k", 44100, 2, false},
                                           CodecCase{"aac51.mp4", "-c:a aac -b:a 256k", 48000, 6, false},
                                           CodecCase{"alac.mov", "-c:a alac", 48000, 2, true},
                                           CodecCase{"alac51.mov", "-c:a alac", 44100, 6, false},
                                           CodecCase{"mp3.mov", "-c:a libmp3lame -b:a 64k", 22050, 1, false},
                                           CodecCase{"ima4.mov", "-c:a adpcm_ima_qt", 8000, 1, true},
                                           CodecCase{"ulaw.mov", "-c:a pcm_mulaw", 8000, 2, true},
                                           CodecCase{"twos.mov", "-c:a pcm_s16be", 22050, 2, true},
                                           CodecCase{"sowt.mov", "-c:a pcm_s16le", 48000, 1, true},
                                           CodecCase{"in24be.mov", "-c:a pcm_s24be", 44100, 2, false},
                                           CodecCase{"in24le.mov", "-c:a pcm_s24le", 22050, 6, false}),
                         [](const ::testing::TestParamInfo<CodecCase> &info) {
                           std::string name = info.param.name;
                           for (char &ch : name) {
                             if (ch == '.') ch = '_';
                           }
                           return name;
                         });

}  // namespace
