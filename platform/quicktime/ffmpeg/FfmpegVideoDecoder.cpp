// The Linux video back end: one libavcodec decoder per sequence, pictures
// drawn into the world's layout with libswscale.
//
// Reordering: a decoder holds back a picture that displays after pictures
// still to come (the P frame ahead of its B frames) and hands it out only
// later. The world, though, must show the picture of the sample just
// decoded. So the decoder's frame buffers are allocated through us: the
// buffer that the decoder fills while decoding the sample holds that
// sample's finished picture when decoding returns, whether or not the
// decoder releases it yet. Pictures the decoder does hand out are matched to
// their sample by a tag in the packet's pts and preferred when they match.
// For this, decoding runs on the calling thread (slice threads only; the
// count comes from TP_DECODE_THREADS, default 1).

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "VideoDecoder.h"

namespace tp::qt {
namespace {

constexpr int kMaxDecodeThreads = 16;

int DecodeThreads() {
  const char *v = std::getenv("TP_DECODE_THREADS");
  if (!v) return 1;
  int n = std::atoi(v);
  return std::clamp(n, 1, kMaxDecodeThreads);
}

// libavcodec's tags are little-endian four-character codes.
unsigned int LavcTag(uint32_t qtType) {
  return ((qtType >> 24) & 0xFF) | ((qtType >> 8) & 0xFF00) | ((qtType << 8) & 0xFF0000) | (qtType << 24);
}

void CopyPlane(const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, int rowBytes, int rows) {
  for (int y = 0; y < rows; ++y)
    std::memcpy(dst + int64_t(dstStride) * y, src + int64_t(srcStride) * y, size_t(rowBytes));
}

AVPixelFormat ToAvPixelFormat(PixelLayout layout) {
  switch (layout) {
    case PixelLayout::kARGB:
      return AV_PIX_FMT_ARGB;
    case PixelLayout::kBGRA:
      return AV_PIX_FMT_BGRA;
    case PixelLayout::kRGB24:
      return AV_PIX_FMT_RGB24;
    case PixelLayout::kBGR24:
      return AV_PIX_FMT_BGR24;
    case PixelLayout::kRGB555LE:
      return AV_PIX_FMT_RGB555LE;
    case PixelLayout::kRGB565LE:
      return AV_PIX_FMT_RGB565LE;
    case PixelLayout::kRGB555BE:
      return AV_PIX_FMT_RGB555BE;
    case PixelLayout::kYUYV422:
      return AV_PIX_FMT_YUYV422;
    case PixelLayout::kUYVY422:
      return AV_PIX_FMT_UYVY422;
    case PixelLayout::kYUV420P:
      return AV_PIX_FMT_YUV420P;
    case PixelLayout::kNV12:
      return AV_PIX_FMT_NV12;
    case PixelLayout::kNone:
      break;
  }
  return AV_PIX_FMT_NONE;
}

class FfmpegVideoDecoder final : public VideoDecoder {
 public:
  ~FfmpegVideoDecoder() override {
    sws_freeContext(sws_);
    av_frame_free(&received_);
    av_frame_free(&matched_);
    av_frame_free(&latest_);
    av_frame_free(&captured_);
    av_frame_free(&shown_);
    av_packet_free(&packet_);
    avcodec_free_context(&ctx_);
  }

  OSErr Open(const VideoCodecSetup &setup);
  OSErr Decode(const uint8_t *data, int64_t size, bool *gotPicture) override;
  bool HasPicture() const override { return shown_ && shown_->data[0]; }
  OSErr Draw(const DrawTarget &target, int *width, int *height) override;

 private:
  static int GetBuffer(AVCodecContext *ctx, AVFrame *frame, int flags);

  AVCodecContext *ctx_ = nullptr;
  AVPacket *packet_ = nullptr;
  AVFrame *received_ = nullptr;
  AVFrame *matched_ = nullptr;   // output picture tagged with the current sample
  AVFrame *latest_ = nullptr;    // last output picture of the current call
  AVFrame *captured_ = nullptr;  // last buffer allocated while decoding the current sample
  AVFrame *shown_ = nullptr;     // the current picture
  int shownWidth_ = 0, shownHeight_ = 0;
  SwsContext *sws_ = nullptr;
  int64_t nextTag_ = 0;
  bool capturing_ = false;
  bool captured_this_call_ = false;
};

OSErr FfmpegVideoDecoder::Open(const VideoCodecSetup &setup) {
  const AVCodec *codec = nullptr;
  if (const AVCodecDescriptor *d = setup.codec.empty() ? nullptr : avcodec_descriptor_get_by_name(setup.codec.c_str()))
    codec = avcodec_find_decoder(d->id);
  if (!codec && !setup.decoderName.empty()) codec = avcodec_find_decoder_by_name(setup.decoderName.c_str());
  if (!codec) return noCodecErr;

  ctx_ = avcodec_alloc_context3(codec);
  packet_ = av_packet_alloc();
  received_ = av_frame_alloc();
  matched_ = av_frame_alloc();
  latest_ = av_frame_alloc();
  captured_ = av_frame_alloc();
  shown_ = av_frame_alloc();
  if (!ctx_ || !packet_ || !received_ || !matched_ || !latest_ || !captured_ || !shown_) return memFullErr;
  AVCodecContext *c = ctx_;
  c->width = setup.width;
  c->height = setup.height;
  c->codec_tag = LavcTag(setup.codecType);
  c->bits_per_coded_sample = setup.depth;
  if (!setup.extradata.empty()) {
    if (setup.extradata.size() > size_t(kMaxPictureBytes)) return badImageDescription;
    const size_t n = setup.extradata.size();
    c->extradata = static_cast<uint8_t *>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!c->extradata) return memFullErr;
    std::memcpy(c->extradata, setup.extradata.data(), n);
    c->extradata_size = int(n);
  }
  // Frame threads would finish pictures after the call returns; slices are
  // decoded inside it.
  c->thread_count = DecodeThreads();
  c->thread_type = FF_THREAD_SLICE;
  c->get_buffer2 = &FfmpegVideoDecoder::GetBuffer;
  c->opaque = this;
  if (avcodec_open2(c, codec, nullptr) < 0) return codecErr;
  return noErr;
}

int FfmpegVideoDecoder::GetBuffer(AVCodecContext *ctx, AVFrame *frame, int flags) {
  int r = avcodec_default_get_buffer2(ctx, frame, flags);
  auto *self = static_cast<FfmpegVideoDecoder *>(ctx->opaque);
  if (r >= 0 && self && self->capturing_) {
    av_frame_unref(self->captured_);
    self->captured_this_call_ = av_frame_ref(self->captured_, frame) >= 0;
  }
  return r;
}

OSErr FfmpegVideoDecoder::Decode(const uint8_t *data, int64_t size, bool *gotPicture) {
  *gotPicture = false;
  av_packet_unref(packet_);
  if (av_new_packet(packet_, int(size)) < 0) return memFullErr;
  std::memcpy(packet_->data, data, size_t(size));
  const int64_t tag = nextTag_++;
  packet_->pts = tag;
  packet_->dts = AV_NOPTS_VALUE;

  av_frame_unref(captured_);
  av_frame_unref(matched_);
  av_frame_unref(latest_);
  captured_this_call_ = false;
  capturing_ = true;
  const int sent = avcodec_send_packet(ctx_, packet_);
  bool haveMatch = false, haveAny = false;
  int received = 0;
  while (true) {
    received = avcodec_receive_frame(ctx_, received_);
    if (received < 0) break;
    if (received_->pts == tag) {
      av_frame_unref(matched_);
      av_frame_move_ref(matched_, received_);
      haveMatch = true;
    } else {
      av_frame_unref(latest_);
      av_frame_move_ref(latest_, received_);
      haveAny = true;
    }
  }
  capturing_ = false;
  av_packet_unref(packet_);

  // This sample's picture: the one handed out with its tag, else the buffer
  // it was decoded into, else whatever came out last.
  AVFrame *picture = nullptr;
  int width = 0, height = 0;
  OSErr err = noErr;
  if (sent < 0 && sent != AVERROR(EAGAIN)) {
    err = codecBadDataErr;
  } else if (haveMatch) {
    picture = matched_;
    width = matched_->width;
    height = matched_->height;
  } else if (captured_this_call_) {
    picture = captured_;
    width = std::min(ctx_->width, captured_->width);
    height = std::min(ctx_->height, captured_->height);
  } else if (haveAny) {
    picture = latest_;
    width = latest_->width;
    height = latest_->height;
  } else if (received != AVERROR(EAGAIN) && received != AVERROR_EOF) {
    err = codecBadDataErr;
  }
  if (picture) {
    // Kept so that a later sample without a picture of its own can show it
    // again wherever the pixel map points by then. (A decoder that redraws
    // one buffer in place copies it first while we hold it.)
    av_frame_unref(shown_);
    shownWidth_ = width;
    shownHeight_ = height;
    if (av_frame_ref(shown_, picture) < 0) av_frame_unref(shown_);
    *gotPicture = true;
  }
  // Hand the other buffers back at once so decoders that reuse theirs can.
  av_frame_unref(captured_);
  av_frame_unref(matched_);
  av_frame_unref(latest_);
  return err;
}

OSErr FfmpegVideoDecoder::Draw(const DrawTarget &t, int *width, int *height) {
  *width = *height = 0;
  if (!shown_->data[0] || shownWidth_ <= 0 || shownHeight_ <= 0) return codecErr;
  if (!t.data[0]) return codecErr;
  const int w = std::min(shownWidth_, t.width), h = std::min(shownHeight_, t.height);
  if (w <= 0 || h <= 0) return codecErr;
  const uint8_t *src[4] = {shown_->data[0], shown_->data[1], shown_->data[2], shown_->data[3]};
  const int stride[4] = {shown_->linesize[0], shown_->linesize[1], shown_->linesize[2], shown_->linesize[3]};
  const AVPixelFormat format = AVPixelFormat(shown_->format);
  const AVPixelFormat target = ToAvPixelFormat(t.format);
  if (format == target && format == AV_PIX_FMT_YUV420P) {
    CopyPlane(src[0], stride[0], t.data[0], t.linesize[0], w, h);
    CopyPlane(src[1], stride[1], t.data[1], t.linesize[1], (w + 1) / 2, (h + 1) / 2);
    CopyPlane(src[2], stride[2], t.data[2], t.linesize[2], (w + 1) / 2, (h + 1) / 2);
  } else if (format == target && PackedBytesPerPixel(t.format) > 0 && format != AV_PIX_FMT_YUYV422) {
    CopyPlane(src[0], stride[0], t.data[0], t.linesize[0], w * PackedBytesPerPixel(t.format), h);
  } else {
    sws_ = sws_getCachedContext(sws_, w, h, format, w, h, target, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!sws_) return codecErr;
    uint8_t *dst[4] = {t.data[0], t.data[1], t.data[2], nullptr};
    int dstStride[4] = {t.linesize[0], t.linesize[1], t.linesize[2], 0};
    if (sws_scale(sws_, src, stride, 0, h, dst, dstStride) <= 0) return codecErr;
  }
  *width = w;
  *height = h;
  return noErr;
}

}  // namespace

OSErr CreateVideoDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out) {
  out->reset();
  std::unique_ptr<FfmpegVideoDecoder> d(new (std::nothrow) FfmpegVideoDecoder);
  if (!d) return memFullErr;
  if (OSErr err = d->Open(setup); err != noErr) return err;
  *out = std::move(d);
  return noErr;
}

}  // namespace tp::qt
