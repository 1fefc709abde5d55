#include "codecs/SystemCodecSetup.h"
#include "codecs/RbspBits.h"

#include <algorithm>
#include <cstring>

namespace tp::qt {

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  // nullopt past the end.
  std::optional<uint32_t> Read(int bits) {
    uint32_t v = 0;
    for (int i = 0; i < bits; ++i) {
      if (pos_ >= bytes_.size() * 8) return std::nullopt;
      v = (v << 1) | ((bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1);
      ++pos_;
    }
    return v;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<AvcParameterSets> ParseAvcC(std::span<const uint8_t> avcC) {
  if (avcC.size() < 6 || avcC[0] != 1) return std::nullopt;
  AvcParameterSets out;
  out.nalLengthSize = (avcC[4] & 3) + 1;
  if (out.nalLengthSize == 3) return std::nullopt;
  size_t pos = 5;
  // SPS count in the low five bits, then the PPS count as a whole byte.
  for (int list = 0; list < 2; ++list) {
    if (pos >= avcC.size()) return std::nullopt;
    int count = list == 0 ? (avcC[pos] & 0x1F) : avcC[pos];
    ++pos;
    for (int i = 0; i < count; ++i) {
      if (avcC.size() - pos < 2) return std::nullopt;
      size_t n = size_t(avcC[pos]) << 8 | avcC[pos + 1];
      pos += 2;
      if (n > avcC.size() - pos) return std::nullopt;
      out.annexB.insert(out.annexB.end(), std::begin(kStartCode), std::end(kStartCode));
      out.annexB.insert(out.annexB.end(), avcC.begin() + ptrdiff_t(pos), avcC.begin() + ptrdiff_t(pos + n));
      pos += n;
    }
  }
  return out;
}

std::optional<AvcParameterSets> ParseHvcC(std::span<const uint8_t> hvcC) {
  constexpr size_t kHeaderBytes = 23;  // the fixed fields and the array count
  if (hvcC.size() < kHeaderBytes || hvcC[0] != 1) return std::nullopt;
  AvcParameterSets out;
  out.nalLengthSize = (hvcC[21] & 3) + 1;
  if (out.nalLengthSize == 3) return std::nullopt;
  const int arrays = hvcC[22];
  size_t pos = kHeaderBytes;
  for (int a = 0; a < arrays; ++a) {
    // Completeness and NAL type, then the unit count.
    if (hvcC.size() - pos < 3) return std::nullopt;
    const size_t count = size_t(hvcC[pos + 1]) << 8 | hvcC[pos + 2];
    pos += 3;
    for (size_t i = 0; i < count; ++i) {
      if (hvcC.size() - pos < 2) return std::nullopt;
      const size_t n = size_t(hvcC[pos]) << 8 | hvcC[pos + 1];
      pos += 2;
      if (n > hvcC.size() - pos) return std::nullopt;
      out.annexB.insert(out.annexB.end(), std::begin(kStartCode), std::end(kStartCode));
      out.annexB.insert(out.annexB.end(), hvcC.begin() + ptrdiff_t(pos), hvcC.begin() + ptrdiff_t(pos + n));
      pos += n;
    }
  }
  return out;
}

bool AppendAnnexB(std::span<const uint8_t> sample, int nalLengthSize, std::vector<uint8_t> *out) {
  if (nalLengthSize != 1 && nalLengthSize != 2 && nalLengthSize != 4) return false;
  const size_t before = out->size();
  size_t pos = 0;
  while (pos < sample.size()) {
    if (sample.size() - pos < size_t(nalLengthSize)) {
      out->resize(before);
      return false;
    }
    size_t n = 0;
    for (int i = 0; i < nalLengthSize; ++i) n = (n << 8) | sample[pos + size_t(i)];
    pos += size_t(nalLengthSize);
    if (n > sample.size() - pos) {
      out->resize(before);
      return false;
    }
    if (n == 0) continue;
    out->insert(out->end(), std::begin(kStartCode), std::end(kStartCode));
    out->insert(out->end(), sample.begin() + ptrdiff_t(pos), sample.begin() + ptrdiff_t(pos + n));
    pos += n;
  }
  return true;
}

bool AvcPictureOrder::ParseSps(std::span<const uint8_t> rbsp) {
  RbspBits r(rbsp);
  const uint32_t profile = r.U(8);
  r.U(16);  // constraint flags, level
  const uint32_t id = r.Ue();
  if (!r.ok() || id >= 32) return false;
  Sps sps;
  if (AvcHighProfile(profile)) {
    const uint32_t chroma = r.Ue();
    if (chroma == 3) sps.separateColourPlanes = r.U(1);
    r.Ue();  // bit depths
    r.Ue();
    r.U(1);
    if (r.U(1)) {  // scaling matrices: walked only to get past them
      for (int i = 0; i < (chroma == 3 ? 12 : 8) && r.ok(); ++i) {
        if (!r.U(1)) continue;
        int last = 8, next = 8;
        for (int j = 0; j < (i < 6 ? 16 : 64) && r.ok(); ++j) {
          if (next != 0) next = (last + r.Se(-128, 127) + 256) % 256;
          last = next == 0 ? last : next;
        }
      }
    }
  }
  // Frame numbers and order counts of up to 16 bits, three order types:
  // anything else is not an SPS this follows.
  sps.log2MaxFrameNum = int(r.Ue(12)) + 4;
  sps.pocType = int(r.Ue(2));
  if (sps.pocType == 0) sps.log2MaxPocLsb = int(r.Ue(12)) + 4;
  if (sps.pocType == 1) {
    r.U(1);
    r.Se();
    r.Se();
    const uint32_t cycle = r.Ue();
    for (uint32_t i = 0; i < cycle && i < 256 && r.ok(); ++i) r.Se();
  }
  r.Ue();  // reference frames
  r.U(1);
  r.Ue();  // size in macroblocks
  r.Ue();
  sps.frameMbsOnly = r.U(1);
  if (!r.ok()) return false;
  sps.known = true;
  sps_[id] = sps;
  return true;
}

bool AvcPictureOrder::ParsePps(std::span<const uint8_t> rbsp) {
  RbspBits r(rbsp);
  const uint32_t id = r.Ue();
  const uint32_t spsId = r.Ue();
  if (!r.ok() || id >= 256 || spsId >= 32) return false;
  ppsToSps_[id] = int(spsId);
  ppsKnown_[id] = true;
  return true;
}

AvcPictureOrder::Picture AvcPictureOrder::ParseSlice(std::span<const uint8_t> rbsp, int nalType, int refIdc) {
  Picture pic;
  pic.found = true;
  pic.idr = nalType == 5;
  pic.restart = pic.idr;
  pic.reference = refIdc != 0;
  if (pic.idr) {
    prevPocMsb_ = prevPocLsb_ = 0;
    decodeCount_ = 0;
  }
  pic.order = decodeCount_++;
  RbspBits r(rbsp);
  r.Ue();  // first macroblock
  const uint32_t sliceType = r.Ue() % 5;
  const uint32_t ppsId = r.Ue();
  if (!r.ok() || ppsId >= 256 || !ppsKnown_[ppsId] || !sps_[ppsToSps_[ppsId]].known) return pic;
  const Sps &sps = sps_[ppsToSps_[ppsId]];
  if (sps.separateColourPlanes) r.U(2);
  const int64_t frameNum = r.U(sps.log2MaxFrameNum);
  if (!r.ok()) return pic;
  // An intra picture whose frame number does not follow the last reference
  // picture's starts a run too: decoding was resumed there (a seek to a
  // sync sample that is not an IDR).
  const int64_t maxFrameNum = int64_t(1) << sps.log2MaxFrameNum;
  const bool follows =
      prevRefFrameNum_ < 0 || frameNum == prevRefFrameNum_ || frameNum == (prevRefFrameNum_ + 1) % maxFrameNum;
  const bool intra = sliceType == 2 || sliceType == 4;
  if (!pic.idr && intra && !follows) {
    pic.restart = true;
    decodeCount_ = 1;
    pic.order = 0;
  }
  if (pic.reference) prevRefFrameNum_ = frameNum;
  if (sps.pocType != 0) return pic;
  if (!sps.frameMbsOnly && r.U(1)) r.U(1);  // field, bottom
  if (pic.idr) r.Ue();
  const int64_t lsb = r.U(sps.log2MaxPocLsb);
  if (!r.ok()) return pic;
  if (pic.restart && !pic.idr) {
    // The count's high part is unknown here; counting from this picture
    // keeps the run's order.
    prevPocMsb_ = 0;
    prevPocLsb_ = lsb;
  }
  const int64_t maxLsb = int64_t(1) << sps.log2MaxPocLsb;
  int64_t msb = prevPocMsb_;
  if (lsb < prevPocLsb_ && prevPocLsb_ - lsb >= maxLsb / 2)
    msb += maxLsb;
  else if (lsb > prevPocLsb_ && lsb - prevPocLsb_ > maxLsb / 2)
    msb -= maxLsb;
  if (refIdc != 0) {
    prevPocMsb_ = msb;
    prevPocLsb_ = lsb;
  }
  pic.order = msb + lsb;
  return pic;
}

AvcPictureOrder::Picture AvcPictureOrder::Next(std::span<const uint8_t> annexB) {
  constexpr size_t kHeaderBytes = 64;  // every field read sits well inside
  Picture pic;
  size_t i = 0;
  auto nextStart = [&](size_t from) {
    for (size_t k = from; k + 2 < annexB.size(); ++k)
      if (annexB[k] == 0 && annexB[k + 1] == 0 && annexB[k + 2] == 1) return k;
    return annexB.size();
  };
  i = nextStart(0);
  while (i < annexB.size()) {
    const size_t begin = i + 3;
    const size_t end = nextStart(begin);
    if (begin < end) {
      const uint8_t header = annexB[begin];
      const int type = header & 0x1F;
      const int refIdc = (header >> 5) & 3;
      std::vector<uint8_t> rbsp = UnescapeRbsp(annexB.subspan(begin + 1, end - begin - 1), kHeaderBytes);
      if (type == 7) {
        ParseSps(UnescapeRbsp(annexB.subspan(begin + 1, end - begin - 1), annexB.size()));
      } else if (type == 8) {
        ParsePps(rbsp);
      } else if ((type == 1 || type == 5) && !pic.found) {
        // The first slice speaks for the picture.
        pic = ParseSlice(rbsp, type, refIdc);
      }
    }
    i = end;
  }
  return pic;
}

std::optional<AacConfigInfo> ParseAudioSpecificConfig(std::span<const uint8_t> asc) {
  static constexpr int kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                     22050, 16000, 12000, 11025, 8000,  7350};
  BitReader bits(asc);
  AacConfigInfo info;
  std::optional<uint32_t> type = bits.Read(5);
  if (!type) return std::nullopt;
  info.objectType = int(*type);
  if (info.objectType == 31) {
    std::optional<uint32_t> ext = bits.Read(6);
    if (!ext) return std::nullopt;
    info.objectType = 32 + int(*ext);
  }
  std::optional<uint32_t> index = bits.Read(4);
  if (!index) return std::nullopt;
  if (*index == 15) {
    std::optional<uint32_t> rate = bits.Read(24);
    if (!rate || *rate == 0) return std::nullopt;
    info.sampleRate = int(*rate);
  } else if (*index < 13) {
    info.sampleRate = kRates[*index];
  } else {
    return std::nullopt;
  }
  std::optional<uint32_t> channels = bits.Read(4);
  if (!channels) return std::nullopt;
  // Configurations 1-6 are that many channels, 7 is 7.1 (eight).
  info.channels = *channels == 7 ? 8 : *channels < 7 ? int(*channels) : 0;
  return info;
}

std::optional<AlacConfig> ParseAlacCookie(std::span<const uint8_t> setup) {
  constexpr size_t kCookieBytes = 24;
  auto be32 = [](const uint8_t *p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
  };
  auto isAtom = [&](std::span<const uint8_t> s, const char *type) {
    return s.size() >= 8 && std::memcmp(s.data() + 4, type, 4) == 0 && be32(s.data()) >= 8 &&
           be32(s.data()) <= s.size();
  };
  // A 'frma' atom in front (its size says where the next atom starts).
  if (isAtom(setup, "frma")) setup = setup.subspan(be32(setup.data()));
  // The 'alac' atom: its header and a full box's version and flags.
  if (isAtom(setup, "alac")) {
    const size_t size = be32(setup.data());
    if (size < 12) return std::nullopt;
    setup = setup.subspan(12, size - 12);
  }
  if (setup.size() < kCookieBytes) return std::nullopt;
  const uint8_t *c = setup.data();
  AlacConfig config;
  config.cookie.assign(c, c + kCookieBytes);
  config.frameLength = int(std::min<uint32_t>(be32(c), INT32_MAX));
  config.bitDepth = c[5];
  config.channels = c[9];
  config.sampleRate = int(std::min<uint32_t>(be32(c + 20), INT32_MAX));
  const bool depthOk = config.bitDepth == 16 || config.bitDepth == 20 || config.bitDepth == 24 || config.bitDepth == 32;
  if (config.frameLength == 0 || !depthOk || config.channels < 1 || config.channels > 8 || config.sampleRate == 0) {
    return std::nullopt;
  }
  return config;
}

bool Mpeg4PicturesInDecodeOrder(std::span<const uint8_t> config) {
  for (size_t i = 0; i + 4 < config.size(); ++i) {
    if (config[i] == 0 && config[i + 1] == 0 && config[i + 2] == 1 && config[i + 3] == 0xB0) {
      return config[i + 4] >= 0x01 && config[i + 4] <= 0x08;
    }
  }
  return false;
}

uint32_t AacChannelMask(int channels) {
  static constexpr uint32_t kMasks[9] = {0, 0x4, 0x3, 0x7, 0x107, 0x37, 0x3F, 0, 0x63F};
  return channels >= 0 && channels <= 8 ? kMasks[channels] : 0;
}

std::vector<uint8_t> AacUserData(std::span<const uint8_t> asc) {
  // wPayloadType = 0 (raw), wAudioProfileLevelIndication = 0xFE, wStructType
  // = 0, wReserved1 = 0, dwReserved2 = 0; little-endian.
  constexpr size_t kHeader = 12;
  std::vector<uint8_t> out(kHeader + asc.size(), 0);
  out[2] = 0xFE;
  if (!asc.empty()) std::memcpy(out.data() + kHeader, asc.data(), asc.size());
  return out;
}

bool AvcHighProfile(uint32_t profile) {
  switch (profile) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
      return true;
    default:
      return false;
  }
}

std::optional<MpegAudioFrame> ParseMpegAudioHeader(std::span<const uint8_t> header) {
  if (header.size() < 4 || header[0] != 0xFF || (header[1] & 0xE0) != 0xE0) return std::nullopt;
  const int version = (header[1] >> 3) & 3;      // 0: 2.5, 1: reserved, 2: MPEG-2, 3: MPEG-1
  const int layer = 4 - ((header[1] >> 1) & 3);  // 4: reserved
  const int bitrateIndex = header[2] >> 4, rateIndex = (header[2] >> 2) & 3, padding = (header[2] >> 1) & 1;
  if (version == 1 || layer == 4 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return std::nullopt;
  static constexpr int kRates[3] = {44100, 48000, 32000};
  static constexpr int kBitrates[5][15] = {
      {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer I
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer II
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer III
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2 and 2.5 layer I
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2 and 2.5 layers II, III
  };
  const bool mpeg1 = version == 3;
  const int rate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  const int kbps = kBitrates[mpeg1 ? layer - 1 : layer == 1 ? 3 : 4][bitrateIndex];
  MpegAudioFrame frame;
  frame.sampleRate = rate;
  if (layer == 1) {
    frame.samples = 384;
    frame.bytes = (12 * 1000 * kbps / rate + padding) * 4;
  } else {
    frame.samples = layer == 3 && !mpeg1 ? 576 : 1152;
    frame.bytes = frame.samples / 8 * 1000 * kbps / rate + padding;
  }
  return frame;
}

size_t MpegAudioWholeUnits(std::span<const uint8_t> data, int unit) {
  if (unit <= 0) return data.size();
  size_t pos = 0, handOver = 0;
  int64_t samples = 0;
  while (pos < data.size()) {
    std::optional<MpegAudioFrame> frame = ParseMpegAudioHeader(data.subspan(pos));
    if (!frame) {
      // Fewer than four bytes left may be the start of the next frame.
      if (data.size() - pos < 4 && pos > 0) break;
      return data.size();
    }
    if (size_t(frame->bytes) > data.size() - pos) break;
    pos += size_t(frame->bytes);
    samples += frame->samples;
    if (samples % unit == 0) handOver = pos;
  }
  return handOver;
}

bool PadMpegAudioToUnits(std::vector<uint8_t> *data, int unit) {
  if (unit <= 0 || data->empty()) return false;
  size_t pos = 0, last = 0;
  int64_t samples = 0;
  MpegAudioFrame frame;
  while (pos < data->size()) {
    std::optional<MpegAudioFrame> next = ParseMpegAudioHeader(std::span<const uint8_t>(*data).subspan(pos));
    if (!next || size_t(next->bytes) > data->size() - pos) return false;
    frame = *next;
    last = pos;
    pos += size_t(frame.bytes);
    samples += frame.samples;
  }
  if (frame.samples == 384) return false;  // layer I: its zeros are no silent frame
  uint8_t header[4] = {(*data)[last], uint8_t((*data)[last + 1] | 1), uint8_t((*data)[last + 2] & ~2),
                       (*data)[last + 3]};
  const std::optional<MpegAudioFrame> silent = ParseMpegAudioHeader(header);
  if (!silent) return false;
  while (samples % unit != 0) {
    data->insert(data->end(), header, header + 4);
    data->insert(data->end(), size_t(silent->bytes - 4), 0);
    samples += silent->samples;
  }
  return true;
}

}  // namespace tp::qt
