#include "sound/AudioDecode.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>

#include "container/MovieModel.h"
#include "codecs/SystemCodecSetup.h"
#include "codecs/VideoCodecs.h"

namespace tp::qt {
namespace {

constexpr int kMaxChannels = 8;
constexpr int kMaxRate = 768000;

struct PcmEntry {
  uint32_t format;
  int bits;
  const char *bigEndian;
  const char *littleEndian;
};

// Uncompressed formats: big-endian unless the 'enda' extension says
// otherwise ('sowt' is little-endian by name).
constexpr PcmEntry kPcm[] = {
    {FourCC("twos"), 8, "pcm_s8", "pcm_s8"},        {FourCC("twos"), 16, "pcm_s16be", "pcm_s16le"},
    {FourCC("twos"), 24, "pcm_s24be", "pcm_s24le"}, {FourCC("twos"), 32, "pcm_s32be", "pcm_s32le"},
    {FourCC("sowt"), 8, "pcm_s8", "pcm_s8"},        {FourCC("sowt"), 16, "pcm_s16le", "pcm_s16le"},
    {FourCC("sowt"), 24, "pcm_s24le", "pcm_s24le"}, {FourCC("sowt"), 32, "pcm_s32le", "pcm_s32le"},
    {FourCC("raw "), 8, "pcm_u8", "pcm_u8"},        {FourCC("raw "), 16, "pcm_s16be", "pcm_s16le"},
    {FourCC("in24"), 0, "pcm_s24be", "pcm_s24le"},  {FourCC("in32"), 0, "pcm_s32be", "pcm_s32le"},
    {FourCC("fl32"), 0, "pcm_f32be", "pcm_f32le"},  {FourCC("fl64"), 0, "pcm_f64be", "pcm_f64le"},
};

// Linear PCM of a version 2 description, by its flags: float (1), big-endian
// (2), signed integer (4); 'packed' and the others do not change the bytes of
// packed samples.
struct LpcmEntry {
  bool isFloat;
  bool isSigned;
  int bits;
  const char *bigEndian;
  const char *littleEndian;
};
constexpr LpcmEntry kLpcm[] = {
    {false, true, 8, "pcm_s8", "pcm_s8"},        {false, false, 8, "pcm_u8", "pcm_u8"},
    {false, true, 16, "pcm_s16be", "pcm_s16le"}, {false, false, 16, "pcm_u16be", "pcm_u16le"},
    {false, true, 24, "pcm_s24be", "pcm_s24le"}, {false, false, 24, "pcm_u24be", "pcm_u24le"},
    {false, true, 32, "pcm_s32be", "pcm_s32le"}, {false, false, 32, "pcm_u32be", "pcm_u32le"},
    {true, true, 32, "pcm_f32be", "pcm_f32le"},  {true, true, 64, "pcm_f64be", "pcm_f64le"},
};
constexpr uint32_t kLpcmFloat = 1u << 0;
constexpr uint32_t kLpcmBigEndian = 1u << 1;
constexpr uint32_t kLpcmSigned = 1u << 2;

const char *LpcmCodec(uint32_t flags, int bits) {
  const bool isFloat = (flags & kLpcmFloat) != 0;
  // Float samples are signed whatever the flag says.
  const bool isSigned = isFloat || (flags & kLpcmSigned) != 0;
  for (const LpcmEntry &e : kLpcm) {
    if (e.isFloat == isFloat && e.isSigned == isSigned && e.bits == bits) {
      return (flags & kLpcmBigEndian) ? e.bigEndian : e.littleEndian;
    }
  }
  return "";
}

std::optional<std::span<const uint8_t>> Find(std::span<const uint8_t> atoms, const char (&type)[5]) {
  if (auto a = FindAtom(atoms, FourCC(type))) return a;
  if (auto wave = FindAtom(atoms, FourCC("wave"))) return FindAtom(*wave, FourCC(type));
  return std::nullopt;
}

uint32_t Be32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// The Opus identification header the decoder takes, from an ISO 'dOps'
// payload (version 0; big-endian fields): the same numbers in little-endian
// order behind the "OpusHead" magic. Empty when the payload is malformed or
// its channel mapping does not fit its channel count.
std::vector<uint8_t> OpusHeadFromDops(std::span<const uint8_t> dops) {
  if (dops.size() < 11 || dops[0] != 0) return {};
  const uint8_t channels = dops[1];
  const uint8_t family = dops[10];
  if (channels == 0) return {};
  size_t mappingBytes = 0;
  if (family != 0) {
    mappingBytes = 2 + size_t(channels);  // stream count, coupled count, one entry per channel
    if (dops.size() < 11 + mappingBytes) return {};
  } else if (channels > 2) {
    return {};
  }
  std::vector<uint8_t> head = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, channels};
  head.push_back(dops[3]);  // pre-skip
  head.push_back(dops[2]);
  for (int i = 7; i >= 4; --i) head.push_back(dops[size_t(i)]);  // input sample rate
  head.push_back(dops[9]);                                       // output gain
  head.push_back(dops[8]);
  head.push_back(family);
  head.insert(head.end(), dops.begin() + 11, dops.begin() + 11 + std::ptrdiff_t(mappingBytes));
  return head;
}

// The FLAC STREAMINFO block (34 bytes) that opens the metadata of an ISO
// 'dfLa' payload (version and flags first); empty when it is not there.
std::vector<uint8_t> FlacStreamInfoFromDfla(std::span<const uint8_t> dfla) {
  constexpr size_t kStreamInfoBytes = 34;
  if (dfla.size() < 4 + 4 + kStreamInfoBytes || dfla[0] != 0) return {};
  const uint8_t blockType = dfla[4] & 0x7F;
  const uint32_t length = (uint32_t(dfla[5]) << 16) | (uint32_t(dfla[6]) << 8) | dfla[7];
  if (blockType != 0 || length != kStreamInfoBytes) return {};
  return std::vector<uint8_t>(dfla.begin() + 8, dfla.begin() + 8 + std::ptrdiff_t(kStreamInfoBytes));
}

}  // namespace

int PcmCodecBits(std::string_view codec) {
  struct Entry {
    std::string_view name;
    int bits;
  };
  static constexpr Entry kBits[] = {
      {"pcm_s8", 8},     {"pcm_u8", 8},     {"pcm_s16be", 16}, {"pcm_s16le", 16}, {"pcm_u16be", 16},
      {"pcm_u16le", 16}, {"pcm_s24be", 24}, {"pcm_s24le", 24}, {"pcm_u24be", 24}, {"pcm_u24le", 24},
      {"pcm_s32be", 32}, {"pcm_s32le", 32}, {"pcm_u32be", 32}, {"pcm_u32le", 32}, {"pcm_f32be", 32},
      {"pcm_f32le", 32}, {"pcm_f64be", 64}, {"pcm_f64le", 64}, {"pcm_mulaw", 8},  {"pcm_alaw", 8},
  };
  for (const Entry &e : kBits)
    if (e.name == codec) return e.bits;
  return 0;
}

bool IsSpeechCodecFormat(uint32_t format) {
  return format == FourCC("samr") || format == FourCC("sawb") || format == FourCC("sevc") || format == FourCC("sqcp") ||
         format == FourCC("ssmv");
}

namespace {

// The rate an AAC ('mp4a' with an AudioSpecificConfig) or ALAC description's
// decoder configuration names; nullopt for other formats or without one.
std::optional<int> RateFromDecoderConfig(uint32_t format, std::span<const uint8_t> atoms) {
  if (format == FourCC("mp4a")) {
    auto esds = Find(atoms, "esds");
    std::optional<EsdsConfig> config = esds ? ParseEsds(*esds) : std::nullopt;
    if (!config || config->objectType == 0x69 || config->objectType == 0x6B) return std::nullopt;
    std::optional<AacConfigInfo> aac = ParseAudioSpecificConfig(config->decoderSpecificInfo);
    if (!aac) return std::nullopt;
    return aac->sampleRate;
  }
  if (format == FourCC("alac")) {
    auto alac = Find(atoms, "alac");
    if (!alac || alac->size() >= 1024) return std::nullopt;
    const uint32_t size = uint32_t(alac->size() + 8);
    std::vector<uint8_t> atom = {
        uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size), 'a', 'l', 'a', 'c'};
    atom.insert(atom.end(), alac->begin(), alac->end());
    std::optional<AlacConfig> config = ParseAlacCookie(atom);
    if (!config) return std::nullopt;
    return config->sampleRate;
  }
  return std::nullopt;
}

}  // namespace

OSErr MakeAudioCodecSetup(uint32_t format, int channels, int bitsPerSample, double sampleRate,
                          std::span<const uint8_t> atoms, std::span<const uint8_t> lavcName, AudioCodecSetup *out,
                          uint32_t pcmFlags) {
  if (!out) return paramErr;
  *out = AudioCodecSetup{};
  // FLAC's STREAMINFO is the authority on the stream: an MP4 description
  // cannot hold a rate from 65,536 Hz on, and writers put 0 there.
  if (format == FourCC("fLaC")) {
    if (auto dfla = Find(atoms, "dfLa")) {
      const std::vector<uint8_t> info = FlacStreamInfoFromDfla(*dfla);
      if (!info.empty()) {
        const int rate = (int(info[10]) << 12) | (int(info[11]) << 4) | (info[12] >> 4);
        if (rate > 0) sampleRate = rate;
        channels = ((info[12] >> 1) & 0x07) + 1;
        bitsPerSample = (((info[12] & 0x01) << 4) | (info[13] >> 4)) + 1;
      }
    }
  }
  // So are AAC's AudioSpecificConfig and ALAC's cookie, where the
  // description holds no rate (96 kHz in an MP4 file).
  if (!(sampleRate >= 1)) {
    if (std::optional<int> rate = RateFromDecoderConfig(format, atoms)) sampleRate = *rate;
  }
  if (channels < 1 || channels > kMaxChannels || bitsPerSample < 0 || bitsPerSample > 64 || !(sampleRate >= 1) ||
      sampleRate > kMaxRate)
    return paramErr;
  AudioCodecSetup s;
  // A QuickTime-style 'wave' names the real format in 'frma'.
  if (auto frma = Find(atoms, "frma"); frma && frma->size() >= 4) {
    uint32_t inner = Be32(frma->data());
    if (inner != 0) format = inner;
  }
  s.format = format;
  s.channels = channels;
  s.sampleRate = int(sampleRate);
  s.bitsPerSample = bitsPerSample;
  bool littleEndian = false;
  if (auto enda = Find(atoms, "enda"); enda && !enda->empty()) littleEndian = (*enda)[enda->size() - 1] != 0;

  for (const PcmEntry &e : kPcm) {
    if (e.format == format && (e.bits == 0 || e.bits == bitsPerSample)) {
      s.codec = littleEndian ? e.littleEndian : e.bigEndian;
      break;
    }
  }
  if (format == FourCC("lpcm")) s.codec = LpcmCodec(pcmFlags, bitsPerSample);
  if (const int bits = PcmCodecBits(s.codec); bits > 0 && s.codec != "pcm_mulaw" && s.codec != "pcm_alaw") {
    s.bitsPerSample = bits;
    s.blockAlign = s.bitsPerSample / 8 * channels;
    s.framesPerPacket = 1;
    s.maxPacketBytes = s.blockAlign;
  } else if (format == FourCC("ulaw") || format == FourCC("alaw")) {
    s.codec = format == FourCC("ulaw") ? "pcm_mulaw" : "pcm_alaw";
    s.bitsPerSample = 8;
    s.blockAlign = channels;
    s.framesPerPacket = 1;
    s.maxPacketBytes = channels;
  } else if (format == FourCC("ima4")) {
    s.codec = "adpcm_ima_qt";
    s.bitsPerSample = 4;
    s.blockAlign = 34 * channels;
    s.framesPerPacket = 64;
    s.maxPacketBytes = s.blockAlign;
  } else if (format == FourCC("mp4a")) {
    s.codec = "aac";
    s.maxPacketBytes = 768 * channels;
    s.prerollPackets = 2;
    if (auto esds = Find(atoms, "esds")) {
      if (std::optional<EsdsConfig> config = ParseEsds(*esds)) {
        if (config->objectType == 0x69 || config->objectType == 0x6B) {
          s.codec = "mp3";
          s.maxPacketBytes = 2881;
          s.prerollPackets = 4;
          s.splitByParser = true;
        } else {
          s.extradata = std::move(config->decoderSpecificInfo);
        }
      }
    }
  } else if (format == FourCC(".mp3") || format == 0x6D730055u /* 'ms' 0x0055 */) {
    s.codec = "mp3";
    s.maxPacketBytes = 2881;
    s.prerollPackets = 4;
    s.splitByParser = true;
  } else if (format == FourCC("alac")) {
    s.codec = "alac";
    // The decoder wants the whole 'alac' atom, header included.
    if (auto alac = Find(atoms, "alac"); alac && alac->size() >= 28 && alac->size() < 1024) {
      uint32_t size = uint32_t(alac->size() + 8);
      s.extradata = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size), 'a', 'l', 'a', 'c'};
      s.extradata.insert(s.extradata.end(), alac->begin(), alac->end());
    }
  } else if (format == FourCC("samr")) {
    s.codec = "amr_nb";
    s.channels = 1;
    s.sampleRate = 8000;
    s.framesPerPacket = 160;
    s.maxPacketBytes = 32;
    s.splitByParser = true;
  } else if (format == FourCC("sawb")) {
    s.codec = "amr_wb";
    s.channels = 1;
    s.sampleRate = 16000;
    s.framesPerPacket = 320;
    s.maxPacketBytes = 61;
    s.splitByParser = true;
  } else if (format == FourCC("sqcp")) {
    s.codec = "qcelp";
    s.channels = 1;
    s.sampleRate = 8000;
  } else if (format == FourCC("sevc")) {
    s.codec = "evrc";
    s.channels = 1;
    s.sampleRate = 8000;
  } else if (format == FourCC("Opus")) {
    // Always decoded at 48 kHz, whatever rate the description carries.
    s.codec = "opus";
    s.sampleRate = 48000;
    s.maxPacketBytes = 1275 * 3 * channels;
    s.prerollPackets = 4;  // 80 ms at the usual 20 ms a packet
    if (auto dops = Find(atoms, "dOps")) {
      s.extradata = OpusHeadFromDops(*dops);
      if (s.extradata.empty() || s.extradata[9] > kMaxChannels) return paramErr;
      s.channels = s.extradata[9];
    }
  } else if (format == FourCC("fLaC")) {
    s.codec = "flac";
    if (auto dfla = Find(atoms, "dfLa")) {
      s.extradata = FlacStreamInfoFromDfla(*dfla);
      if (s.extradata.empty()) return paramErr;
    }
  } else if (format == FourCC("ac-3")) {
    s.codec = "ac3";
    s.splitByParser = true;
  } else if (format == FourCC("ec-3")) {
    s.codec = "eac3";
    s.splitByParser = true;
  }
  if (s.codec == "" && !lavcName.empty() && lavcName.size() < 64) {
    s.decoderName.assign(lavcName.begin(), lavcName.end());
    s.decoderName.erase(std::find(s.decoderName.begin(), s.decoderName.end(), '\0'), s.decoderName.end());
  }
  if (s.codec == "" && s.decoderName.empty()) return noCodecErr;
  if (s.extradata.empty()) {
    if (auto glbl = Find(atoms, "glbl"); glbl && glbl->size() < (1u << 20))
      s.extradata.assign(glbl->begin(), glbl->end());
  }
  *out = std::move(s);
  return noErr;
}

// --- PcmConverter ---

int BytesPerSample(SampleType t) {
  switch (t) {
    case SampleType::kU8:
      return 1;
    case SampleType::kS16:
      return 2;
    case SampleType::kS32:
    case SampleType::kF32:
      return 4;
    case SampleType::kF64:
      return 8;
    case SampleType::kNone:
      break;
  }
  return 0;
}

OSErr PcmConverter::SetOutput(SampleType type, bool planar, int channels, int rate) {
  if (type == SampleType::kNone || channels < 1 || channels > kMaxChannels || rate < 1 || rate > kMaxRate)
    return paramErr;
  out_ = PcmStreamFormat{type, planar, channels, rate, 0};
  resampler_.reset();
  in_ = PcmStreamFormat{};
  held_.assign(size_t(planes()), {});
  readOffset_ = 0;
  return noErr;
}

int PcmConverter::planes() const { return out_.planar ? out_.channels : 1; }

size_t PcmConverter::BytesPerFrame() const {
  return size_t(BytesPerSample(out_.type)) * (out_.planar ? 1 : size_t(out_.channels));
}

size_t PcmConverter::FramesHeld() const {
  const size_t bpf = BytesPerFrame();
  return held_.empty() || bpf == 0 ? 0 : (held_[0].size() - readOffset_) / bpf;
}

OSErr PcmConverter::Append(const uint8_t *const *data, int frames) {
  if (frames <= 0) return noErr;
  const size_t bytes = size_t(frames) * BytesPerFrame();
  for (int p = 0; p < planes(); ++p) {
    std::vector<uint8_t> &v = held_[size_t(p)];
    if (readOffset_ > 0 && readOffset_ >= v.size() / 2) {
      v.erase(v.begin(), v.begin() + std::ptrdiff_t(readOffset_));
      if (p == planes() - 1) readOffset_ = 0;
    }
    v.insert(v.end(), data[p], data[p] + bytes);
  }
  return noErr;
}

OSErr PcmConverter::Run(const uint8_t *const *in, int inFrames) {
  const int maxOut = resampler_->MaxOutput(inFrames);
  if (!in && maxOut <= 0) return noErr;  // nothing held back
  if (maxOut < 0) return codecErr;
  const int room = in ? maxOut + 1 : maxOut;
  std::vector<std::vector<uint8_t>> tmp(size_t(planes()), std::vector<uint8_t>(size_t(room) * BytesPerFrame()));
  scratch_.resize(tmp.size());
  for (size_t p = 0; p < tmp.size(); ++p) scratch_[p] = tmp[p].data();
  const int got = resampler_->Convert(scratch_.data(), room, in, inFrames);
  if (got < 0) return codecErr;
  return Append(scratch_.data(), got);
}

OSErr PcmConverter::Push(const PcmFrames &f, int skip) {
  if (out_.type == SampleType::kNone || !f.data) return paramErr;
  if (f.frames <= skip) return noErr;
  const PcmStreamFormat &in = f.format;
  if (in.channels < 1 || in.channels > 64 || in.rate < 1 || BytesPerSample(in.type) == 0) return codecErr;
  if (!resampler_ || !(in == in_)) {
    // A change of input format mid-stream: keep what the old one holds back.
    if (resampler_) Drain();
    resampler_.reset();
    in_ = PcmStreamFormat{};
    if (CreatePcmResampler(in, out_, &resampler_) != noErr || !resampler_) {
      resampler_.reset();
      return codecErr;
    }
    in_ = in;
  }
  const size_t step = size_t(BytesPerSample(in.type)) * (in.planar ? 1 : size_t(in.channels));
  const uint8_t *planes[64];
  for (int p = 0; p < (in.planar ? in.channels : 1); ++p) planes[p] = f.data[p] + size_t(skip) * step;
  return Run(planes, f.frames - skip);
}

OSErr PcmConverter::Drain() {
  if (!resampler_) return noErr;
  return Run(nullptr, 0);
}

void PcmConverter::Reset() {
  resampler_.reset();
  in_ = PcmStreamFormat{};
  for (auto &v : held_) v.clear();
  readOffset_ = 0;
}

size_t PcmConverter::Take(uint8_t *const *dst, size_t frames) {
  const size_t n = std::min(frames, FramesHeld());
  if (n == 0) return 0;
  const size_t bytes = n * BytesPerFrame();
  for (int p = 0; p < planes(); ++p) std::memcpy(dst[p], held_[size_t(p)].data() + readOffset_, bytes);
  readOffset_ += bytes;
  if (readOffset_ == held_[0].size()) {
    for (auto &v : held_) v.clear();
    readOffset_ = 0;
  }
  return n;
}

}  // namespace tp::qt
