// Movie Audio Extraction through the dispatcher, as the engine drives it:
// the track's description, then 16-bit interleaved stereo at the track's
// rate, fills of a twentieth of a second until the completion flag. The PCM
// is compared with the ffmpeg command line's decode of the same file.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <QuickTime/Movies.h>

#include "support/AmrWriter.h"
#include "support/AudioTestMovies.h"
#include "support/FfmpegTools.h"
#include "sound/MovieAudioExtraction.h"
#include "RuntimeCalls.h"
#include "SoundMoviesTest.h"

namespace tp {
namespace {

using namespace test::qtcall;

constexpr UInt32 kPcmFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;

OSErr Begin(Movie m, MovieAudioExtractionRef *s) { return Err(DispatchCall(kQTSelMovieAudioExtractionBegin, m, 0, s)); }
OSErr End(MovieAudioExtractionRef s) { return Err(DispatchCall(kQTSelMovieAudioExtractionEnd, s)); }
OSErr GetProp(MovieAudioExtractionRef s, OSType cls, OSType id, ByteCount size, void *value) {
  ByteCount used = 0;
  return Err(DispatchCall(kQTSelMovieAudioExtractionGetProperty, s, cls, id, size, value, &used));
}
OSErr SetProp(MovieAudioExtractionRef s, OSType cls, OSType id, ByteCount size, const void *value) {
  return Err(DispatchCall(kQTSelMovieAudioExtractionSetProperty, s, cls, id, size, value));
}
OSErr GetAsbd(MovieAudioExtractionRef s, AudioStreamBasicDescription *d) {
  return GetProp(s, kQTPropertyClass_MovieAudioExtraction_Audio,
                 kQTMovieAudioExtractionAudioPropertyID_AudioStreamBasicDescription, sizeof(*d), d);
}
OSErr SetAsbd(MovieAudioExtractionRef s, const AudioStreamBasicDescription &d) {
  return SetProp(s, kQTPropertyClass_MovieAudioExtraction_Audio,
                 kQTMovieAudioExtractionAudioPropertyID_AudioStreamBasicDescription, sizeof(d), &d);
}
OSErr SetTime(MovieAudioExtractionRef s, int64_t value, TimeScale scale) {
  TimeRecord r{};
  r.value.lo = UInt32(uint64_t(value) & 0xFFFFFFFF);
  r.value.hi = SInt32(value >> 32);
  r.scale = scale;
  return SetProp(s, kQTPropertyClass_MovieAudioExtraction_Movie, kQTMovieAudioExtractionMoviePropertyID_CurrentTime, 16,
                 &r);
}
OSErr Fill(MovieAudioExtractionRef s, std::vector<uint8_t> *buf, UInt32 *frames, UInt32 *flags,
           UInt32 *bytes = nullptr) {
  AudioBufferList list{};
  list.mNumberBuffers = 1;
  list.mBuffers[0].mNumberChannels = 2;
  list.mBuffers[0].mDataByteSize = UInt32(buf->size());
  list.mBuffers[0].mData = buf->data();
  OSErr e = Err(DispatchCall(kQTSelMovieAudioExtractionFillBuffer, s, frames, &list, flags));
  if (bytes) *bytes = list.mBuffers[0].mDataByteSize;
  return e;
}

// The engine's set-up: 16-bit interleaved stereo at the rate the session
// reports.
AudioStreamBasicDescription StereoS16(MovieAudioExtractionRef s) {
  AudioStreamBasicDescription d{};
  EXPECT_EQ(GetAsbd(s, &d), noErr);
  d.mChannelsPerFrame = 2;
  d.mBytesPerFrame = 4;
  d.mBytesPerPacket = 4;
  d.mFormatFlags = kPcmFlags;
  d.mBitsPerChannel = 16;
  EXPECT_EQ(SetAsbd(s, d), noErr);
  return d;
}

struct Extracted {
  OSErr err = noErr;
  double rate = 0;
  std::vector<int16_t> pcm;
  int fills = 0;
  bool completeOnLastData = false;
};

Extracted ExtractAll(Movie movie) {
  Extracted out;
  MovieAudioExtractionRef s = nullptr;
  if ((out.err = Begin(movie, &s)) != noErr) return out;
  out.rate = StereoS16(s).mSampleRate;
  const UInt32 perFill = UInt32(out.rate / 20);
  std::vector<uint8_t> buf(perFill * 4);
  for (int guard = 0; guard < 100000; ++guard) {
    UInt32 frames = perFill, flags = 0;
    if ((out.err = Fill(s, &buf, &frames, &flags)) != noErr) break;
    ++out.fills;
    const size_t at = out.pcm.size();
    out.pcm.resize(at + frames * 2);
    std::memcpy(out.pcm.data() + at, buf.data(), frames * 4);
    if (flags & kQTMovieAudioExtractionComplete) {
      out.completeOnLastData = frames > 0;
      break;
    }
  }
  End(s);
  return out;
}

class MovieAudioExtractionTest : public test::SoundMoviesTest {
 protected:
  Movie Make(const test::AudioMovieSpec &spec) {
    const std::string path = test::MakeAudioMovie(dir_.path(), spec);
    EXPECT_FALSE(path.empty()) << spec.name;
    path_ = path;
    return path.empty() ? nullptr : OpenMovie(path);
  }
  std::string path_;
};

struct CodecCase {
  test::AudioMovieSpec spec;
  bool exact;  // no downmix, no lossy float rounding differences expected
};

// Test names show the movie's file name, not the case's raw bytes.
[[maybe_unused]] void PrintTo(const CodecCase &c, std::ostream *os) { *os << c.spec.name; }

class ExtractionMatchesFfmpeg : public MovieAudioExtractionTest, public ::testing::WithParamInterface<CodecCase> {};

TEST_P(ExtractionMatchesFfmpeg, PcmEqualsTheCommandLineDecode) {
  const CodecCase &c = GetParam();
  Movie movie = Make(c.spec);
  ASSERT_NE(movie, nullptr);
  Extracted got = ExtractAll(movie);
  ASSERT_EQ(got.err, noErr);
  EXPECT_EQ(got.rate, double(c.spec.rate));
  EXPECT_TRUE(got.completeOnLastData);
  const std::vector<int16_t> ref = test::FfmpegDecodeS16(path_, "-ac 2");
  ASSERT_FALSE(ref.empty());
  // Lengths agree to within one codec frame (edit rounding at the end).
  EXPECT_NEAR(double(got.pcm.size()), double(ref.size()), 2.0 * 2048) << c.spec.name;
  const size_t n = std::min(got.pcm.size(), ref.size());
  ASSERT_GT(n, size_t(c.spec.rate));  // most of a second compared
  if (c.exact) {
    size_t firstDiff = n;
    for (size_t i = 0; i < n && firstDiff == n; ++i)
      if (got.pcm[i] != ref[i]) firstDiff = i;
    EXPECT_EQ(firstDiff, n) << c.spec.name << ": first difference at sample " << firstDiff;
  }
  EXPECT_LE(test::RmsDifference(got.pcm, ref, n), 1.0) << c.spec.name;
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, ExtractionMatchesFfmpeg,
    ::testing::Values(
        CodecCase{{"aac44s.m4a", "-c:a aac -b:a 128k", 44100, 2}, true},
        CodecCase{{"aac48_51.mp4", "-c:a aac -b:a 256k", 48000, 6}, false},
        CodecCase{{"aac22m.mov", "-c:a aac", 22050, 1}, false}, CodecCase{{"alac44s.m4a", "-c:a alac", 44100, 2}, true},
        CodecCase{
            {"aac44s_frag1s.mp4", "-c:a aac -b:a 128k -movflags empty_moov -frag_duration 1000000", 44100, 2, 2.5},
            true},
        CodecCase{{"aac48s_frag4s.mp4", "-c:a aac -movflags empty_moov -frag_duration 4000000", 48000, 2, 9.0}, true},
        CodecCase{{"alac48_51.mov", "-c:a alac", 48000, 6}, false},
        CodecCase{{"mp3_44s.mov", "-c:a libmp3lame -b:a 128k", 44100, 2}, true},
        CodecCase{{"mp3_22s.mp4", "-c:a libmp3lame", 22050, 2}, true},
        CodecCase{{"ima4_22m.mov", "-c:a adpcm_ima_qt", 22050, 1}, false},
        CodecCase{{"ima4_44s.mov", "-c:a adpcm_ima_qt", 44100, 2}, true},
        CodecCase{{"ulaw8m.mov", "-c:a pcm_mulaw", 8000, 1}, false},
        CodecCase{{"ulaw8s.mov", "-c:a pcm_mulaw", 8000, 2}, true},
        CodecCase{{"s16be48s.mov", "-c:a pcm_s16be", 48000, 2}, true},
        CodecCase{{"s16le44s.mov", "-c:a pcm_s16le", 44100, 2}, true},
        CodecCase{{"s24be48s.mov", "-c:a pcm_s24be", 48000, 2}, true},
        CodecCase{{"s24le22s.mov", "-c:a pcm_s24le", 22050, 2}, true},
        CodecCase{{"s16be44_51.mov", "-c:a pcm_s16be", 44100, 6}, false},
        CodecCase{{"s16be8s.aif", "-c:a pcm_s16be", 8000, 2}, true},
        // Version 2 descriptions, 'lpcm' with each combination of its flags.
        CodecCase{{"lpcm_s24be96.mov", "-c:a pcm_s24be", 96000, 2}, true},
        CodecCase{{"lpcm_s24le96.mov", "-c:a pcm_s24le", 96000, 2}, true},
        CodecCase{{"lpcm_s16be96.mov", "-c:a pcm_s16be", 96000, 2}, true},
        CodecCase{{"lpcm_s16le96.mov", "-c:a pcm_s16le", 96000, 2}, true},
        CodecCase{{"lpcm_s32be96.mov", "-c:a pcm_s32be", 96000, 2}, true},
        CodecCase{{"lpcm_s32le96.mov", "-c:a pcm_s32le", 96000, 2}, true},
        CodecCase{{"lpcm_f32be96.mov", "-c:a pcm_f32be", 96000, 2}, true},
        CodecCase{{"lpcm_f32le96.mov", "-c:a pcm_f32le", 96000, 2}, true},
        CodecCase{{"lpcm_f64be96.mov", "-c:a pcm_f64be", 96000, 2}, true},
        CodecCase{{"lpcm_f64le96.mov", "-c:a pcm_f64le", 96000, 2}, true},
        CodecCase{{"lpcm_s8_96.mov", "-c:a pcm_s8", 96000, 2}, true},
        CodecCase{{"lpcm_u8_96.mov", "-c:a pcm_u8", 96000, 2}, true},
        CodecCase{{"lpcm_s24be96_51.mov", "-c:a pcm_s24be", 96000, 6}, false}),
    [](const ::testing::TestParamInfo<CodecCase> &info) {
      std::string n = info.param.spec.name;
      for (char &ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

TEST_F(MovieAudioExtractionTest, Fill_TwentiethsOfASecondAndTheCompletionFlagOnTheLastData) {
  Movie movie = Make({"pcm.mov", "-c:a pcm_s16le", 44100, 2, 0.5});
  ASSERT_NE(movie, nullptr);
  MovieAudioExtractionRef s = nullptr;
  ASSERT_EQ(Begin(movie, &s), noErr);
  StereoS16(s);
  std::vector<uint8_t> buf(8832);
  UInt32 total = 0;
  for (int i = 0; i < 10; ++i) {
    UInt32 frames = 2205, flags = 0, bytes = 0;
    ASSERT_EQ(Fill(s, &buf, &frames, &flags, &bytes), noErr);
    EXPECT_EQ(frames, 2205u) << i;
    EXPECT_EQ(bytes, 8820u);
    EXPECT_EQ(flags & kQTMovieAudioExtractionComplete, i == 9 ? 1u : 0u) << i;
    total += frames;
  }
  EXPECT_EQ(total, 22050u);
  // Past the end: nothing more, still complete.
  UInt32 frames = 2205, flags = 0;
  EXPECT_EQ(Fill(s, &buf, &frames, &flags), noErr);
  EXPECT_EQ(frames, 0u);
  EXPECT_EQ(flags, UInt32(kQTMovieAudioExtractionComplete));
  // A buffer smaller than asked for limits the frames; nothing is written past it.
  ASSERT_EQ(SetTime(s, 0, 600), noErr);
  std::vector<uint8_t> small(103, 0xEE);
  frames = 2205;
  ASSERT_EQ(Fill(s, &small, &frames, &flags), noErr);
  EXPECT_EQ(frames, 25u);
  EXPECT_EQ(small[100], 0xEE);
  EXPECT_EQ(End(s), noErr);
}

TEST_F(MovieAudioExtractionTest, EditList_AnEmptyEditPlaysSilenceInMovieTime) {
  const std::string wav = test::MakeAudioMovie(dir_.path(), {"base.wav", "-c:a pcm_s16le", 8000, 1, 1.0});
  ASSERT_FALSE(wav.empty());
  // The sound starts half a second into the movie: an empty edit, then the media.
  const std::string path = dir_.File("delayed.mov");
  ASSERT_TRUE(test::ff::RunFfmpeg("-itsoffset 0.5 -i \"" + wav + "\" -c:a pcm_s16be \"" + path + "\""));
  Movie movie = OpenMovie(path);
  ASSERT_NE(movie, nullptr);
  Extracted got = ExtractAll(movie);
  ASSERT_EQ(got.err, noErr);
  const std::vector<int16_t> media = test::FfmpegDecodeS16(path, "-ac 2");
  ASSERT_EQ(media.size(), 2u * 8000);
  std::vector<int16_t> expected(2 * 4000, 0);
  expected.insert(expected.end(), media.begin(), media.end());
  EXPECT_EQ(got.pcm, expected);
  // A seek into the empty edit, then across into the sound.
  MovieAudioExtractionRef s = nullptr;
  ASSERT_EQ(Begin(movie, &s), noErr);
  StereoS16(s);
  ASSERT_EQ(SetTime(s, 400, 1000), noErr);
  std::vector<uint8_t> buf(1600 * 4);
  UInt32 frames = 1600, flags = 0;
  ASSERT_EQ(Fill(s, &buf, &frames, &flags), noErr);
  ASSERT_EQ(frames, 1600u);
  EXPECT_EQ(std::memcmp(buf.data(), expected.data() + 2 * 3200, buf.size()), 0);
  EXPECT_EQ(End(s), noErr);
}

TEST_F(MovieAudioExtractionTest, AnotherRate_IsResampledAsTheCommandLineDoes) {
  Movie movie = Make({"r.mov", "-c:a pcm_s16le", 44100, 2, 1.0});
  ASSERT_NE(movie, nullptr);
  MovieAudioExtractionRef s = nullptr;
  ASSERT_EQ(Begin(movie, &s), noErr);
  AudioStreamBasicDescription d = StereoS16(s);
  d.mSampleRate = 48000;
  ASSERT_EQ(SetAsbd(s, d), noErr);
  std::vector<int16_t> got;
  std::vector<uint8_t> buf(2400 * 4);
  for (int i = 0; i < 100; ++i) {
    UInt32 frames = 2400, flags = 0;
    ASSERT_EQ(Fill(s, &buf, &frames, &flags), noErr);
    const size_t at = got.size();
    got.resize(at + frames * 2);
    std::memcpy(got.data() + at, buf.data(), frames * 4);
    if (flags & kQTMovieAudioExtractionComplete) break;
  }
  EXPECT_EQ(End(s), noErr);
  EXPECT_EQ(got.size(), 2u * 48000);
  const std::vector<int16_t> ref = test::FfmpegDecodeS16(path_, "-ac 2 -ar 48000");
  ASSERT_FALSE(ref.empty());
  EXPECT_LE(test::RmsDifference(got, ref, std::min(got.size(), ref.size())), 1.0);
}

TEST_F(MovieAudioExtractionTest, TimeProperty_SeeksInMovieTime) {
  Movie movie = Make({"seek.mov", "-c:a pcm_s16be", 48000, 2, 2.0});
  ASSERT_NE(movie, nullptr);
  const std::vector<int16_t> ref = test::FfmpegDecodeS16(path_, "-ac 2");
  ASSERT_EQ(ref.size(), 2u * 96000);
  MovieAudioExtractionRef s = nullptr;
  ASSERT_EQ(Begin(movie, &s), noErr);
  StereoS16(s);
  std::vector<uint8_t> buf(4800 * 4);
  for (int64_t startMs : {1250, 0, 1999, 700}) {
    ASSERT_EQ(SetTime(s, startMs, 1000), noErr);
    TimeRecord now{};
    ASSERT_EQ(GetProp(s, kQTPropertyClass_MovieAudioExtraction_Movie,
                      kQTMovieAudioExtractionMoviePropertyID_CurrentTime, sizeof(now), &now),
              noErr);
    EXPECT_EQ(int64_t(now.value.lo) * 1000 / now.scale, startMs);
    UInt32 frames = 4800, flags = 0;
    ASSERT_EQ(Fill(s, &buf, &frames, &flags), noErr);
    const size_t first = size_t(startMs) * 48;
    EXPECT_EQ(frames, std::min<size_t>(4800, 96000 - first));
    EXPECT_EQ(std::memcmp(buf.data(), ref.data() + first * 2, frames * 4), 0) << startMs;
  }
  EXPECT_EQ(SetTime(s, -1, 1000), paramErr);
  EXPECT_EQ(SetTime(s, 1, 0), paramErr);
  EXPECT_EQ(End(s), noErr);
}

TEST_F(MovieAudioExtractionTest, Properties_TrackDescriptionLayoutAndRefusedDescriptions) {
  Movie movie = Make({"six.mov", "-c:a pcm_s16le", 44100, 6, 0.2});
  ASSERT_NE(movie, nullptr);
  MovieAudioExtractionRef s = nullptr;
  ASSERT_EQ(Begin(movie, &s), noErr);
  AudioStreamBasicDescription d{};
  ASSERT_EQ(GetAsbd(s, &d), noErr);
  EXPECT_EQ(d.mSampleRate, 44100.0);
  EXPECT_EQ(d.mChannelsPerFrame, 6u);
  EXPECT_EQ(d.mFormatID, UInt32(kAudioFormatLinearPCM));
  ByteCount size = 0;
  UInt32 propFlags = 0;
  ASSERT_EQ(Err(DispatchCall(kQTSelMovieAudioExtractionGetPropertyInfo, s, kQTPropertyClass_MovieAudioExtraction_Audio,
                             kQTMovieAudioExtractionAudioPropertyID_AudioChannelLayout, nullptr, &size, &propFlags)),
            noErr);
  ASSERT_EQ(size, 12u + 6 * 20);
  std::vector<uint8_t> layout(size);
  ASSERT_EQ(GetProp(s, kQTPropertyClass_MovieAudioExtraction_Audio,
                    kQTMovieAudioExtractionAudioPropertyID_AudioChannelLayout, size, layout.data()),
            noErr);
  const auto *cl = reinterpret_cast<const AudioChannelLayout *>(layout.data());
  EXPECT_EQ(cl->mNumberChannelDescriptions, 6u);
  EXPECT_EQ(cl->mChannelDescriptions[0].mChannelLabel, UInt32(kAudioChannelLabel_Left));
  EXPECT_EQ(cl->mChannelDescriptions[1].mChannelLabel, UInt32(kAudioChannelLabel_Right));
  // Too small a value buffer is refused, not overrun.
  EXPECT_EQ(GetProp(s, kQTPropertyClass_MovieAudioExtraction_Audio,
                    kQTMovieAudioExtractionAudioPropertyID_AudioChannelLayout, 20, layout.data()),
            paramErr);
  // Stream descriptions that are not consistent linear PCM.
  AudioStreamBasicDescription bad = d;
  bad.mBitsPerChannel = 24;
  bad.mBytesPerFrame = bad.mBytesPerPacket = 3;
  EXPECT_EQ(SetAsbd(s, bad), paramErr);
  bad = d;
  bad.mFormatID = QT_FOUR_CHAR_CODE('a', 'a', 'c', ' ');
  EXPECT_EQ(SetAsbd(s, bad), paramErr);
  bad = d;
  bad.mChannelsPerFrame = 0;
  EXPECT_EQ(SetAsbd(s, bad), paramErr);
  bad = d;
  bad.mChannelsPerFrame = 2;
  bad.mFormatFlags = kPcmFlags;
  bad.mBitsPerChannel = 16;
  bad.mBytesPerFrame = bad.mBytesPerPacket = 2;  // interleaved stereo needs 4
  EXPECT_EQ(SetAsbd(s, bad), paramErr);
  // The default is non-interleaved float: one buffer per channel.
  std::vector<std::vector<float>> planes(6, std::vector<float>(441));
  std::vector<uint8_t> listBytes(sizeof(AudioBufferList) + 5 * sizeof(AudioBuffer));
  auto *list = reinterpret_cast<AudioBufferList *>(listBytes.data());
  list->mNumberBuffers = 6;
  for (int c = 0; c < 6; ++c) {
    list->mBuffers[c].mNumberChannels = 1;
    list->mBuffers[c].mDataByteSize = 441 * 4;
    list->mBuffers[c].mData = planes[size_t(c)].data();
  }
  UInt32 frames = 441, flags = 0;
  ASSERT_EQ(Err(DispatchCall(kQTSelMovieAudioExtractionFillBuffer, s, &frames, list, &flags)), noErr);
  EXPECT_EQ(frames, 441u);
  for (int c = 0; c < 6; ++c) EXPECT_NEAR(planes[size_t(c)][0], 0.0f, 1e-3);  // sines start at 0
  EXPECT_GT(std::abs(planes[5][5]), std::abs(planes[0][5]));                  // higher tone rises faster
  list->mNumberBuffers = 1;
  frames = 441;
  EXPECT_EQ(Err(DispatchCall(kQTSelMovieAudioExtractionFillBuffer, s, &frames, list, &flags)), paramErr);
  EXPECT_EQ(End(s), noErr);
}

TEST_F(MovieAudioExtractionTest, SpeechCodecs_AreRefusedFromTheFirstFill) {
  const std::string path = dir_.File("speech.amr");
  ASSERT_TRUE(test::ff::WriteFileBytes(path, test::MakeAmrNb(std::vector<int>(100, 7))));
  Movie movie = OpenMovie(path);
  ASSERT_NE(movie, nullptr);
  MovieAudioExtractionRef s = nullptr;
  ASSERT_EQ(Begin(movie, &s), noErr);  // properties still answer: the refusal is the fill's
  AudioStreamBasicDescription d = StereoS16(s);
  EXPECT_EQ(d.mSampleRate, 8000.0);
  std::vector<uint8_t> buf(400 * 4);
  UInt32 frames = 400, flags = 0;
  EXPECT_EQ(Fill(s, &buf, &frames, &flags), featureUnsupported);
  EXPECT_EQ(frames, 0u);
  EXPECT_EQ(End(s), noErr);
}

TEST_F(MovieAudioExtractionTest, DecoderThatWillNotOpen_IsRefusedFromTheFirstFillNotPlayedAsSilence) {
  // Apple Lossless whose description lost its 'alac' set-up atom: the
  // decoder exists but cannot open.
  ASSERT_NE(Make({"alac.mov", "-c:a alac", 44100, 2, 0.5}), nullptr);
  std::vector<uint8_t> bytes = test::ff::ReadFileBytes(path_);
  const std::string text(bytes.begin(), bytes.end());
  const size_t moov = text.rfind("moov");
  ASSERT_NE(moov, std::string::npos);
  // The sample entry is 'alac', its 'wave' names 'alac' in 'frma', and the
  // set-up atom comes last.
  const size_t atom = text.rfind("alac");
  ASSERT_TRUE(atom != std::string::npos && atom > moov);
  bytes[atom] = 'x';
  const std::string broken = dir_.File("alac-broken.mov");
  ASSERT_TRUE(test::ff::WriteFileBytes(broken, bytes));
  Movie movie = OpenMovie(broken);
  ASSERT_NE(movie, nullptr);
  MovieAudioExtractionRef s = nullptr;
  ASSERT_EQ(Begin(movie, &s), noErr);
  StereoS16(s);
  std::vector<uint8_t> buf(400 * 4);
  UInt32 frames = 400, flags = 0;
  EXPECT_EQ(Fill(s, &buf, &frames, &flags), codecErr);
  EXPECT_EQ(frames, 0u);
  EXPECT_EQ(End(s), noErr);
}

TEST_F(MovieAudioExtractionTest, Threads_SessionsRunInParallelAndEndWaitsForNoFill) {
  Movie movie = Make({"t.m4a", "-c:a aac", 44100, 2, 2.0});
  ASSERT_NE(movie, nullptr);
  const Extracted once = ExtractAll(movie);
  ASSERT_EQ(once.err, noErr);
  std::vector<std::thread> threads;
  std::vector<Extracted> results(3);
  for (auto &r : results) threads.emplace_back([&r, movie] { r = ExtractAll(movie); });
  // One more session ended while another thread is still filling it.
  MovieAudioExtractionRef shared = nullptr;
  ASSERT_EQ(Begin(movie, &shared), noErr);
  StereoS16(shared);
  std::atomic<bool> started{false};
  std::thread filler([&] {
    std::vector<uint8_t> buf(2205 * 4);
    for (int i = 0; i < 200; ++i) {
      UInt32 frames = 2205, flags = 0;
      const OSErr e = Fill(shared, &buf, &frames, &flags);
      started = true;
      if (e != noErr) {
        EXPECT_EQ(e, paramErr);  // ended under it: refused, never a crash
        break;
      }
    }
  });
  while (!started) std::this_thread::yield();
  EXPECT_EQ(End(shared), noErr);
  filler.join();
  for (auto &t : threads) t.join();
  for (const auto &r : results) {
    EXPECT_EQ(r.err, noErr);
    EXPECT_EQ(r.pcm, once.pcm);
  }
}

TEST_F(MovieAudioExtractionTest, DamagedSampleData_IsDecodedPastWithoutHarm) {
  for (const char *args : {"-c:a aac", "-c:a libmp3lame", "-c:a alac", "-c:a adpcm_ima_qt"}) {
    const std::string name = std::string("d") + std::to_string(movies_.size()) + ".mov";
    const std::string path = test::MakeAudioMovie(dir_.path(), {name, args, 44100, 2, 1.0});
    ASSERT_FALSE(path.empty());
    std::vector<uint8_t> bytes = test::ff::ReadFileBytes(path);
    const std::string text(bytes.begin(), bytes.end());
    const size_t mdat = text.find("mdat");
    ASSERT_TRUE(mdat != std::string::npos && mdat >= 4);
    const size_t mdatEnd = mdat - 4 +
                           ((size_t(bytes[mdat - 4]) << 24) | (size_t(bytes[mdat - 3]) << 16) |
                            (size_t(bytes[mdat - 2]) << 8) | bytes[mdat - 1]);
    ASSERT_LE(mdatEnd, bytes.size());
    uint32_t seed = 7;
    for (size_t i = mdat + 64; i < mdatEnd; i += 13) {
      seed = seed * 1664525u + 1013904223u;
      bytes[i] = uint8_t(seed >> 24);
    }
    ASSERT_TRUE(test::ff::WriteFileBytes(path, bytes));
    Movie movie = OpenMovie(path);
    ASSERT_NE(movie, nullptr) << args;
    Extracted got = ExtractAll(movie);
    EXPECT_EQ(got.err, noErr) << args;
    EXPECT_TRUE(got.completeOnLastData) << args;
    EXPECT_NEAR(double(got.pcm.size()), 2.0 * 44100, 2.0 * 4096) << args;
  }
}

TEST_F(MovieAudioExtractionTest, HostileCalls_AreRefused) {
  Movie movie = Make({"h.mov", "-c:a pcm_s16le", 8000, 1, 0.1});
  ASSERT_NE(movie, nullptr);
  MovieAudioExtractionRef s = nullptr;
  EXPECT_EQ(Begin(movie, nullptr), paramErr);
  EXPECT_EQ(Begin(reinterpret_cast<Movie>(&s), &s), invalidMovie);
  EXPECT_EQ(s, nullptr);
  ASSERT_EQ(Begin(movie, &s), noErr);
  const size_t live = qt::MaeSessionCount();
  std::vector<uint8_t> buf(64);
  UInt32 frames = 16, flags = 0;
  EXPECT_EQ(Err(DispatchCall(kQTSelMovieAudioExtractionFillBuffer, s, &frames, nullptr, &flags)), paramErr);
  EXPECT_EQ(Err(DispatchCall(kQTSelMovieAudioExtractionFillBuffer, s, nullptr, nullptr, &flags)), paramErr);
  EXPECT_EQ(SetProp(s, kQTPropertyClass_MovieAudioExtraction_Audio, QT_FOUR_CHAR_CODE('w', 'h', 'a', 't'), 4, &frames),
            paramErr);
  EXPECT_EQ(SetProp(s, kQTPropertyClass_MovieAudioExtraction_Audio,
                    kQTMovieAudioExtractionAudioPropertyID_AudioStreamBasicDescription, 8, &frames),
            paramErr);
  // Disposing the movie first leaves the session usable.
  DispatchCall(kQTSelDisposeMovie, movie);
  movies_.clear();
  StereoS16(s);
  frames = 16;
  EXPECT_EQ(Fill(s, &buf, &frames, &flags), noErr);
  EXPECT_EQ(frames, 16u);
  EXPECT_EQ(End(s), noErr);
  EXPECT_EQ(qt::MaeSessionCount(), live - 1);
  // A stale session.
  EXPECT_EQ(End(s), paramErr);
  frames = 16;
  EXPECT_EQ(Fill(s, &buf, &frames, &flags), paramErr);
  EXPECT_EQ(GetAsbd(s, nullptr), paramErr);
}

}  // namespace
}  // namespace tp
