#include "codecs/SystemCodecStreams.h"

namespace tp::qt {

namespace {

constexpr int kObuSequenceHeader = 1;
constexpr int kObuTemporalDelimiter = 2;
constexpr int kObuFrameHeader = 3;
constexpr int kObuMetadata = 5;
constexpr int kObuFrame = 6;
constexpr int kObuRedundantFrameHeader = 7;

struct Obu {
  int type = 0;
  std::span<const uint8_t> header;  // one byte, two with the extension
  std::span<const uint8_t> payload;
};

// The OBU at *pos (advanced past it); nullopt when its header or size runs
// past `data`, or the forbidden bit is set. Without a size field it takes
// the rest of `data`.
std::optional<Obu> ReadObu(std::span<const uint8_t> data, size_t *pos) {
  size_t p = *pos;
  if (p >= data.size() || (data[p] & 0x80)) return std::nullopt;
  Obu obu;
  obu.type = (data[p] >> 3) & 0xF;
  const bool extension = data[p] & 0x04, hasSize = data[p] & 0x02;
  const size_t headerBytes = extension ? 2 : 1;
  if (data.size() - p < headerBytes) return std::nullopt;
  obu.header = data.subspan(p, headerBytes);
  p += headerBytes;
  uint64_t size = data.size() - p;
  if (hasSize) {
    size = 0;
    // leb128: at most eight bytes, and a value that fits in 32 bits.
    for (int i = 0;; ++i) {
      if (i == 8 || p >= data.size()) return std::nullopt;
      const uint8_t b = data[p++];
      size |= uint64_t(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) break;
    }
    if (size > UINT32_MAX || size > data.size() - p) return std::nullopt;
  }
  obu.payload = data.subspan(p, size_t(size));
  *pos = p + size_t(size);
  return obu;
}

void AppendObu(const Obu &obu, std::vector<uint8_t> *out) {
  out->push_back(uint8_t(obu.header[0] | 0x02));
  if (obu.header.size() > 1) out->push_back(obu.header[1]);
  uint64_t n = obu.payload.size();
  do {
    const uint8_t low = uint8_t(n & 0x7F);
    n >>= 7;
    out->push_back(n ? uint8_t(low | 0x80) : low);
  } while (n);
  out->insert(out->end(), obu.payload.begin(), obu.payload.end());
}

// reduced_still_picture_header, after seq_profile and still_picture.
bool ReducedStillPicture(const Obu &sequenceHeader) {
  return !sequenceHeader.payload.empty() && (sequenceHeader.payload[0] & 0x08);
}

}  // namespace

std::optional<Av1Config> ParseAv1C(std::span<const uint8_t> av1C) {
  if (av1C.size() < 4 || av1C[0] != 0x81) return std::nullopt;
  Av1Config config;
  for (size_t pos = 4; pos < av1C.size();) {
    std::optional<Obu> obu = ReadObu(av1C, &pos);
    if (!obu) return std::nullopt;
    // Only what a configuration may hold: anything else (a frame) would be
    // decoded again at every run's start.
    if (obu->type != kObuSequenceHeader && obu->type != kObuMetadata) continue;
    if (obu->type == kObuSequenceHeader) config.reducedStillPictureHeader = ReducedStillPicture(*obu);
    AppendObu(*obu, &config.obus);
  }
  return config;
}

bool AppendAv1TemporalUnit(std::span<const uint8_t> sample, std::span<const uint8_t> config,
                           std::vector<uint8_t> *out) {
  const size_t before = out->size();
  out->insert(out->end(), {uint8_t(kObuTemporalDelimiter << 3 | 0x02), 0});
  const size_t configAt = out->size();
  bool ownSequenceHeader = false;
  for (size_t pos = 0; pos < sample.size();) {
    std::optional<Obu> obu = ReadObu(sample, &pos);
    if (!obu) {
      out->resize(before);
      return false;
    }
    if (obu->type == kObuTemporalDelimiter) continue;
    ownSequenceHeader = ownSequenceHeader || obu->type == kObuSequenceHeader;
    AppendObu(*obu, out);
  }
  if (!ownSequenceHeader) out->insert(out->begin() + ptrdiff_t(configAt), config.begin(), config.end());
  return true;
}

bool HevcRandomAccess(std::span<const uint8_t> annexB) {
  for (size_t i = 0; i + 3 < annexB.size(); ++i) {
    if (annexB[i] != 0 || annexB[i + 1] != 0 || annexB[i + 2] != 1) continue;
    const int type = (annexB[i + 3] >> 1) & 0x3F;
    if (type < 32) return type >= 16 && type <= 23;  // the first picture unit decides
    i += 2;
  }
  return false;
}

bool Av1KeyFrame(std::span<const uint8_t> obus, bool reducedStillPictureHeader) {
  for (size_t pos = 0; pos < obus.size();) {
    std::optional<Obu> obu = ReadObu(obus, &pos);
    if (!obu) return false;
    if (obu->type == kObuSequenceHeader) reducedStillPictureHeader = ReducedStillPicture(*obu);
    if (obu->type != kObuFrameHeader && obu->type != kObuFrame && obu->type != kObuRedundantFrameHeader) continue;
    // A still picture's only frame is a shown key frame; otherwise
    // show_existing_frame (0), frame_type (2 bits, 0: key) and show_frame
    // (1) lead the header.
    if (reducedStillPictureHeader) return true;
    return !obu->payload.empty() && (obu->payload[0] & 0xF0) == 0x10;
  }
  return false;
}

bool Mpeg4IntraVop(std::span<const uint8_t> sample) {
  for (size_t i = 0; i + 4 < sample.size(); ++i) {
    if (sample[i] == 0 && sample[i + 1] == 0 && sample[i + 2] == 1 && sample[i + 3] == 0xB6)
      return (sample[i + 4] >> 6) == 0;  // vop_coding_type 0: intra
  }
  return false;
}

}  // namespace tp::qt
