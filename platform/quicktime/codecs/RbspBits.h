// RbspBits: the bit reads H.264 and HEVC headers are written in, over a
// NAL unit's RBSP (its payload with the emulation prevention bytes taken
// out: UnescapeRbsp). Shared by our readers of parameter sets, slice
// headers and SEI, which all take untrusted bytes.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace tp::qt {

// Fixed-width (u(n)) and Exp-Golomb (ue(v), se(v)) reads that remember
// where they are. A read past the end gives 0 and fails the reader for
// good, so a caller checks ok() once after what it reads.
class RbspBits {
 public:
  explicit RbspBits(std::span<const uint8_t> rbsp) : bytes_(rbsp) {}
  bool ok() const { return ok_; }
  void Fail() { ok_ = false; }
  size_t pos() const { return pos_; }  // in bits from the start

  uint32_t U(int n) {  // n <= 32
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      if (pos_ >= bytes_.size() * 8) {
        ok_ = false;
        return 0;
      }
      v = (v << 1) | ((bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1u);
      ++pos_;
    }
    return v;
  }
  uint32_t Ue() {
    int zeros = 0;
    while (ok_ && U(1) == 0) {
      if (++zeros > 31) ok_ = false;
    }
    if (!ok_) return 0;
    return uint32_t((uint64_t(1) << zeros) - 1 + U(zeros));
  }
  int32_t Se() {
    const uint32_t v = Ue();
    return (v & 1) ? int32_t((v + 1) / 2) : -int32_t(v / 2);
  }
  // A ue(v) or se(v) that must lie in a range; outside it the reader fails
  // and gives 0, so that no caller computes with the value.
  uint32_t Ue(uint32_t max) {
    const uint32_t v = Ue();
    if (v > max) ok_ = false;
    return ok_ ? v : 0;
  }
  int32_t Se(int32_t min, int32_t max) {
    const int32_t v = Se();
    if (v < min || v > max) ok_ = false;
    return ok_ ? v : 0;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// The RBSP of a NAL unit's payload (header excluded by the caller): every
// emulation prevention byte (the 03 of 00 00 03) removed. At most `limit`
// bytes come out: headers sit at the front, so a slice's need not be
// copied whole.
inline std::vector<uint8_t> UnescapeRbsp(std::span<const uint8_t> payload,
                                         size_t limit = std::numeric_limits<size_t>::max()) {
  std::vector<uint8_t> out;
  out.reserve(std::min(payload.size(), limit));
  int zeros = 0;
  for (size_t i = 0; i < payload.size() && out.size() < limit; ++i) {
    const uint8_t b = payload[i];
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    out.push_back(b);
  }
  return out;
}

}  // namespace tp::qt
