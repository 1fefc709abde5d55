// The built-in linear PCM path (PcmDecoder, PcmResample), which a runtime
// without libavcodec uses, against the libavcodec + libswresample back end
// it must match: the same decoded frames, and the same converted bytes
// where the conversion keeps the channel count and rate or mixes 16-bit or
// 32-bit streams; close where it mixes more channels down.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sound/AudioDecode.h"
#include "sound/AudioDecoder.h"
#include "codecs/PcmDecoder.h"
#include "sound/PcmResample.h"

namespace tp::qt {
namespace {

struct Decoded {
  PcmStreamFormat format;
  int frames = 0;
  std::vector<std::vector<uint8_t>> planes;
};

Decoded DecodeAll(AudioDecoder &d, const std::vector<uint8_t> &packet) {
  Decoded out;
  auto sink = [&](const PcmFrames &f) {
    out.format = f.format;
    const int planes = f.format.planar ? f.format.channels : 1;
    const size_t bytes =
        size_t(f.frames) * size_t(BytesPerSample(f.format.type)) * size_t(f.format.planar ? 1 : f.format.channels);
    out.planes.resize(size_t(planes));
    for (int p = 0; p < planes; ++p)
      out.planes[size_t(p)].insert(out.planes[size_t(p)].end(), f.data[p], f.data[p] + bytes);
    out.frames += f.frames;
    return OSErr(noErr);
  };
  EXPECT_EQ(d.DecodePacket(packet, sink), noErr);
  EXPECT_EQ(d.Drain(sink), noErr);
  return out;
}

// Everything the resampler gives for `in`, flush included, one buffer per
// output plane.
std::vector<std::vector<uint8_t>> Convert(PcmResampler &r, const Decoded &in, const PcmStreamFormat &out) {
  const int planes = out.planar ? out.channels : 1;
  const size_t frameBytes = size_t(BytesPerSample(out.type)) * size_t(out.planar ? 1 : out.channels);
  std::vector<std::vector<uint8_t>> result(static_cast<size_t>(planes));
  auto run = [&](const uint8_t *const *data, int frames) {
    const int room = r.MaxOutput(frames) + 1;
    if (room <= 1 && !data) return;
    std::vector<std::vector<uint8_t>> buf(size_t(planes), std::vector<uint8_t>(size_t(room) * frameBytes));
    std::vector<uint8_t *> ptrs;
    for (auto &b : buf) ptrs.push_back(b.data());
    const int got = r.Convert(ptrs.data(), room, data, frames);
    ASSERT_GE(got, 0);
    for (int p = 0; p < planes; ++p)
      result[size_t(p)].insert(result[size_t(p)].end(), buf[size_t(p)].begin(),
                               buf[size_t(p)].begin() + std::ptrdiff_t(size_t(got) * frameBytes));
  };
  std::vector<const uint8_t *> in_ptrs;
  for (const auto &p : in.planes) in_ptrs.push_back(p.data());
  run(in_ptrs.data(), in.frames);
  run(nullptr, 0);
  return result;
}

// Sample bytes that visit the extremes as well as everything between.
std::vector<uint8_t> Noise(size_t bytes) {
  std::vector<uint8_t> v(bytes);
  uint32_t x = 12345;
  for (size_t i = 0; i < bytes; ++i) {
    x = x * 1664525u + 1013904223u;
    v[i] = uint8_t(x >> 24);
  }
  return v;
}

// Float samples within full scale (and a few just past it).
std::vector<uint8_t> FloatNoise(size_t samples, bool wide, bool bigEndian) {
  std::vector<uint8_t> v;
  uint32_t x = 777;
  for (size_t i = 0; i < samples; ++i) {
    x = x * 1664525u + 1013904223u;
    const double s = (double(x) / 4294967296.0) * 2.2 - 1.1;
    uint8_t b[8];
    if (wide) {
      std::memcpy(b, &s, 8);
    } else {
      const float f = float(s);
      std::memcpy(b, &f, 4);
    }
    const int n = wide ? 8 : 4;
    for (int k = 0; k < n; ++k) v.push_back(b[bigEndian ? n - 1 - k : k]);
  }
  return v;
}

struct Row {
  const char *codec;
  int channels;
  SampleType outType;
  bool outPlanar;
  int outChannels;
  bool exact;  // else: within 2 LSB of 16 bits
};

constexpr SampleType kU8 = SampleType::kU8, kS16 = SampleType::kS16, kS32 = SampleType::kS32, kF32 = SampleType::kF32,
                     kF64 = SampleType::kF64;

const Row kRows[] = {
    // Same channels: every input type to every output type.
    {"pcm_s16be", 2, kS16, false, 2, true},
    {"pcm_s16le", 2, kF32, true, 2, true},
    {"pcm_s16le", 2, kS32, false, 2, true},
    {"pcm_s16be", 2, kU8, false, 2, true},
    {"pcm_s8", 1, kS16, false, 1, true},
    {"pcm_u8", 2, kF32, false, 2, true},
    {"pcm_s24be", 2, kS16, false, 2, true},
    {"pcm_s24le", 2, kF32, true, 2, true},
    {"pcm_u24be", 1, kS32, false, 1, true},
    {"pcm_s32be", 2, kS16, false, 2, true},
    {"pcm_s32le", 2, kF64, false, 2, true},
    {"pcm_u16le", 2, kS16, false, 2, true},
    {"pcm_u32be", 2, kF32, false, 2, true},
    {"pcm_f32be", 2, kS16, false, 2, true},
    {"pcm_f32le", 2, kS32, false, 2, true},
    {"pcm_f32be", 2, kF64, true, 2, true},
    {"pcm_f64be", 2, kS16, false, 2, true},
    {"pcm_f64le", 2, kF32, false, 2, true},
    {"pcm_f64be", 2, kU8, false, 2, true},
    {"pcm_mulaw", 2, kS16, false, 2, true},
    {"pcm_alaw", 1, kS16, false, 2, true},
    // Mixed: mono up to the pins' stereo, stereo down to mono.
    {"pcm_s16be", 1, kS16, false, 2, true},
    {"pcm_s16le", 2, kS16, false, 1, true},
    {"pcm_s24be", 1, kS16, false, 2, true},
    {"pcm_f32le", 1, kS16, false, 2, true},
    {"pcm_s16le", 1, kF32, true, 2, true},
    // More channels down to stereo: close.
    {"pcm_s16le", 6, kS16, false, 2, false},
    {"pcm_s24le", 6, kS16, false, 2, false},
    {"pcm_f32le", 8, kF32, false, 2, false},
};

TEST(PcmBackendsTest, BuiltInPcmPath_EqualsTheLibavPath) {
  constexpr int kFrames = 4000;
  constexpr int kRate = 48000;
  for (const Row &row : kRows) {
    SCOPED_TRACE(std::string(row.codec) + " x" + std::to_string(row.channels) + " -> " +
                 std::to_string(int(row.outType)) + (row.outPlanar ? " planar" : "") + " x" +
                 std::to_string(row.outChannels));
    AudioCodecSetup setup;
    setup.codec = row.codec;
    setup.channels = row.channels;
    setup.sampleRate = kRate;
    setup.bitsPerSample = PcmCodecBits(row.codec);
    setup.blockAlign = setup.bitsPerSample / 8 * row.channels;
    const std::string name = row.codec;
    const bool isFloat = name.find("_f") != std::string::npos;
    const size_t samples = size_t(kFrames) * size_t(row.channels);
    const std::vector<uint8_t> packet = isFloat ? FloatNoise(samples, setup.bitsPerSample == 64, name.ends_with("be"))
                                                : Noise(samples * size_t(setup.bitsPerSample / 8));

    std::unique_ptr<AudioDecoder> lav, ours;
    ASSERT_EQ(CreateAudioDecoder(setup, &lav), noErr);
    ASSERT_EQ(CreatePcmDecoder(setup, &ours), noErr);
    const Decoded a = DecodeAll(*lav, packet), b = DecodeAll(*ours, packet);
    ASSERT_EQ(a.frames, kFrames);
    ASSERT_EQ(b.frames, kFrames);
    ASSERT_EQ(a.format.type, b.format.type);
    ASSERT_EQ(a.format.planar, b.format.planar);
    ASSERT_EQ(a.planes, b.planes) << "decoded samples differ";

    const PcmStreamFormat out{row.outType, row.outPlanar, row.outChannels, kRate, 0};
    std::unique_ptr<PcmResampler> swr, builtIn;
    ASSERT_EQ(CreatePcmResampler(a.format, out, &swr), noErr);
    ASSERT_EQ(CreateBuiltInResampler(b.format, out, &builtIn), noErr);
    const auto want = Convert(*swr, a, out), got = Convert(*builtIn, b, out);
    ASSERT_EQ(want.size(), got.size());
    for (size_t p = 0; p < want.size(); ++p) {
      ASSERT_EQ(want[p].size(), got[p].size()) << "plane " << p;
      if (row.exact) {
        size_t first = 0;
        while (first < want[p].size() && want[p][first] == got[p][first]) ++first;
        ASSERT_EQ(first, want[p].size()) << "plane " << p << " first differs at byte " << first;
      } else {
        ASSERT_TRUE(row.outType == kS16 || row.outType == kF32);
        const size_t n = want[p].size() / size_t(BytesPerSample(row.outType));
        double worst = 0;
        for (size_t i = 0; i < n; ++i) {
          double x, y;
          if (row.outType == kS16) {
            int16_t s, t;
            std::memcpy(&s, &want[p][i * 2], 2);
            std::memcpy(&t, &got[p][i * 2], 2);
            x = s, y = t;
          } else {
            float s, t;
            std::memcpy(&s, &want[p][i * 4], 4);
            std::memcpy(&t, &got[p][i * 4], 4);
            x = s * 32768.0, y = t * 32768.0;
          }
          worst = std::max(worst, std::fabs(x - y));
        }
        EXPECT_LE(worst, 2.0);
      }
    }
  }
}

TEST(PcmBackendsTest, BuiltInResampler_ChangesTheRateAndRefusesWhatItCannotDescribe) {
  // 1 s of a 440 Hz sine at 44.1 kHz to 48 kHz: 48,000 frames (give or take
  // the last), and still a 440 Hz sine of the same level.
  constexpr int kIn = 44100, kOut = 48000;
  std::vector<uint8_t> pcm(size_t(kIn) * 2);
  for (int i = 0; i < kIn; ++i) {
    const int16_t s = int16_t(std::lrint(16000 * std::sin(2 * M_PI * 440 * i / kIn)));
    std::memcpy(&pcm[size_t(i) * 2], &s, 2);
  }
  Decoded in;
  in.format = {SampleType::kS16, false, 1, kIn, 0};
  in.frames = kIn;
  in.planes = {pcm};
  const PcmStreamFormat out{SampleType::kS16, false, 1, kOut, 0};
  std::unique_ptr<PcmResampler> r;
  ASSERT_EQ(CreateBuiltInResampler(in.format, out, &r), noErr);
  const auto got = Convert(*r, in, out);
  const int frames = int(got[0].size() / 2);
  EXPECT_NEAR(frames, kOut, 2);
  // The frames past the input's last one hold it; the sine is not known there.
  double worst = 0;
  int worstAt = 0;
  for (int i = 0; i < frames - 2; ++i) {
    int16_t s;
    std::memcpy(&s, &got[0][size_t(i) * 2], 2);
    const double e = std::fabs(s - 16000 * std::sin(2 * M_PI * 440 * i / kOut));
    if (e > worst) worst = e, worstAt = i;
  }
  SCOPED_TRACE("worst at " + std::to_string(worstAt));
  EXPECT_LT(worst, 40.0);  // linear interpolation of a slow sine: well under 1%

  std::unique_ptr<PcmResampler> refused;
  EXPECT_EQ(CreateBuiltInResampler({SampleType::kNone, false, 2, kIn, 0}, out, &refused), codecErr);
  EXPECT_EQ(CreateBuiltInResampler(in.format, {SampleType::kS16, false, 9, kIn, 0}, &refused), codecErr);
  EXPECT_EQ(CreateBuiltInResampler(in.format, {SampleType::kS16, false, 2, 0, 0}, &refused), codecErr);
  EXPECT_FALSE(refused);
  AudioCodecSetup setup;
  setup.codec = "aac";
  setup.channels = 2;
  setup.sampleRate = kIn;
  std::unique_ptr<AudioDecoder> none;
  EXPECT_EQ(CreatePcmDecoder(setup, &none), noCodecErr);
}

}  // namespace
}  // namespace tp::qt
