#include "codecs/AvcSpsColour.h"
#include "codecs/RbspBits.h"
#include "codecs/SystemCodecSetup.h"

#include <algorithm>
#include <bit>

namespace tp::qt {

namespace {

constexpr int kSpsNalType = 7;

class SpsWriter {
 public:
  void Put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) PutBit((value >> i) & 1u);
  }
  void Copy(std::span<const uint8_t> src, size_t from, size_t to) {
    for (size_t b = from; b < to; ++b) PutBit((src[b / 8] >> (7 - b % 8)) & 1u);
  }
  // rbsp_trailing_bits: the stop bit, then zeros to the byte boundary.
  std::vector<uint8_t> Finish() {
    PutBit(1);
    while (used_ != 0) PutBit(0);
    return std::move(bytes_);
  }

 private:
  void PutBit(uint32_t bit) {
    if (used_ == 0) bytes_.push_back(0);
    if (bit) bytes_.back() |= uint8_t(0x80u >> used_);
    used_ = (used_ + 1) % 8;
  }
  std::vector<uint8_t> bytes_;
  int used_ = 0;
};

void SkipScalingList(RbspBits &r, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size && r.ok(); ++j) {
    if (next != 0) {
      const int32_t delta = r.Se();
      if (delta < -128 || delta > 127) return r.Fail();
      next = (last + delta + 256) % 256;
    }
    last = next == 0 ? last : next;
  }
}

void SkipHrd(RbspBits &r) {
  const uint32_t count = r.Ue(31) + 1;
  r.U(8);  // bit rate and CPB size scales
  for (uint32_t i = 0; i < count && r.ok(); ++i) {
    r.Ue();
    r.Ue();
    r.U(1);
  }
  r.U(20);  // four delay and offset lengths
}

}  // namespace

std::vector<uint8_t> AvcUnescape(std::span<const uint8_t> payload) { return UnescapeRbsp(payload); }

std::vector<uint8_t> AvcEscape(std::span<const uint8_t> rbsp) {
  std::vector<uint8_t> out;
  out.reserve(rbsp.size() + rbsp.size() / 64 + 2);
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

std::optional<AvcSpsLayout> ReadAvcSpsLayout(std::span<const uint8_t> rbsp) {
  // The stop bit is the last bit set; zero bytes after it are padding.
  size_t last = rbsp.size();
  while (last > 0 && rbsp[last - 1] == 0) --last;
  if (last == 0) return std::nullopt;
  AvcSpsLayout out;
  out.stopBit = (last - 1) * 8 + size_t(7 - std::countr_zero(unsigned(rbsp[last - 1])));

  RbspBits r(rbsp.first(last));
  const uint32_t profile = r.U(8);
  r.U(16);  // constraint flags, level
  r.Ue(31);
  if (AvcHighProfile(profile)) {
    const uint32_t chroma = r.Ue(3);
    if (chroma == 3) r.U(1);  // separate colour planes
    r.Ue(6);                  // bit depths
    r.Ue(6);
    r.U(1);
    if (r.U(1)) {
      for (int i = 0; i < (chroma == 3 ? 12 : 8) && r.ok(); ++i)
        if (r.U(1)) SkipScalingList(r, i < 6 ? 16 : 64);
    }
  }
  r.Ue(12);  // log2_max_frame_num_minus4
  const uint32_t pocType = r.Ue(2);
  if (pocType == 0) r.Ue(12);
  if (pocType == 1) {
    r.U(1);
    r.Se();
    r.Se();
    const uint32_t cycle = r.Ue(255);
    for (uint32_t i = 0; i < cycle && r.ok(); ++i) r.Se();
  }
  r.Ue();  // reference frames
  r.U(1);
  r.Ue();  // size in macroblocks
  r.Ue();
  if (!r.U(1)) r.U(1);  // frame_mbs_only, then mb_adaptive_frame_field
  r.U(1);               // direct_8x8_inference
  if (r.U(1)) {         // frame cropping
    for (int i = 0; i < 4; ++i) r.Ue();
  }
  out.vuiFlagBit = r.pos();
  out.hasVui = r.U(1);
  if (out.hasVui) {
    if (r.U(1) && r.U(8) == 255) r.U(32);  // aspect ratio, extended SAR
    if (r.U(1)) r.U(1);                    // overscan
    out.signalTypeBit = r.pos();
    out.hasSignalType = r.U(1);
    if (out.hasSignalType) {
      out.videoFormat = uint8_t(r.U(3));
      out.fullRange = r.U(1);
      out.hasColour = r.U(1);
      if (out.hasColour) {
        out.colour.primaries = uint8_t(r.U(8));
        out.colour.transfer = uint8_t(r.U(8));
        out.colour.matrix = uint8_t(r.U(8));
      }
    }
    out.afterSignalBit = r.pos();
    if (r.U(1)) {  // chroma sample location
      r.Ue(5);
      r.Ue(5);
    }
    if (r.U(1)) r.U(65);  // timing: units, scale, fixed rate
    const bool nalHrd = r.U(1);
    if (nalHrd) SkipHrd(r);
    const bool vclHrd = r.U(1);
    if (vclHrd) SkipHrd(r);
    if (nalHrd || vclHrd) r.U(1);  // low delay
    r.U(1);                        // picture structure
    if (r.U(1)) {                  // bitstream restriction
      r.U(1);
      for (int i = 0; i < 6; ++i) r.Ue();
    }
  }
  // Anything left between the last field and the stop bit is a field this
  // reader does not know: not an SPS to rewrite.
  if (!r.ok() || r.pos() != out.stopBit) return std::nullopt;
  return out;
}

std::optional<std::vector<uint8_t>> SetAvcSpsColour(std::span<const uint8_t> nal, AvcColour colour) {
  if (nal.size() < 2 || (nal[0] & 0x80) != 0 || (nal[0] & 0x1F) != kSpsNalType) return std::nullopt;
  const std::vector<uint8_t> rbsp = AvcUnescape(nal.subspan(1));
  const std::optional<AvcSpsLayout> sps = ReadAvcSpsLayout(rbsp);
  if (!sps) return std::nullopt;

  SpsWriter w;
  const auto putSignalType = [&](uint8_t videoFormat, bool fullRange) {
    w.Put(1, 1);
    w.Put(videoFormat, 3);
    w.Put(fullRange, 1);
    w.Put(1, 1);
    w.Put(colour.primaries, 8);
    w.Put(colour.transfer, 8);
    w.Put(colour.matrix, 8);
  };
  if (sps->hasVui) {
    w.Copy(rbsp, 0, sps->signalTypeBit);
    putSignalType(sps->videoFormat, sps->fullRange);
    w.Copy(rbsp, sps->afterSignalBit, sps->stopBit);
  } else {
    // A VUI of its own with nothing but the signal type: every other part
    // absent, which means what the missing VUI meant.
    w.Copy(rbsp, 0, sps->vuiFlagBit);
    w.Put(1, 1);
    w.Put(0, 2);  // aspect ratio, overscan
    putSignalType(5, false);
    w.Put(0, 6);  // chroma location, timing, both HRDs, picture structure, bitstream restriction
  }
  std::vector<uint8_t> out{nal[0]};
  const std::vector<uint8_t> escaped = AvcEscape(w.Finish());
  out.insert(out.end(), escaped.begin(), escaped.end());
  return out;
}

int SetAvcColourInAnnexB(std::vector<uint8_t> *annexB, AvcColour colour) {
  const std::vector<uint8_t> &in = *annexB;
  const auto startCodeAt = [&](size_t from) {
    for (size_t k = from; k + 2 < in.size(); ++k) {
      if (in[k + 2] > 1) {
        k += 2;  // no start code can end before k + 3
        continue;
      }
      if (in[k] == 0 && in[k + 1] == 0 && in[k + 2] == 1) return k;
    }
    return in.size();
  };
  // Replacements, found first so that a stream without an SPS to change
  // (almost every sample) is not copied.
  struct Edit {
    size_t begin, end;
    std::vector<uint8_t> nal;
  };
  std::vector<Edit> edits;
  for (size_t sc = startCodeAt(0); sc < in.size();) {
    const size_t begin = sc + 3;
    const size_t next = startCodeAt(begin);
    size_t end = next;
    while (end > begin && in[end - 1] == 0) --end;  // a longer start code, trailing zeros
    if (end > begin && (in[begin] & 0x1F) == kSpsNalType) {
      const std::span<const uint8_t> nal(in.data() + begin, end - begin);
      if (std::optional<std::vector<uint8_t>> rewritten = SetAvcSpsColour(nal, colour);
          rewritten && !std::equal(rewritten->begin(), rewritten->end(), nal.begin(), nal.end()))
        edits.push_back({begin, end, std::move(*rewritten)});
    }
    sc = next;
  }
  if (edits.empty()) return 0;
  std::vector<uint8_t> out;
  out.reserve(in.size() + edits.size() * 8);
  size_t at = 0;
  for (const Edit &e : edits) {
    out.insert(out.end(), in.begin() + ptrdiff_t(at), in.begin() + ptrdiff_t(e.begin));
    out.insert(out.end(), e.nal.begin(), e.nal.end());
    at = e.end;
  }
  out.insert(out.end(), in.begin() + ptrdiff_t(at), in.end());
  *annexB = std::move(out);
  return int(edits.size());
}

std::optional<bool> AvcFullRangeInAnnexB(std::span<const uint8_t> annexB) {
  for (size_t k = 0; k + 3 < annexB.size(); ++k) {
    if (annexB[k] != 0 || annexB[k + 1] != 0 || annexB[k + 2] != 1) continue;
    const size_t begin = k + 3;
    size_t end = begin;
    while (end + 2 < annexB.size() && !(annexB[end] == 0 && annexB[end + 1] == 0 && annexB[end + 2] <= 1)) ++end;
    if (end + 2 >= annexB.size()) end = annexB.size();
    if ((annexB[begin] & 0x1F) == kSpsNalType) {
      if (std::optional<AvcSpsLayout> sps = ReadAvcSpsLayout(AvcUnescape(annexB.subspan(begin + 1, end - begin - 1))))
        return sps->hasSignalType && sps->fullRange;
    }
    k = end - 1;
  }
  return std::nullopt;
}

}  // namespace tp::qt
