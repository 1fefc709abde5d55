#include "sound/PcmResample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace tp::qt {
namespace {

constexpr double kMinus3dB = 0.70710678118654752440;

// WAVE speaker bits.
enum : uint64_t {
  kFL = 0x1,
  kFR = 0x2,
  kFC = 0x4,
  kLFE = 0x8,
  kBL = 0x10,
  kBR = 0x20,
  kBC = 0x100,
  kSL = 0x200,
  kSR = 0x400,
};

// The usual layouts for 1..8 channels, in channel order.
uint64_t DefaultMask(int channels) {
  static constexpr uint64_t kMasks[9] = {0, 0x4, 0x3, 0xB, 0x107, 0x37, 0x3F, 0x70F, 0x63F};
  return channels >= 1 && channels <= 8 ? kMasks[channels] : 0;
}

std::vector<uint64_t> Speakers(const PcmStreamFormat &f) {
  uint64_t mask = f.channelMask;
  int bits = 0;
  for (uint64_t m = mask; m; m &= m - 1) ++bits;
  if (mask == 0 || bits != f.channels) mask = DefaultMask(f.channels);
  std::vector<uint64_t> out;
  for (int b = 0; b < 64 && mask; ++b) {
    if (mask & (uint64_t(1) << b)) out.push_back(uint64_t(1) << b);
  }
  // Channels past a known layout are kept as they come, unnamed.
  while (int(out.size()) < f.channels) out.push_back(0);
  out.resize(size_t(f.channels));
  return out;
}

// A sample as a signed 32-bit integer scale (integers) or a double.
int32_t LoadInt(const uint8_t *p, SampleType t) {
  switch (t) {
    case SampleType::kU8:
      return int32_t(uint32_t(p[0] - 0x80) << 24);
    case SampleType::kS16: {
      int16_t v;
      std::memcpy(&v, p, 2);
      return int32_t(uint32_t(int32_t(v)) << 16);
    }
    default: {
      int32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
  }
}

double LoadDouble(const uint8_t *p, SampleType t) {
  if (t == SampleType::kF32) {
    float v;
    std::memcpy(&v, p, 4);
    return v;
  }
  if (t == SampleType::kF64) {
    double v;
    std::memcpy(&v, p, 8);
    return v;
  }
  return double(LoadInt(p, t)) * (1.0 / 2147483648.0);
}

bool IsInt(SampleType t) { return t == SampleType::kU8 || t == SampleType::kS16 || t == SampleType::kS32; }

void StoreInt(uint8_t *p, SampleType t, int32_t v) {
  switch (t) {
    case SampleType::kU8:
      p[0] = uint8_t((v >> 24) + 0x80);
      return;
    case SampleType::kS16: {
      const int16_t s = int16_t(v >> 16);
      std::memcpy(p, &s, 2);
      return;
    }
    default:
      std::memcpy(p, &v, 4);
      return;
  }
}

void StoreDouble(uint8_t *p, SampleType t, double v) {
  switch (t) {
    case SampleType::kU8:
      p[0] = uint8_t(std::clamp<long long>(std::llrint(v * 128.0) + 0x80, 0, 255));
      return;
    case SampleType::kS16: {
      const int16_t s = int16_t(std::clamp<long long>(std::llrint(v * 32768.0), -32768, 32767));
      std::memcpy(p, &s, 2);
      return;
    }
    case SampleType::kS32: {
      const int32_t s = int32_t(std::clamp<long long>(std::llrint(v * 2147483648.0), INT32_MIN, INT32_MAX));
      std::memcpy(p, &s, 4);
      return;
    }
    case SampleType::kF32: {
      const float f = float(v);
      std::memcpy(p, &f, 4);
      return;
    }
    case SampleType::kF64:
      std::memcpy(p, &v, 8);
      return;
    case SampleType::kNone:
      return;
  }
}

// Where sample (frame, channel) lives.
struct Addressing {
  PcmStreamFormat f;
  size_t bytes;
  const uint8_t *At(const uint8_t *const *planes, int frame, int channel) const {
    return f.planar ? planes[channel] + size_t(frame) * bytes
                    : planes[0] + (size_t(frame) * size_t(f.channels) + size_t(channel)) * bytes;
  }
  uint8_t *At(uint8_t *const *planes, int frame, int channel) const {
    return f.planar ? planes[channel] + size_t(frame) * bytes
                    : planes[0] + (size_t(frame) * size_t(f.channels) + size_t(channel)) * bytes;
  }
};

class BuiltInResampler final : public PcmResampler {
 public:
  BuiltInResampler(const PcmStreamFormat &in, const PcmStreamFormat &out)
      : in_{in, size_t(BytesPerSample(in.type))}, out_{out, size_t(BytesPerSample(out.type))} {
    direct_ = in.channels == out.channels && in.rate == out.rate;
    // Mixing runs at the precision the Linux back end picks: 16-bit
    // integers with Q15 gains when neither side is wider, else float, else
    // (64-bit samples) double.
    const int widest = std::max(BytesPerSample(in.type), BytesPerSample(out.type));
    precision_ = widest <= 2 ? Precision::kQ15 : widest <= 4 ? Precision::kFloat : Precision::kDouble;
    if (!direct_) BuildMatrix();
    step_ = double(in.rate) / double(out.rate);
  }

  int MaxOutput(int inFrames) override {
    if (direct_) return inFrames;
    // Frames whose position falls before the last input frame held.
    const double available = double(held_.size() / size_t(out_.f.channels)) + double(inFrames);
    const double n = std::ceil((available - pos_) / step_) + 1;
    return n > 0 && n < double(INT32_MAX) ? int(n) : 0;
  }

  int Convert(uint8_t *const *out, int capacity, const uint8_t *const *in, int inFrames) override {
    if (direct_) return in ? Direct(out, capacity, in, inFrames) : 0;
    return Mixed(out, capacity, in, inFrames);
  }

 private:
  int Direct(uint8_t *const *out, int capacity, const uint8_t *const *in, int inFrames) {
    const int n = std::min(capacity, inFrames);
    const bool ints = IsInt(in_.f.type) && IsInt(out_.f.type);
    for (int i = 0; i < n; ++i) {
      for (int c = 0; c < in_.f.channels; ++c) {
        const uint8_t *src = in_.At(in, i, c);
        uint8_t *dst = out_.At(out, i, c);
        if (ints) {
          StoreInt(dst, out_.f.type, LoadInt(src, in_.f.type));
        } else if (in_.f.type == SampleType::kF32 && out_.f.type == SampleType::kF32) {
          std::memcpy(dst, src, 4);
        } else {
          StoreDouble(dst, out_.f.type, LoadDouble(src, in_.f.type));
        }
      }
    }
    return n;
  }

  void BuildMatrix() {
    const std::vector<uint64_t> from = Speakers(in_.f), to = Speakers(out_.f);
    const size_t outs = to.size(), ins = from.size();
    matrix_.assign(outs * ins, 0.0);
    auto has = [&](uint64_t s) { return std::find(to.begin(), to.end(), s) != to.end(); };
    auto add = [&](uint64_t target, size_t i, double gain) {
      for (size_t o = 0; o < outs; ++o)
        if (to[o] == target) matrix_[o * ins + i] += gain;
    };
    for (size_t i = 0; i < ins; ++i) {
      const uint64_t s = from[i];
      if (s == kLFE && !has(kLFE)) continue;
      if (s != 0 && has(s)) {
        add(s, i, 1.0);
      } else if (s == 0) {
        if (i < outs) matrix_[i * ins + i] = 1.0;
      } else if (s == kFC) {
        add(kFL, i, kMinus3dB);
        add(kFR, i, kMinus3dB);
      } else if (s == kFL || s == kFR) {
        if (has(kFC)) add(kFC, i, kMinus3dB);
      } else if (s == kBL || s == kSL) {
        const uint64_t alt = s == kBL ? kSL : kBL;
        if (has(alt))
          add(alt, i, 1.0);
        else if (has(kFL))
          add(kFL, i, kMinus3dB);
        else
          add(kFC, i, kMinus3dB * kMinus3dB);
      } else if (s == kBR || s == kSR) {
        const uint64_t alt = s == kBR ? kSR : kBR;
        if (has(alt))
          add(alt, i, 1.0);
        else if (has(kFR))
          add(kFR, i, kMinus3dB);
        else
          add(kFC, i, kMinus3dB * kMinus3dB);
      } else if (s == kBC) {
        if (has(kBL) && has(kBR)) {
          add(kBL, i, kMinus3dB);
          add(kBR, i, kMinus3dB);
        } else if (has(kSL) && has(kSR)) {
          add(kSL, i, kMinus3dB);
          add(kSR, i, kMinus3dB);
        } else if (has(kFL) && has(kFR)) {
          add(kFL, i, kMinus3dB * kMinus3dB);
          add(kFR, i, kMinus3dB * kMinus3dB);
        } else {
          add(kFC, i, kMinus3dB * kMinus3dB);
        }
      }
    }
    double maxRow = 0;
    for (size_t o = 0; o < outs; ++o) {
      double sum = 0;
      for (size_t i = 0; i < ins; ++i) sum += std::fabs(matrix_[o * ins + i]);
      maxRow = std::max(maxRow, sum);
    }
    // Integer samples cannot go past full scale: scale the loudest row down
    // to 1. Float output keeps the gains as they are.
    if (maxRow > 1.0 && (IsInt(out_.f.type) || precision_ == Precision::kQ15))
      for (double &g : matrix_) g /= maxRow;
    for (double g : matrix_) {
      matrixQ15_.push_back(int32_t(std::lrint(float(g) * 32768.0f)));
      matrixF_.push_back(float(g));
    }
  }

  // One output sample of the mix of `frame` (input samples as loaded).
  double Mix(size_t o, const std::vector<double> &frame) const {
    const size_t ins = frame.size();
    switch (precision_) {
      case Precision::kQ15: {
        int64_t sum = 0;
        for (size_t c = 0; c < ins; ++c)
          sum += int64_t(matrixQ15_[o * ins + c]) * int64_t(std::lrint(frame[c] * 32768.0));
        const int64_t v = std::clamp<int64_t>((sum + 16384) >> 15, -32768, 32767);
        return double(v) / 32768.0;
      }
      case Precision::kFloat: {
        float sum = 0;
        for (size_t c = 0; c < ins; ++c) sum += matrixF_[o * ins + c] * float(frame[c]);
        return sum;
      }
      case Precision::kDouble:
        break;
    }
    double sum = 0;
    for (size_t c = 0; c < ins; ++c) sum += matrix_[o * ins + c] * frame[c];
    return sum;
  }

  void Store(uint8_t *dst, double v) const {
    // From 16-bit integers, the output takes them as the integer paths do.
    if (precision_ == Precision::kQ15 && IsInt(out_.f.type) &&
        v == std::ldexp(std::nearbyint(std::ldexp(v, 15)), -15)) {
      StoreInt(dst, out_.f.type, int32_t(uint32_t(int32_t(std::ldexp(v, 15))) << 16));
      return;
    }
    StoreDouble(dst, out_.f.type, v);
  }

  // Mixes the input into held_ (output channels, doubles), then takes
  // output frames at step_ intervals, interpolating between neighbours.
  int Mixed(uint8_t *const *out, int capacity, const uint8_t *const *in, int inFrames) {
    const size_t outs = size_t(out_.f.channels), ins = size_t(in_.f.channels);
    if (in) {
      std::vector<double> frame(ins);
      for (int f = 0; f < inFrames; ++f) {
        for (size_t c = 0; c < ins; ++c) frame[c] = LoadDouble(in_.At(in, f, int(c)), in_.f.type);
        for (size_t o = 0; o < outs; ++o) held_.push_back(Mix(o, frame));
      }
    }
    const size_t frames = held_.size() / outs;
    int written = 0;
    // Interpolate while both neighbours are present; at a flush, the last
    // frame stands alone.
    while (written < capacity) {
      const size_t i = size_t(pos_);
      if (i >= frames || (in && i + 1 >= frames)) break;
      const double t = pos_ - double(i);
      for (size_t o = 0; o < outs; ++o) {
        const double a = held_[i * outs + o];
        const double b = i + 1 < frames ? held_[(i + 1) * outs + o] : a;
        Store(out_.At(out, written, int(o)), t == 0 ? a : a + (b - a) * t);
      }
      ++written;
      pos_ += step_;
    }
    // Drop what no later output frame needs.
    const size_t used = std::min(size_t(pos_), frames);
    held_.erase(held_.begin(), held_.begin() + std::ptrdiff_t(used * outs));
    pos_ -= double(used);
    if (!in) {
      held_.clear();
      pos_ = 0;
    }
    return written;
  }

  Addressing in_, out_;
  enum class Precision { kQ15, kFloat, kDouble };
  bool direct_ = true;
  Precision precision_ = Precision::kDouble;
  std::vector<double> matrix_;  // outputs x inputs
  std::vector<int32_t> matrixQ15_;
  std::vector<float> matrixF_;
  std::vector<double> held_;  // mixed frames not yet passed
  double pos_ = 0;            // position of the next output frame in held_
  double step_ = 1;
};

}  // namespace

OSErr CreateBuiltInResampler(const PcmStreamFormat &in, const PcmStreamFormat &out,
                             std::unique_ptr<PcmResampler> *result) {
  result->reset();
  if (BytesPerSample(in.type) == 0 || BytesPerSample(out.type) == 0 || in.channels < 1 || in.channels > 64 ||
      out.channels < 1 || out.channels > 8 || in.rate < 1 || out.rate < 1)
    return codecErr;
  std::unique_ptr<BuiltInResampler> r(new (std::nothrow) BuiltInResampler(in, out));
  if (!r) return memFullErr;
  *result = std::move(r);
  return noErr;
}

}  // namespace tp::qt
