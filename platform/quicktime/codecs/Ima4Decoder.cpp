#include "codecs/Ima4Decoder.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

namespace tp::qt {
namespace {

constexpr size_t kBlockBytes = 34;
constexpr int kBlockFrames = 64;
constexpr int kMaxStepIndex = 88;

constexpr int kIndexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

constexpr int kStepTable[kMaxStepIndex + 1] = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,   28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,  118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,  494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878, 2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845, 8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

struct ChannelState {
  int predictor = 0;
  int stepIndex = 0;
};

// One four-bit code: the step's eighth plus the step, its half and its
// quarter as the three magnitude bits say, added or taken away.
int16_t Expand(ChannelState &c, int nibble) {
  const int step = kStepTable[c.stepIndex];
  int diff = step >> 3;
  if (nibble & 4) diff += step;
  if (nibble & 2) diff += step >> 1;
  if (nibble & 1) diff += step >> 2;
  const int predictor = (nibble & 8) ? c.predictor - diff : c.predictor + diff;
  c.predictor = std::clamp(predictor, -32768, 32767);
  c.stepIndex = std::clamp(c.stepIndex + kIndexTable[nibble], 0, kMaxStepIndex);
  return int16_t(c.predictor);
}

class Ima4Decoder final : public AudioDecoder {
 public:
  Ima4Decoder(int channels, int rate) : state_(size_t(channels)), planes_(size_t(channels)) {
    format_.type = SampleType::kS16;
    format_.planar = true;
    format_.channels = channels;
    format_.rate = rate;
  }

  OSErr Decode(std::span<const uint8_t> data, const FrameSink &sink) override { return DecodePacket(data, sink); }

  OSErr DecodePacket(std::span<const uint8_t> packet, const FrameSink &sink) override {
    const size_t setBytes = kBlockBytes * size_t(format_.channels);
    const size_t sets = packet.size() / setBytes;
    if (sets == 0) return noErr;
    for (auto &plane : planes_) plane.resize(sets * kBlockFrames);
    size_t done = 0;
    const uint8_t *in = packet.data();
    for (; done < sets; ++done) {
      bool corrupt = false;
      for (size_t ch = 0; ch < size_t(format_.channels) && !corrupt; ++ch, in += kBlockBytes)
        corrupt = !DecodeBlock(in, state_[ch], planes_[ch].data() + done * kBlockFrames);
      if (corrupt) break;
    }
    if (done == 0) return noErr;
    std::vector<const uint8_t *> data(planes_.size());
    for (size_t ch = 0; ch < planes_.size(); ++ch) data[ch] = reinterpret_cast<const uint8_t *>(planes_[ch].data());
    PcmFrames f;
    f.format = format_;
    f.frames = int(done * kBlockFrames);
    f.data = data.data();
    return sink(f);
  }

  OSErr Drain(const FrameSink &) override { return noErr; }
  void Flush() override { std::fill(state_.begin(), state_.end(), ChannelState{}); }

 private:
  // False for a header whose step index is out of range (the state still
  // takes it, so a following block is judged against it).
  static bool DecodeBlock(const uint8_t *block, ChannelState &c, int16_t *out) {
    const int header = int16_t(uint16_t(block[0] << 8 | block[1]));
    const int stepIndex = header & 0x7F;
    const int predictor = header & ~0x7F;
    if (c.stepIndex != stepIndex || std::abs(predictor - c.predictor) > 0x7F) {
      c.stepIndex = stepIndex;
      c.predictor = predictor;
    }
    if (c.stepIndex > kMaxStepIndex) return false;
    for (int i = 0; i < kBlockFrames / 2; ++i) {
      const uint8_t byte = block[2 + i];
      out[2 * i] = Expand(c, byte & 0x0F);
      out[2 * i + 1] = Expand(c, byte >> 4);
    }
    return true;
  }

  PcmStreamFormat format_;
  std::vector<ChannelState> state_;
  std::vector<std::vector<int16_t>> planes_;
};

}  // namespace

bool IsBuiltInIma4(std::string_view codec) { return codec == "adpcm_ima_qt"; }

OSErr CreateIma4Decoder(const AudioCodecSetup &setup, std::unique_ptr<AudioDecoder> *out) {
  out->reset();
  if (!IsBuiltInIma4(setup.codec)) return noCodecErr;
  if (setup.channels < 1 || setup.channels > 8 || setup.sampleRate < 1 || setup.sampleRate > 768000) return paramErr;
  out->reset(new (std::nothrow) Ima4Decoder(setup.channels, setup.sampleRate));
  return *out ? OSErr(noErr) : OSErr(memFullErr);
}

}  // namespace tp::qt
