#include "Decompressor.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/cpu.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace tp::qt {
namespace {

constexpr int kMaxDecodeThreads = 16;
// Conversions run in slices on up to this many threads.
constexpr int kMaxConvertThreads = 4;

int DecodeThreads() {
  const char *v = std::getenv("TP_DECODE_THREADS");
  if (!v) return 1;
  int n = std::atoi(v);
  return std::clamp(n, 1, kMaxDecodeThreads);
}

int ConvertThreads() { return std::clamp(av_cpu_count(), 1, kMaxConvertThreads); }

void KeepBuffer(void *, uint8_t *) {}

// libavcodec's tags are little-endian four-character codes.
unsigned int LavcTag(uint32_t qtType) {
  return ((qtType >> 24) & 0xFF) | ((qtType >> 8) & 0xFF00) | ((qtType << 8) & 0xFF0000) | (qtType << 24);
}

uint8_t *Row(uint8_t *plane, int linesize, int y) { return plane + int64_t(linesize) * y; }

void CopyPlane(const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, int rowBytes, int rows) {
  for (int y = 0; y < rows; ++y)
    std::memcpy(dst + int64_t(dstStride) * y, src + int64_t(srcStride) * y, size_t(rowBytes));
}

void ReplicatePlane(uint8_t *plane, int linesize, int bpp, int fullW, int fullH, int w, int h) {
  if (w <= 0 || h <= 0) return;
  for (int y = 0; y < h && w < fullW; ++y) {
    uint8_t *row = Row(plane, linesize, y);
    for (int x = w; x < fullW; ++x) std::memcpy(row + x * bpp, row + (w - 1) * bpp, size_t(bpp));
  }
  for (int y = h; y < fullH; ++y)
    std::memcpy(Row(plane, linesize, y), Row(plane, linesize, h - 1), size_t(fullW) * size_t(bpp));
}

}  // namespace

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
    case PixelLayout::kNone:
      break;
  }
  return AV_PIX_FMT_NONE;
}

void ReplicateEdges(const DrawTarget &t, int w, int h) {
  if (w <= 0 || h <= 0 || (w >= t.width && h >= t.height)) return;
  switch (t.format) {
    case PixelLayout::kYUV420P:
      ReplicatePlane(t.data[0], t.linesize[0], 1, t.width, t.height, w, h);
      ReplicatePlane(t.data[1], t.linesize[1], 1, (t.width + 1) / 2, (t.height + 1) / 2, (w + 1) / 2, (h + 1) / 2);
      ReplicatePlane(t.data[2], t.linesize[2], 1, (t.width + 1) / 2, (t.height + 1) / 2, (w + 1) / 2, (h + 1) / 2);
      return;
    case PixelLayout::kYUYV422: {
      // Pixels share chroma in pairs: finish the last pair, then repeat it.
      const int pairs = (t.width + 1) / 2, last = (w - 1) / 2;
      for (int y = 0; y < h; ++y) {
        uint8_t *row = Row(t.data[0], t.linesize[0], y);
        if (w % 2) row[last * 4 + 2] = row[last * 4];
        for (int p = last + 1; p < pairs; ++p) std::memcpy(row + p * 4, row + last * 4, 4);
      }
      for (int y = h; y < t.height; ++y)
        std::memcpy(Row(t.data[0], t.linesize[0], y), Row(t.data[0], t.linesize[0], h - 1), size_t(pairs) * 4);
      return;
    }
    default:
      ReplicatePlane(t.data[0], t.linesize[0], PackedBytesPerPixel(t.format), t.width, t.height, w, h);
      return;
  }
}

Decompressor::~Decompressor() {
  sws_freeContext(sws_);
  av_frame_free(&swsSource_);
  av_frame_free(&swsTarget_);
  av_frame_free(&received_);
  av_frame_free(&matched_);
  av_frame_free(&latest_);
  av_frame_free(&captured_);
  av_frame_free(&shown_);
  av_packet_free(&packet_);
  avcodec_free_context(&ctx_);
}

OSErr Decompressor::Create(std::span<const uint8_t> description, std::shared_ptr<GWorld> world,
                           std::unique_ptr<Decompressor> *out) {
  if (!out || !world) return paramErr;
  out->reset();
  std::unique_ptr<Decompressor> d(new (std::nothrow) Decompressor);
  if (!d) return memFullErr;
  OSErr err = ReadVideoCodecSetup(description, &d->setup_);
  if (err != noErr) return err;
  d->world_ = std::move(world);
  if (d->setup_.raw) {
    *out = std::move(d);
    return noErr;
  }

  const AVCodec *codec = nullptr;
  if (d->setup_.codecId != AV_CODEC_ID_NONE) codec = avcodec_find_decoder(d->setup_.codecId);
  if (!codec && !d->setup_.decoderName.empty()) codec = avcodec_find_decoder_by_name(d->setup_.decoderName.c_str());
  if (!codec) return noCodecErr;

  d->ctx_ = avcodec_alloc_context3(codec);
  d->packet_ = av_packet_alloc();
  d->received_ = av_frame_alloc();
  d->matched_ = av_frame_alloc();
  d->latest_ = av_frame_alloc();
  d->captured_ = av_frame_alloc();
  d->shown_ = av_frame_alloc();
  if (!d->ctx_ || !d->packet_ || !d->received_ || !d->matched_ || !d->latest_ || !d->captured_ || !d->shown_)
    return memFullErr;
  AVCodecContext *c = d->ctx_;
  c->width = d->setup_.width;
  c->height = d->setup_.height;
  c->codec_tag = LavcTag(d->setup_.codecType);
  c->bits_per_coded_sample = d->setup_.depth;
  if (!d->setup_.extradata.empty()) {
    if (d->setup_.extradata.size() > size_t(kMaxPictureBytes)) return badImageDescription;
    const size_t n = d->setup_.extradata.size();
    c->extradata = static_cast<uint8_t *>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!c->extradata) return memFullErr;
    std::memcpy(c->extradata, d->setup_.extradata.data(), n);
    c->extradata_size = int(n);
  }
  // Frame threads would finish pictures after the call returns; slices are
  // decoded inside it.
  c->thread_count = DecodeThreads();
  c->thread_type = FF_THREAD_SLICE;
  c->get_buffer2 = &Decompressor::GetBuffer;
  c->opaque = d.get();
  if (avcodec_open2(c, codec, nullptr) < 0) return codecErr;
  *out = std::move(d);
  return noErr;
}

int Decompressor::GetBuffer(AVCodecContext *ctx, AVFrame *frame, int flags) {
  int r = avcodec_default_get_buffer2(ctx, frame, flags);
  auto *self = static_cast<Decompressor *>(ctx->opaque);
  if (r >= 0 && self && self->capturing_) {
    av_frame_unref(self->captured_);
    self->captured_this_call_ = av_frame_ref(self->captured_, frame) >= 0;
  }
  return r;
}

OSErr Decompressor::DecodeFrame(const uint8_t *data, int64_t size, bool draw) {
  if (!data || size <= 0) return paramErr;
  if (size > kMaxPictureBytes) return codecBadDataErr;
  return ctx_ ? DecodeCompressed(data, size, draw) : DecodeRaw(data, size, draw);
}

OSErr Decompressor::DecodeRaw(const uint8_t *data, int64_t size, bool draw) {
  const RawFormat &raw = *setup_.raw;
  const int w = setup_.width, h = setup_.height;
  const uint8_t *src[4] = {};
  int stride[4] = {};
  if (raw.format == PixelLayout::kYUV420P) {
    const int64_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    if (size < int64_t(w) * h + 2 * cw * ch) return codecBadDataErr;
    src[0] = data;
    src[1] = data + int64_t(w) * h;
    src[2] = src[1] + cw * ch;
    stride[0] = w;
    stride[1] = stride[2] = int(cw);
  } else {
    const int64_t minRow = (int64_t(w) * raw.bitsPerPixel + 7) / 8;
    // Rows may be padded; the sample's size tells by how much.
    int64_t row = (size % h == 0 && size / h >= minRow) ? size / h : minRow;
    if (row > INT32_MAX / 2 || size < row * h) return codecBadDataErr;
    src[0] = data;
    stride[0] = int(row);
    if (raw.signedChroma) {
      if (scratch_.size() < size_t(row * h)) scratch_.resize(size_t(row * h));
      std::memcpy(scratch_.data(), data, size_t(row * h));
      for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 1; x < minRow; x += 2) scratch_[size_t(y * row + x)] ^= 0x80;
      src[0] = scratch_.data();
    }
  }
  if (!draw) return noErr;
  return Draw(src, stride, ToAvPixelFormat(raw.format), w, h);
}

OSErr Decompressor::DecodeCompressed(const uint8_t *data, int64_t size, bool draw) {
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
    shownAt_ = nullptr;
    if (av_frame_ref(shown_, picture) < 0) av_frame_unref(shown_);
    if (draw) {
      err = DrawFrame(picture, width, height);
      if (err == noErr) shownAt_ = world_->baseAddress();
    }
  } else if (err == noErr && draw && shown_->data[0] && shownAt_ != world_->baseAddress()) {
    err = DrawFrame(shown_, shownWidth_, shownHeight_);
    if (err == noErr) shownAt_ = world_->baseAddress();
  }
  // Hand the other buffers back at once so decoders that reuse theirs can.
  av_frame_unref(captured_);
  av_frame_unref(matched_);
  av_frame_unref(latest_);
  return err;
}

OSErr Decompressor::DrawFrame(const AVFrame *frame, int width, int height) {
  if (width <= 0 || height <= 0) return codecErr;
  if (frame->buf[0] != nullptr) {
    // A conversion of a decoder's picture runs in slices on several threads.
    const OSErr err = DrawConverted(frame, width, height);
    if (err != kNotConverted) return err;
  }
  const uint8_t *src[4] = {frame->data[0], frame->data[1], frame->data[2], frame->data[3]};
  int stride[4] = {frame->linesize[0], frame->linesize[1], frame->linesize[2], frame->linesize[3]};
  return Draw(src, stride, AVPixelFormat(frame->format), width, height);
}

OSErr Decompressor::Draw(const uint8_t *const src[4], const int srcStride[4], AVPixelFormat format, int width,
                         int height) {
  const DrawTarget t = world_->Target();
  if (!t.data[0]) return codecErr;
  const int w = std::min(width, t.width), h = std::min(height, t.height);
  if (w <= 0 || h <= 0) return codecErr;
  const AVPixelFormat target = ToAvPixelFormat(t.format);
  if (format == target && format == AV_PIX_FMT_YUV420P) {
    CopyPlane(src[0], srcStride[0], t.data[0], t.linesize[0], w, h);
    CopyPlane(src[1], srcStride[1], t.data[1], t.linesize[1], (w + 1) / 2, (h + 1) / 2);
    CopyPlane(src[2], srcStride[2], t.data[2], t.linesize[2], (w + 1) / 2, (h + 1) / 2);
  } else if (format == target && PackedBytesPerPixel(t.format) > 0 && format != AV_PIX_FMT_YUYV422) {
    CopyPlane(src[0], srcStride[0], t.data[0], t.linesize[0], w * PackedBytesPerPixel(t.format), h);
  } else {
    if (!Converter(w, h, format, target)) return codecErr;
    uint8_t *dst[4] = {t.data[0], t.data[1], t.data[2], nullptr};
    int dstStride[4] = {t.linesize[0], t.linesize[1], t.linesize[2], 0};
    if (sws_scale(sws_, src, srcStride, 0, h, dst, dstStride) <= 0) return codecErr;
  }
  ReplicateEdges(t, w, h);
  return noErr;
}

bool Decompressor::Converter(int width, int height, AVPixelFormat from, AVPixelFormat to) {
  if (sws_ && swsWidth_ == width && swsHeight_ == height && swsFrom_ == from && swsTo_ == to) return true;
  sws_freeContext(sws_);
  sws_ = sws_alloc_context();
  if (!sws_) return false;
  const bool set = av_opt_set_int(sws_, "srcw", width, 0) >= 0 && av_opt_set_int(sws_, "srch", height, 0) >= 0 &&
                   av_opt_set_int(sws_, "src_format", from, 0) >= 0 && av_opt_set_int(sws_, "dstw", width, 0) >= 0 &&
                   av_opt_set_int(sws_, "dsth", height, 0) >= 0 && av_opt_set_int(sws_, "dst_format", to, 0) >= 0 &&
                   av_opt_set_int(sws_, "sws_flags", SWS_BICUBIC, 0) >= 0 &&
                   av_opt_set_int(sws_, "threads", ConvertThreads(), 0) >= 0;
  if (!set || sws_init_context(sws_, nullptr, nullptr) < 0) {
    sws_freeContext(sws_);
    sws_ = nullptr;
    return false;
  }
  swsWidth_ = width;
  swsHeight_ = height;
  swsFrom_ = from;
  swsTo_ = to;
  return true;
}

OSErr Decompressor::DrawConverted(const AVFrame *frame, int width, int height) {
  const DrawTarget t = world_->Target();
  if (!t.data[0]) return codecErr;
  const int w = std::min(width, t.width), h = std::min(height, t.height);
  if (w <= 0 || h <= 0) return codecErr;
  const auto format = AVPixelFormat(frame->format);
  const AVPixelFormat target = ToAvPixelFormat(t.format);
  // Copies stay with Draw; so does a layout without a plain plane list.
  const bool copies = format == target && (format == AV_PIX_FMT_YUV420P ||
                                           (PackedBytesPerPixel(t.format) > 0 && format != AV_PIX_FMT_YUYV422));
  if (copies || target == AV_PIX_FMT_NONE) return kNotConverted;
  if (!Converter(w, h, format, target)) return codecErr;
  if (!swsSource_) swsSource_ = av_frame_alloc();
  if (!swsTarget_) swsTarget_ = av_frame_alloc();
  if (!swsSource_ || !swsTarget_) return memFullErr;
  // The scaler holds references to both pictures while it runs: the
  // decoder's picture by its own count, the world's memory through a
  // reference that never frees it. Only the drawn area is described.
  OSErr err = noErr;
  if (av_frame_ref(swsSource_, frame) < 0) return memFullErr;
  swsSource_->width = w;
  swsSource_->height = h;
  // The bytes the planes span, whichever way their rows run (a bottom-up
  // world's rows go to lower addresses).
  const int rows[3] = {t.height, (t.height + 1) / 2, (t.height + 1) / 2};
  uint8_t *low = t.data[0], *high = t.data[0];
  for (int i = 0; i < 3 && t.data[i]; ++i) {
    uint8_t *last = t.data[i] + int64_t(t.linesize[i]) * (rows[i] - 1);
    low = std::min({low, t.data[i], last});
    high = std::max({high, t.data[i] + std::abs(t.linesize[i]), last + std::abs(t.linesize[i])});
  }
  swsTarget_->buf[0] = av_buffer_create(low, size_t(high - low), KeepBuffer, nullptr, 0);
  if (!swsTarget_->buf[0]) {
    av_frame_unref(swsSource_);
    return memFullErr;
  }
  for (int i = 0; i < 3; ++i) {
    swsTarget_->data[i] = t.data[i];
    swsTarget_->linesize[i] = t.linesize[i];
  }
  swsTarget_->width = w;
  swsTarget_->height = h;
  swsTarget_->format = target;
  if (sws_scale_frame(sws_, swsTarget_, swsSource_) < 0) err = codecErr;
  av_frame_unref(swsSource_);
  av_frame_unref(swsTarget_);
  if (err == noErr) ReplicateEdges(t, w, h);
  return err;
}

}  // namespace tp::qt
