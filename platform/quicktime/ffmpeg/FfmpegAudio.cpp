// The Linux audio back end: libavcodec decoders (with its parsers for
// self-delimiting formats) and libswresample with its defaults, which is what
// the ffmpeg command line uses.

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

#include "BackEnds.h"
#include "sound/AudioDecode.h"
#include "sound/AudioDecoder.h"
#include "codecs/Ima4Decoder.h"

namespace tp::qt {
namespace {

struct CodecDeleter {
  void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};

// Our sample types as libavutil's, and back.
AVSampleFormat ToAv(SampleType t, bool planar) {
  AVSampleFormat f = AV_SAMPLE_FMT_NONE;
  switch (t) {
    case SampleType::kU8:
      f = AV_SAMPLE_FMT_U8;
      break;
    case SampleType::kS16:
      f = AV_SAMPLE_FMT_S16;
      break;
    case SampleType::kS32:
      f = AV_SAMPLE_FMT_S32;
      break;
    case SampleType::kF32:
      f = AV_SAMPLE_FMT_FLT;
      break;
    case SampleType::kF64:
      f = AV_SAMPLE_FMT_DBL;
      break;
    case SampleType::kNone:
      return f;
  }
  return planar ? av_get_planar_sample_fmt(f) : f;
}

SampleType FromAv(AVSampleFormat f) {
  switch (av_get_packed_sample_fmt(f)) {
    case AV_SAMPLE_FMT_U8:
      return SampleType::kU8;
    case AV_SAMPLE_FMT_S16:
      return SampleType::kS16;
    case AV_SAMPLE_FMT_S32:
      return SampleType::kS32;
    case AV_SAMPLE_FMT_FLT:
      return SampleType::kF32;
    case AV_SAMPLE_FMT_DBL:
      return SampleType::kF64;
    default:
      return SampleType::kNone;
  }
}

// libavutil's native channel order uses the WAVE speaker bits for the first
// eighteen channels, so a native mask is a WAVE mask.
void LayoutOf(const PcmStreamFormat &f, AVChannelLayout *layout) {
  if (f.channelMask != 0 && av_channel_layout_from_mask(layout, f.channelMask) == 0 &&
      layout->nb_channels == f.channels)
    return;
  av_channel_layout_uninit(layout);
  av_channel_layout_default(layout, f.channels);
}

class FfmpegAudioDecoder final : public AudioDecoder {
 public:
  ~FfmpegAudioDecoder() override;
  OSErr Open(const AudioCodecSetup &setup);
  OSErr Decode(std::span<const uint8_t> data, const FrameSink &sink) override;
  OSErr DecodePacket(std::span<const uint8_t> packet, const FrameSink &sink) override;
  OSErr Drain(const FrameSink &sink) override;
  void Flush() override;

 private:
  OSErr ReceiveAll(const FrameSink &sink);
  static OSErr Hand(const AVFrame *frame, const FrameSink &sink);

  AudioCodecSetup setup_;
  AVCodecContext *ctx_ = nullptr;
  AVCodecParserContext *parser_ = nullptr;
  AVPacket *packet_ = nullptr;
  AVFrame *frame_ = nullptr;
};

OSErr FfmpegAudioDecoder::Hand(const AVFrame *frame, const FrameSink &sink) {
  PcmFrames f;
  f.format.type = FromAv(AVSampleFormat(frame->format));
  if (f.format.type == SampleType::kNone) return noErr;  // no decoder here makes other types
  f.format.planar = av_sample_fmt_is_planar(AVSampleFormat(frame->format)) != 0;
  f.format.channels = frame->ch_layout.nb_channels;
  f.format.rate = frame->sample_rate;
  f.format.channelMask = frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? frame->ch_layout.u.mask : 0;
  f.frames = frame->nb_samples;
  f.data = frame->extended_data;
  return sink(f);
}

FfmpegAudioDecoder::~FfmpegAudioDecoder() {
  if (parser_) av_parser_close(parser_);
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  avcodec_free_context(&ctx_);
}

OSErr FfmpegAudioDecoder::Open(const AudioCodecSetup &setup) {
  if (ctx_) return paramErr;
  // Damaged sound is expected input: its errors are results, not console output.
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
  const AVCodec *codec = nullptr;
  if (!setup.codec.empty()) {
    if (const AVCodecDescriptor *d = avcodec_descriptor_get_by_name(setup.codec.c_str()))
      codec = avcodec_find_decoder(d->id);
  } else {
    codec = avcodec_find_decoder_by_name(setup.decoderName.c_str());
  }
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

OSErr FfmpegAudioDecoder::ReceiveAll(const FrameSink &sink) {
  for (;;) {
    int r = avcodec_receive_frame(ctx_, frame_);
    if (r < 0) return noErr;  // needs more input, drained, or a corrupt frame skipped
    OSErr e = frame_->nb_samples > 0 ? Hand(frame_, sink) : OSErr(noErr);
    av_frame_unref(frame_);
    if (e != noErr) return e;
  }
}

OSErr FfmpegAudioDecoder::DecodePacket(std::span<const uint8_t> packet, const FrameSink &sink) {
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

OSErr FfmpegAudioDecoder::Decode(std::span<const uint8_t> data, const FrameSink &sink) {
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

OSErr FfmpegAudioDecoder::Drain(const FrameSink &sink) {
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

void FfmpegAudioDecoder::Flush() {
  if (!ctx_) return;
  avcodec_flush_buffers(ctx_);
  if (parser_) {
    av_parser_close(parser_);
    parser_ = av_parser_init(ctx_->codec_id);
  }
}

class SwrResampler final : public PcmResampler {
 public:
  ~SwrResampler() override { swr_free(&swr_); }
  OSErr Open(const PcmStreamFormat &in, const PcmStreamFormat &out) {
    AVChannelLayout inLayout{}, outLayout{};
    LayoutOf(in, &inLayout);
    LayoutOf(out, &outLayout);
    int r = swr_alloc_set_opts2(&swr_, &outLayout, ToAv(out.type, out.planar), out.rate, &inLayout,
                                ToAv(in.type, in.planar), in.rate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (r < 0 || swr_init(swr_) < 0) return codecErr;
    return noErr;
  }
  int MaxOutput(int inFrames) override { return swr_get_out_samples(swr_, inFrames); }
  int Convert(uint8_t *const *out, int capacity, const uint8_t *const *in, int inFrames) override {
    const int got =
        swr_convert(swr_, const_cast<uint8_t **>(out), capacity, const_cast<const uint8_t **>(in), inFrames);
    return got < 0 ? -1 : got;
  }

 private:
  SwrContext *swr_ = nullptr;
};

}  // namespace

OSErr FfmpegCreateAudioDecoder(const AudioCodecSetup &setup, std::unique_ptr<AudioDecoder> *out) {
  out->reset();
  // The runtime's own 'ima4' decodes the same way on every system.
  if (IsBuiltInIma4(setup.codec)) return CreateIma4Decoder(setup, out);
  std::unique_ptr<FfmpegAudioDecoder> d(new (std::nothrow) FfmpegAudioDecoder);
  if (!d) return memFullErr;
  if (OSErr e = d->Open(setup); e != noErr) return e;
  *out = std::move(d);
  return noErr;
}

OSErr FfmpegCreatePcmResampler(const PcmStreamFormat &in, const PcmStreamFormat &out,
                               std::unique_ptr<PcmResampler> *result) {
  result->reset();
  std::unique_ptr<SwrResampler> r(new (std::nothrow) SwrResampler);
  if (!r) return memFullErr;
  if (OSErr e = r->Open(in, out); e != noErr) return e;
  *result = std::move(r);
  return noErr;
}

}  // namespace tp::qt
