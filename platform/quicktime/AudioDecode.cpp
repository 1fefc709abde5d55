#include "AudioDecode.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

#include "MovieModel.h"
#include "VideoCodecs.h"

namespace tp::qt {
namespace {

constexpr int kMaxChannels = 8;
constexpr int kMaxRate = 768000;

struct PcmEntry {
  uint32_t format;
  int bits;
  AVCodecID bigEndian;
  AVCodecID littleEndian;
};

// Uncompressed formats: big-endian unless the 'enda' extension says
// otherwise ('sowt' is little-endian by name).
constexpr PcmEntry kPcm[] = {
    {FourCC("twos"), 8, AV_CODEC_ID_PCM_S8, AV_CODEC_ID_PCM_S8},
    {FourCC("twos"), 16, AV_CODEC_ID_PCM_S16BE, AV_CODEC_ID_PCM_S16LE},
    {FourCC("twos"), 24, AV_CODEC_ID_PCM_S24BE, AV_CODEC_ID_PCM_S24LE},
    {FourCC("twos"), 32, AV_CODEC_ID_PCM_S32BE, AV_CODEC_ID_PCM_S32LE},
    {FourCC("sowt"), 8, AV_CODEC_ID_PCM_S8, AV_CODEC_ID_PCM_S8},
    {FourCC("sowt"), 16, AV_CODEC_ID_PCM_S16LE, AV_CODEC_ID_PCM_S16LE},
    {FourCC("sowt"), 24, AV_CODEC_ID_PCM_S24LE, AV_CODEC_ID_PCM_S24LE},
    {FourCC("sowt"), 32, AV_CODEC_ID_PCM_S32LE, AV_CODEC_ID_PCM_S32LE},
    {FourCC("raw "), 8, AV_CODEC_ID_PCM_U8, AV_CODEC_ID_PCM_U8},
    {FourCC("raw "), 16, AV_CODEC_ID_PCM_S16BE, AV_CODEC_ID_PCM_S16LE},
    {FourCC("in24"), 0, AV_CODEC_ID_PCM_S24BE, AV_CODEC_ID_PCM_S24LE},
    {FourCC("in32"), 0, AV_CODEC_ID_PCM_S32BE, AV_CODEC_ID_PCM_S32LE},
    {FourCC("fl32"), 0, AV_CODEC_ID_PCM_F32BE, AV_CODEC_ID_PCM_F32LE},
    {FourCC("fl64"), 0, AV_CODEC_ID_PCM_F64BE, AV_CODEC_ID_PCM_F64LE},
};

int PcmBits(AVCodecID id) { return av_get_bits_per_sample(id); }

// Linear PCM of a version 2 description, by its flags: float (1), big-endian
// (2), signed integer (4); 'packed' and the others do not change the bytes of
// packed samples.
struct LpcmEntry {
  bool isFloat;
  bool isSigned;
  int bits;
  AVCodecID bigEndian;
  AVCodecID littleEndian;
};
constexpr LpcmEntry kLpcm[] = {
    {false, true, 8, AV_CODEC_ID_PCM_S8, AV_CODEC_ID_PCM_S8},
    {false, false, 8, AV_CODEC_ID_PCM_U8, AV_CODEC_ID_PCM_U8},
    {false, true, 16, AV_CODEC_ID_PCM_S16BE, AV_CODEC_ID_PCM_S16LE},
    {false, false, 16, AV_CODEC_ID_PCM_U16BE, AV_CODEC_ID_PCM_U16LE},
    {false, true, 24, AV_CODEC_ID_PCM_S24BE, AV_CODEC_ID_PCM_S24LE},
    {false, false, 24, AV_CODEC_ID_PCM_U24BE, AV_CODEC_ID_PCM_U24LE},
    {false, true, 32, AV_CODEC_ID_PCM_S32BE, AV_CODEC_ID_PCM_S32LE},
    {false, false, 32, AV_CODEC_ID_PCM_U32BE, AV_CODEC_ID_PCM_U32LE},
    {true, true, 32, AV_CODEC_ID_PCM_F32BE, AV_CODEC_ID_PCM_F32LE},
    {true, true, 64, AV_CODEC_ID_PCM_F64BE, AV_CODEC_ID_PCM_F64LE},
};
constexpr uint32_t kLpcmFloat = 1u << 0;
constexpr uint32_t kLpcmBigEndian = 1u << 1;
constexpr uint32_t kLpcmSigned = 1u << 2;

AVCodecID LpcmCodec(uint32_t flags, int bits) {
  const bool isFloat = (flags & kLpcmFloat) != 0;
  // Float samples are signed whatever the flag says.
  const bool isSigned = isFloat || (flags & kLpcmSigned) != 0;
  for (const LpcmEntry &e : kLpcm) {
    if (e.isFloat == isFloat && e.isSigned == isSigned && e.bits == bits) {
      return (flags & kLpcmBigEndian) ? e.bigEndian : e.littleEndian;
    }
  }
  return AV_CODEC_ID_NONE;
}

std::optional<std::span<const uint8_t>> Find(std::span<const uint8_t> atoms, const char (&type)[5]) {
  if (auto a = FindAtom(atoms, FourCC(type))) return a;
  if (auto wave = FindAtom(atoms, FourCC("wave"))) return FindAtom(*wave, FourCC(type));
  return std::nullopt;
}

uint32_t Be32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

struct CodecDeleter {
  void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};

}  // namespace

bool IsSpeechCodecFormat(uint32_t format) {
  return format == FourCC("samr") || format == FourCC("sawb") || format == FourCC("sevc") || format == FourCC("sqcp") ||
         format == FourCC("ssmv");
}

OSErr MakeAudioCodecSetup(uint32_t format, int channels, int bitsPerSample, double sampleRate,
                          std::span<const uint8_t> atoms, std::span<const uint8_t> lavcName, AudioCodecSetup *out,
                          uint32_t pcmFlags) {
  if (!out) return paramErr;
  *out = AudioCodecSetup{};
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
      s.codecId = littleEndian ? e.littleEndian : e.bigEndian;
      break;
    }
  }
  if (format == FourCC("lpcm")) s.codecId = LpcmCodec(pcmFlags, bitsPerSample);
  if (s.codecId != AV_CODEC_ID_NONE) {
    s.bitsPerSample = PcmBits(s.codecId);
    s.blockAlign = s.bitsPerSample / 8 * channels;
    s.framesPerPacket = 1;
    s.maxPacketBytes = s.blockAlign;
  } else if (format == FourCC("ulaw") || format == FourCC("alaw")) {
    s.codecId = format == FourCC("ulaw") ? AV_CODEC_ID_PCM_MULAW : AV_CODEC_ID_PCM_ALAW;
    s.bitsPerSample = 8;
    s.blockAlign = channels;
    s.framesPerPacket = 1;
    s.maxPacketBytes = channels;
  } else if (format == FourCC("ima4")) {
    s.codecId = AV_CODEC_ID_ADPCM_IMA_QT;
    s.bitsPerSample = 4;
    s.blockAlign = 34 * channels;
    s.framesPerPacket = 64;
    s.maxPacketBytes = s.blockAlign;
  } else if (format == FourCC("mp4a")) {
    s.codecId = AV_CODEC_ID_AAC;
    s.maxPacketBytes = 768 * channels;
    s.prerollPackets = 2;
    if (auto esds = Find(atoms, "esds")) {
      if (std::optional<EsdsConfig> config = ParseEsds(*esds)) {
        if (config->objectType == 0x69 || config->objectType == 0x6B) {
          s.codecId = AV_CODEC_ID_MP3;
          s.maxPacketBytes = 2881;
          s.prerollPackets = 4;
          s.splitByParser = true;
        } else {
          s.extradata = std::move(config->decoderSpecificInfo);
        }
      }
    }
  } else if (format == FourCC(".mp3") || format == 0x6D730055u /* 'ms' 0x0055 */) {
    s.codecId = AV_CODEC_ID_MP3;
    s.maxPacketBytes = 2881;
    s.prerollPackets = 4;
    s.splitByParser = true;
  } else if (format == FourCC("alac")) {
    s.codecId = AV_CODEC_ID_ALAC;
    // The decoder wants the whole 'alac' atom, header included.
    if (auto alac = Find(atoms, "alac"); alac && alac->size() >= 28 && alac->size() < 1024) {
      uint32_t size = uint32_t(alac->size() + 8);
      s.extradata = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size), 'a', 'l', 'a', 'c'};
      s.extradata.insert(s.extradata.end(), alac->begin(), alac->end());
    }
  } else if (format == FourCC("samr")) {
    s.codecId = AV_CODEC_ID_AMR_NB;
    s.channels = 1;
    s.sampleRate = 8000;
    s.framesPerPacket = 160;
    s.maxPacketBytes = 32;
    s.splitByParser = true;
  } else if (format == FourCC("sawb")) {
    s.codecId = AV_CODEC_ID_AMR_WB;
    s.channels = 1;
    s.sampleRate = 16000;
    s.framesPerPacket = 320;
    s.maxPacketBytes = 61;
    s.splitByParser = true;
  } else if (format == FourCC("sqcp")) {
    s.codecId = AV_CODEC_ID_QCELP;
    s.channels = 1;
    s.sampleRate = 8000;
  } else if (format == FourCC("sevc")) {
    s.codecId = AV_CODEC_ID_EVRC;
    s.channels = 1;
    s.sampleRate = 8000;
  } else if (format == FourCC("ac-3")) {
    s.codecId = AV_CODEC_ID_AC3;
    s.splitByParser = true;
  } else if (format == FourCC("ec-3")) {
    s.codecId = AV_CODEC_ID_EAC3;
    s.splitByParser = true;
  }
  if (s.codecId == AV_CODEC_ID_NONE && !lavcName.empty() && lavcName.size() < 64) {
    s.decoderName.assign(lavcName.begin(), lavcName.end());
    s.decoderName.erase(std::find(s.decoderName.begin(), s.decoderName.end(), '\0'), s.decoderName.end());
  }
  if (s.codecId == AV_CODEC_ID_NONE && s.decoderName.empty()) return noCodecErr;
  if (s.extradata.empty()) {
    if (auto glbl = Find(atoms, "glbl"); glbl && glbl->size() < (1u << 20))
      s.extradata.assign(glbl->begin(), glbl->end());
  }
  *out = std::move(s);
  return noErr;
}

// --- AudioDecoder ---

AudioDecoder::AudioDecoder() = default;

AudioDecoder::~AudioDecoder() {
  if (parser_) av_parser_close(parser_);
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  avcodec_free_context(&ctx_);
}

OSErr AudioDecoder::Open(const AudioCodecSetup &setup) {
  if (ctx_) return paramErr;
  // Damaged sound is expected input: its errors are results, not console output.
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
  const AVCodec *codec = setup.codecId != AV_CODEC_ID_NONE ? avcodec_find_decoder(setup.codecId)
                                                           : avcodec_find_decoder_by_name(setup.decoderName.c_str());
  if (!codec || codec->type != AVMEDIA_TYPE_AUDIO) return noCodecErr;
  std::unique_ptr<AVCodecContext, CodecDeleter> ctx(avcodec_alloc_context3(codec));
  packet_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  if (!ctx || !packet_ || !frame_) return memFullErr;
  ctx->sample_rate = setup.sampleRate;
  av_channel_layout_default(&ctx->ch_layout, setup.channels);
  ctx->bits_per_coded_sample = setup.bitsPerSample;
  ctx->block_align = setup.blockAlign;
  ctx->thread_count = 1;
  if (!setup.extradata.empty()) {
    ctx->extradata = static_cast<uint8_t *>(av_mallocz(setup.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!ctx->extradata) return memFullErr;
    std::memcpy(ctx->extradata, setup.extradata.data(), setup.extradata.size());
    ctx->extradata_size = int(setup.extradata.size());
  }
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return codecErr;
  if (setup.splitByParser) parser_ = av_parser_init(codec->id);
  setup_ = setup;
  ctx_ = ctx.release();
  return noErr;
}

OSErr AudioDecoder::ReceiveAll(const FrameSink &sink) {
  for (;;) {
    int r = avcodec_receive_frame(ctx_, frame_);
    if (r < 0) return noErr;  // needs more input, drained, or a corrupt frame skipped
    OSErr e = frame_->nb_samples > 0 ? sink(frame_) : OSErr(noErr);
    av_frame_unref(frame_);
    if (e != noErr) return e;
  }
}

OSErr AudioDecoder::DecodePacket(std::span<const uint8_t> packet, const FrameSink &sink) {
  if (!ctx_) return paramErr;
  if (packet.empty()) return noErr;
  if (packet.size() > size_t(INT32_MAX) - AV_INPUT_BUFFER_PADDING_SIZE) return paramErr;
  av_packet_unref(packet_);
  if (av_new_packet(packet_, int(packet.size())) < 0) return memFullErr;
  std::memcpy(packet_->data, packet.data(), packet.size());
  int r = avcodec_send_packet(ctx_, packet_);
  av_packet_unref(packet_);
  if (r == AVERROR(EAGAIN)) return codecErr;  // never: every frame is received before the next send
  // A packet the decoder refuses is dropped; what came before it still counts.
  return ReceiveAll(sink);
}

OSErr AudioDecoder::Decode(std::span<const uint8_t> data, const FrameSink &sink) {
  if (!ctx_) return paramErr;
  if (!parser_) return DecodePacket(data, sink);
  while (!data.empty()) {
    uint8_t *out = nullptr;
    int outSize = 0;
    const int chunk = int(std::min<size_t>(data.size(), 1 << 20));
    int used = av_parser_parse2(parser_, ctx_, &out, &outSize, data.data(), chunk, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used < 0) return noErr;
    data = data.subspan(size_t(used));
    if (outSize > 0) {
      if (OSErr e = DecodePacket({out, size_t(outSize)}, sink); e != noErr) return e;
    }
    if (used == 0 && outSize == 0) break;
  }
  return noErr;
}

OSErr AudioDecoder::Drain(const FrameSink &sink) {
  if (!ctx_) return paramErr;
  if (parser_) {
    // Whatever the parser still holds is the last packet.
    uint8_t *out = nullptr;
    int outSize = 0;
    av_parser_parse2(parser_, ctx_, &out, &outSize, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (outSize > 0) {
      if (OSErr e = DecodePacket({out, size_t(outSize)}, sink); e != noErr) return e;
    }
  }
  if (avcodec_send_packet(ctx_, nullptr) < 0) return noErr;
  OSErr e = ReceiveAll(sink);
  avcodec_flush_buffers(ctx_);  // ready for more input after a drain
  return e;
}

void AudioDecoder::Flush() {
  if (!ctx_) return;
  avcodec_flush_buffers(ctx_);
  if (parser_) {
    av_parser_close(parser_);
    parser_ = av_parser_init(ctx_->codec_id);
  }
}

// --- PcmConverter ---

PcmConverter::~PcmConverter() { swr_free(&swr_); }

OSErr PcmConverter::SetOutput(AVSampleFormat format, int channels, int rate) {
  if (format <= AV_SAMPLE_FMT_NONE || format >= AV_SAMPLE_FMT_NB || channels < 1 || channels > kMaxChannels ||
      rate < 1 || rate > kMaxRate)
    return paramErr;
  format_ = format;
  channels_ = channels;
  rate_ = rate;
  swr_free(&swr_);
  inFormat_ = -1;
  held_.assign(size_t(planes()), {});
  readOffset_ = 0;
  return noErr;
}

int PcmConverter::planes() const { return av_sample_fmt_is_planar(format_) ? channels_ : 1; }

size_t PcmConverter::BytesPerFrame() const {
  const int bps = av_get_bytes_per_sample(format_);
  return size_t(bps) * (av_sample_fmt_is_planar(format_) ? 1 : size_t(channels_));
}

size_t PcmConverter::FramesHeld() const {
  const size_t bpf = BytesPerFrame();
  return held_.empty() || bpf == 0 ? 0 : (held_[0].size() - readOffset_) / bpf;
}

OSErr PcmConverter::Configure(const AVFrame *frame) {
  AVChannelLayout in{};
  if (frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE) {
    if (av_channel_layout_copy(&in, &frame->ch_layout) < 0) return memFullErr;
  } else {
    av_channel_layout_default(&in, frame->ch_layout.nb_channels);
  }
  AVChannelLayout out{};
  av_channel_layout_default(&out, channels_);
  swr_free(&swr_);
  int r = swr_alloc_set_opts2(&swr_, &out, format_, rate_, &in, AVSampleFormat(frame->format), frame->sample_rate, 0,
                              nullptr);
  inLayoutMask_ = in.order == AV_CHANNEL_ORDER_NATIVE ? in.u.mask : 0;
  av_channel_layout_uninit(&in);
  av_channel_layout_uninit(&out);
  if (r < 0 || swr_init(swr_) < 0) {
    swr_free(&swr_);
    return codecErr;
  }
  inChannels_ = frame->ch_layout.nb_channels;
  inRate_ = frame->sample_rate;
  inFormat_ = frame->format;
  return noErr;
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

OSErr PcmConverter::Push(const AVFrame *frame, int skip) {
  if (format_ == AV_SAMPLE_FMT_NONE || !frame) return paramErr;
  if (frame->nb_samples <= skip) return noErr;
  if (frame->ch_layout.nb_channels < 1 || frame->ch_layout.nb_channels > 64 || frame->sample_rate < 1) return codecErr;
  uint64_t mask = frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? frame->ch_layout.u.mask : 0;
  if (!swr_ || frame->format != inFormat_ || frame->sample_rate != inRate_ ||
      frame->ch_layout.nb_channels != inChannels_ || (mask != 0 && mask != inLayoutMask_)) {
    // A change of input format mid-stream: keep what the old one holds back.
    if (swr_) Drain();
    if (OSErr e = Configure(frame); e != noErr) return e;
  }
  const int inFrames = frame->nb_samples - skip;
  const int bps = av_get_bytes_per_sample(AVSampleFormat(frame->format));
  const bool inPlanar = av_sample_fmt_is_planar(AVSampleFormat(frame->format));
  const uint8_t *in[64];
  for (int p = 0; p < (inPlanar ? inChannels_ : 1); ++p)
    in[p] = frame->extended_data[p] + size_t(skip) * size_t(bps) * (inPlanar ? 1 : size_t(inChannels_));
  const int maxOut = swr_get_out_samples(swr_, inFrames);
  if (maxOut < 0) return codecErr;
  std::vector<std::vector<uint8_t>> tmp(size_t(planes()), std::vector<uint8_t>((size_t(maxOut) + 1) * BytesPerFrame()));
  scratch_.resize(tmp.size());
  for (size_t p = 0; p < tmp.size(); ++p) scratch_[p] = tmp[p].data();
  int got = swr_convert(swr_, scratch_.data(), maxOut + 1, in, inFrames);
  if (got < 0) return codecErr;
  return Append(scratch_.data(), got);
}

OSErr PcmConverter::Drain() {
  if (!swr_) return noErr;
  const int maxOut = swr_get_out_samples(swr_, 0);
  if (maxOut <= 0) return noErr;
  std::vector<std::vector<uint8_t>> tmp(size_t(planes()), std::vector<uint8_t>(size_t(maxOut) * BytesPerFrame()));
  scratch_.resize(tmp.size());
  for (size_t p = 0; p < tmp.size(); ++p) scratch_[p] = tmp[p].data();
  int got = swr_convert(swr_, scratch_.data(), maxOut, nullptr, 0);
  if (got < 0) return codecErr;
  return Append(scratch_.data(), got);
}

void PcmConverter::Reset() {
  swr_free(&swr_);
  inFormat_ = -1;
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
