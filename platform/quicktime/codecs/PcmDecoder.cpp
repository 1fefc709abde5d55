#include "codecs/PcmDecoder.h"

#include <cstring>
#include <new>

namespace tp::qt {
namespace {

// G.711 companding: each byte stands for a 16-bit sample.
enum class Law { kNone, kMu, kA };

struct PcmCodec {
  std::string_view name;
  int bytes;
  bool isSigned, isFloat, bigEndian;
  Law law = Law::kNone;
};

constexpr PcmCodec kCodecs[] = {
    {"pcm_mulaw", 1, true, false, false, Law::kMu},
    {"pcm_alaw", 1, true, false, false, Law::kA},
    {"pcm_s8", 1, true, false, false},
    {"pcm_u8", 1, false, false, false},
    {"pcm_s16le", 2, true, false, false},
    {"pcm_s16be", 2, true, false, true},
    {"pcm_u16le", 2, false, false, false},
    {"pcm_u16be", 2, false, false, true},
    {"pcm_s24le", 3, true, false, false},
    {"pcm_s24be", 3, true, false, true},
    {"pcm_u24le", 3, false, false, false},
    {"pcm_u24be", 3, false, false, true},
    {"pcm_s32le", 4, true, false, false},
    {"pcm_s32be", 4, true, false, true},
    {"pcm_u32le", 4, false, false, false},
    {"pcm_u32be", 4, false, false, true},
    {"pcm_f32le", 4, true, true, false},
    {"pcm_f32be", 4, true, true, true},
    {"pcm_f64le", 8, true, true, false},
    {"pcm_f64be", 8, true, true, true},
};

// The 16-bit sample a mu-law or A-law byte stands for (ITU-T G.711).
int16_t Expand(Law law, uint8_t byte) {
  if (law == Law::kMu) {
    const unsigned u = unsigned(~byte) & 0xFF;
    const int t = ((int(u & 0x0F) << 3) + 0x84) << ((u & 0x70) >> 4);
    return int16_t((u & 0x80) ? 0x84 - t : t - 0x84);
  }
  const unsigned a = unsigned(byte) ^ 0x55;
  const int segment = int((a & 0x70) >> 4);
  int t = int(a & 0x0F);
  t = segment ? (t + t + 1 + 32) << (segment + 2) : (t + t + 1) << 3;
  return int16_t((a & 0x80) ? t : -t);
}

const PcmCodec *Find(std::string_view name) {
  for (const PcmCodec &c : kCodecs)
    if (c.name == name) return &c;
  return nullptr;
}

// The sample as an unsigned big number of `bytes` bytes.
uint64_t Load(const uint8_t *p, int bytes, bool bigEndian) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[bigEndian ? i : bytes - 1 - i];
  return v;
}

class PcmDecoder final : public AudioDecoder {
 public:
  PcmDecoder(const PcmCodec &codec, int channels, int rate) : codec_(codec) {
    format_.channels = channels;
    format_.rate = rate;
    format_.planar = false;
    if (codec.law != Law::kNone) {
      format_.type = SampleType::kS16;
    } else if (codec.isFloat) {
      format_.type = codec.bytes == 8 ? SampleType::kF64 : SampleType::kF32;
    } else {
      format_.type = codec.bytes == 1 ? SampleType::kU8 : codec.bytes == 2 ? SampleType::kS16 : SampleType::kS32;
    }
  }

  OSErr Decode(std::span<const uint8_t> data, const FrameSink &sink) override { return DecodePacket(data, sink); }

  OSErr DecodePacket(std::span<const uint8_t> packet, const FrameSink &sink) override {
    const size_t frameBytes = size_t(codec_.bytes) * size_t(format_.channels);
    const size_t frames = packet.size() / frameBytes;
    if (frames == 0) return noErr;
    if (frames > size_t(INT32_MAX) / 8 / size_t(format_.channels)) return paramErr;
    const size_t samples = frames * size_t(format_.channels);
    const size_t outBytes = size_t(BytesPerSample(format_.type));
    out_.resize(samples * outBytes);
    const uint8_t *in = packet.data();
    uint8_t *o = out_.data();
    const int bits = codec_.bytes * 8;
    for (size_t i = 0; i < samples; ++i, in += codec_.bytes, o += outBytes) {
      const uint64_t raw = Load(in, codec_.bytes, codec_.bigEndian);
      if (codec_.law != Law::kNone) {
        const int16_t v = Expand(codec_.law, uint8_t(raw));
        std::memcpy(o, &v, 2);
        continue;
      }
      if (codec_.isFloat) {
        if (codec_.bytes == 8) {
          std::memcpy(o, &raw, 8);
        } else {
          const uint32_t r32 = uint32_t(raw);
          std::memcpy(o, &r32, 4);
        }
        continue;
      }
      // Signed in the top bits of its output width; unsigned moved by half
      // the range (offset binary).
      if (format_.type == SampleType::kU8) {
        *o = codec_.isSigned ? uint8_t(raw + 0x80) : uint8_t(raw);
      } else if (format_.type == SampleType::kS16) {
        const uint16_t v = codec_.isSigned ? uint16_t(raw) : uint16_t(raw - 0x8000);
        std::memcpy(o, &v, 2);
      } else {
        uint32_t v = uint32_t(raw << (32 - bits));
        if (!codec_.isSigned) v -= 0x80000000u;
        std::memcpy(o, &v, 4);
      }
    }
    const uint8_t *planes[1] = {out_.data()};
    PcmFrames f;
    f.format = format_;
    f.frames = int(frames);
    f.data = planes;
    return sink(f);
  }

  OSErr Drain(const FrameSink &) override { return noErr; }
  void Flush() override {}

 private:
  PcmCodec codec_;
  PcmStreamFormat format_;
  std::vector<uint8_t> out_;
};

}  // namespace

bool IsBuiltInPcm(std::string_view codec) { return Find(codec) != nullptr; }

OSErr CreatePcmDecoder(const AudioCodecSetup &setup, std::unique_ptr<AudioDecoder> *out) {
  out->reset();
  const PcmCodec *codec = Find(setup.codec);
  if (!codec) return noCodecErr;
  if (setup.channels < 1 || setup.channels > 8 || setup.sampleRate < 1 || setup.sampleRate > 768000) return paramErr;
  std::unique_ptr<PcmDecoder> d(new (std::nothrow) PcmDecoder(*codec, setup.channels, setup.sampleRate));
  if (!d) return memFullErr;
  *out = std::move(d);
  return noErr;
}

}  // namespace tp::qt
