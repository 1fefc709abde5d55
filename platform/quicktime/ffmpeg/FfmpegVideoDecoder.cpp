// The Linux video back end: one libavcodec decoder per sequence, pictures
// drawn into the world's layout with libswscale (conversions in slices on
// the scaler's own threads, one per processor up to four, all finished when
// Draw returns). A snapshot keeps a reference to the current picture and
// draws it later with a second scaler (one thread), on the sequence's
// drawing thread, while the decoder goes on.
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
//
// Deferred pictures: a second decoder context, opened beside the first
// where the codec has frame threads, takes the samples of deferred runs
// (Send). Its threads (the processors available, or TP_DECODE_THREADS)
// decode several samples at once, and pictures come out in display order,
// each tagged through the packet's pts, a few samples later; each goes out
// as a snapshot that holds the decoder's picture by reference. A sample
// that has not come out once more than MaxDelay later samples went in is
// given up on (codecBadDataErr), so the bound holds whatever the stream.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/cpu.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "codecs/AnimationDecoder.h"
#include "FfmpegVideoDecoder.h"
#include "BackEnds.h"
#include "codecs/VideoDecoder.h"

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

// Frame threads for deferred runs: the processors available unless
// TP_DECODE_THREADS says otherwise.
int FrameThreads() {
  const char *v = std::getenv("TP_DECODE_THREADS");
  return std::clamp(v ? std::atoi(v) : av_cpu_count(), 1, kMaxDecodeThreads);
}

// Pictures a decoder may hold behind later ones in display order (the
// reference picture behind its B-frames), beyond its threads' own delay.
constexpr int kReorderAllowance = 4;

void KeepBuffer(void *, uint8_t *) {}

// libavcodec's tags are little-endian four-character codes.
unsigned int LavcTag(uint32_t qtType) {
  return ((qtType >> 24) & 0xFF) | ((qtType >> 8) & 0xFF00) | ((qtType << 8) & 0xFF0000) | (qtType << 24);
}

void CopyPlane(const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, int rowBytes, int rows) {
  // Rows back to back on both sides (a 4:2:0 picture into a tight YV12 or
  // I420 buffer): one copy, which the C library streams past the cache at
  // picture sizes.
  if (srcStride == rowBytes && dstStride == rowBytes && rows > 0) {
    std::memcpy(dst, src, size_t(rowBytes) * size_t(rows));
    return;
  }
  for (int y = 0; y < rows; ++y)
    std::memcpy(dst + int64_t(dstStride) * y, src + int64_t(srcStride) * y, size_t(rowBytes));
}

// libswscale's converters into packed layouts store whole groups of up to
// 16 pixels: at a width that is not a multiple of 16 a row either stops
// short of its last pixels or runs on past its end, into the next row in
// memory (already drawn in a bottom-up world, or being drawn by another
// slice thread) or, on the last, past the memory. A target is drawn into
// directly only when every plane's rows have room for the whole groups.
constexpr int kScalerGroup = 16;

int GroupedWidth(int width) { return (width + kScalerGroup - 1) / kScalerGroup * kScalerGroup; }

bool RowsHaveRoom(const DrawTarget &t, int width, AVPixelFormat format) {
  int need[4] = {};
  if (av_image_fill_linesizes(need, format, GroupedWidth(width)) < 0) return false;
  for (int i = 0; i < 4 && need[i] > 0; ++i)
    if (i >= 3 || std::abs(t.linesize[i]) < need[i]) return false;
  return true;
}

// The drawn area of `spare` into the target's planes, rows in the target's
// own direction.
void CopyFromSpare(const AVFrame *spare, const DrawTarget &t, int w, int h, AVPixelFormat format) {
  uint8_t *dst[4] = {t.data[0], t.data[1], t.data[2], nullptr};
  int dstStride[4] = {t.linesize[0], t.linesize[1], t.linesize[2], 0};
  const uint8_t *src[4] = {spare->data[0], spare->data[1], spare->data[2], spare->data[3]};
  av_image_copy(dst, dstStride, src, spare->linesize, format, w, h);
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

// The colour table for an indexed description (its own, else the standard
// one), AVPALETTE_COUNT entries; empty when the pictures are not indexed.
// Grey Cinepak is drawn grey by its decoder, without a table.
std::vector<uint32_t> IndexedPalette(const VideoCodecSetup &setup, AVCodecID id) {
  if (!IndexedDepthBits(setup.depth) || (setup.depth > 32 && id == AV_CODEC_ID_CINEPAK)) return {};
  std::vector<uint32_t> table = AnimationColorTable(setup.depth, setup.colorTable);
  table.resize(AVPALETTE_COUNT, 0xFF000000u);
  return table;
}

// Draws pictures into targets: a straight copy when the layouts match,
// else libswscale's conversion with a scaler kept for one size and pair of
// layouts. One drawer is used by one thread at a time.
class PictureDrawer {
 public:
  // threads: how many the scaler may convert on (in slices).
  explicit PictureDrawer(int threads) : threads_(threads) {}
  PictureDrawer(const PictureDrawer &) = delete;
  PictureDrawer &operator=(const PictureDrawer &) = delete;
  ~PictureDrawer() {
    sws_freeContext(sws_);
    av_frame_free(&swsSource_);
    av_frame_free(&swsTarget_);
    av_frame_free(&spare_);
  }

  // Draws `picture` (of which width x height counts) into the target; see
  // VideoDecoder::Draw.
  OSErr Draw(const AVFrame *picture, int width, int height, const DrawTarget &t, int *drawnWidth, int *drawnHeight);

 private:
  // The scaler for one size and pair of layouts, made again when they
  // change; false when it cannot be made.
  bool Converter(int width, int height, AVPixelFormat from, AVPixelFormat to);
  // The picture converted into the target by the scaler's slice threads,
  // which have all finished when this returns.
  OSErr DrawConverted(const AVFrame *picture, const DrawTarget &t, int w, int h, AVPixelFormat target);
  // A picture of the target's layout with room after every row, kept for
  // one size and layout; null when it cannot be had.
  AVFrame *Spare(int w, int h, AVPixelFormat target);

  const int threads_;
  SwsContext *sws_ = nullptr;
  int swsWidth_ = 0, swsHeight_ = 0;
  AVPixelFormat swsFrom_ = AV_PIX_FMT_NONE, swsTo_ = AV_PIX_FMT_NONE;
  AVFrame *swsSource_ = nullptr;  // references held only across one conversion
  AVFrame *swsTarget_ = nullptr;
  AVFrame *spare_ = nullptr;  // converted into, then copied, when the target's rows have no room
};

// A picture kept by reference, drawn later with the decoder's second drawer
// (the one its drawing thread uses).
class FfmpegSnapshot final : public PictureSnapshot {
 public:
  FfmpegSnapshot(AVFrame *picture, int width, int height, PictureDrawer *drawer)
      : picture_(picture), width_(width), height_(height), drawer_(drawer) {}
  ~FfmpegSnapshot() override { av_frame_free(&picture_); }
  OSErr Draw(const DrawTarget &target, int *width, int *height) override {
    return drawer_->Draw(picture_, width_, height_, target, width, height);
  }

 private:
  AVFrame *picture_;
  int width_, height_;
  PictureDrawer *drawer_;
};

class FfmpegVideoDecoder final : public VideoDecoder {
 public:
  ~FfmpegVideoDecoder() override {
    avcodec_free_context(&threaded_);
    av_frame_free(&out_);
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
  OSErr Draw(const DrawTarget &target, int *width, int *height) override {
    *width = *height = 0;
    if (!shown_->data[0]) return codecErr;
    return drawer_.Draw(shown_, shownWidth_, shownHeight_, target, width, height);
  }
  std::unique_ptr<PictureSnapshot> Snapshot() override;

  // Deferred pictures
  bool CanDefer() const override { return threaded_ != nullptr; }
  // libavcodec's frame pool grows with the pictures held.
  bool SnapshotsMayWait() const override { return true; }
  int MaxDelay() const override { return maxDelay_; }
  OSErr Send(const uint8_t *data, int64_t size, uint64_t tag, int64_t displayTime) override;
  bool Receive(Output *out) override;
  OSErr Drain() override;
  void Flush() override;

 private:
  static int GetBuffer(AVCodecContext *ctx, AVFrame *frame, int flags);
  // A context for `codec` with the set-up bytes; null when it cannot be had.
  AVCodecContext *NewContext(const AVCodec *codec, const VideoCodecSetup &setup, OSErr *err);
  // Opens the frame-threaded context; leaves threaded_ null when the codec
  // has no frame threads or the context does not open.
  void OpenThreaded(const AVCodec *codec, const VideoCodecSetup &setup);
  // Takes every picture the threaded context has out.
  void ReceiveThreaded();
  // Everything still outstanding comes out as an error.
  void GiveUpOutstanding(size_t keep);

  AVCodecContext *threaded_ = nullptr;
  AVFrame *out_ = nullptr;
  std::deque<uint64_t> outstanding_;  // tags sent, not yet out, in the order sent
  std::deque<Output> ready_;          // out, not yet received
  int maxDelay_ = 0;

  AVCodecContext *ctx_ = nullptr;
  AVPacket *packet_ = nullptr;
  AVFrame *received_ = nullptr;
  AVFrame *matched_ = nullptr;   // output picture tagged with the current sample
  AVFrame *latest_ = nullptr;    // last output picture of the current call
  AVFrame *captured_ = nullptr;  // last buffer allocated while decoding the current sample
  AVFrame *shown_ = nullptr;     // the current picture
  int shownWidth_ = 0, shownHeight_ = 0;
  PictureDrawer drawer_{ConvertThreads()};  // for Draw, on the caller's thread
  // For snapshots, on the sequence's drawing thread, beside the frame
  // threads that already keep every processor busy: slices would only add
  // handoffs there, so one thread converts.
  PictureDrawer laterDrawer_{1};
  int64_t nextTag_ = 0;
  // Set on every packet of a codec whose samples are each a whole picture.
  // libavcodec's PNG decoder takes a packet not marked as a key frame for a
  // difference against the previous picture (another container's use of
  // the codec); a movie's 'png ' sample never is one.
  int packetFlags_ = 0;
  // Indexed pictures (1 to 8 bits, or grey levels): the colour table goes to
  // the decoder with every packet, as libavcodec's decoders of indexed
  // formats take it; empty for other depths.
  std::vector<uint32_t> palette_;
  // Attaches the colour table to packet_; false when memory ran out.
  bool AttachPalette();
  bool capturing_ = false;
  bool captured_this_call_ = false;
};

OSErr FfmpegVideoDecoder::Open(const VideoCodecSetup &setup) {
  const AVCodec *codec = nullptr;
  if (const AVCodecDescriptor *d = setup.codec.empty() ? nullptr : avcodec_descriptor_get_by_name(setup.codec.c_str()))
    codec = avcodec_find_decoder(d->id);
  if (!codec && !setup.decoderName.empty()) codec = avcodec_find_decoder_by_name(setup.decoderName.c_str());
  if (!codec) return noCodecErr;

  packet_ = av_packet_alloc();
  received_ = av_frame_alloc();
  matched_ = av_frame_alloc();
  latest_ = av_frame_alloc();
  captured_ = av_frame_alloc();
  shown_ = av_frame_alloc();
  out_ = av_frame_alloc();
  if (!packet_ || !received_ || !matched_ || !latest_ || !captured_ || !shown_ || !out_) return memFullErr;
  OSErr err = noErr;
  palette_ = IndexedPalette(setup, codec->id);
  if (!(ctx_ = NewContext(codec, setup, &err))) return err;
  AVCodecContext *c = ctx_;
  // Frame threads would finish pictures after the call returns; slices are
  // decoded inside it.
  c->thread_count = DecodeThreads();
  c->thread_type = FF_THREAD_SLICE;
  c->get_buffer2 = &FfmpegVideoDecoder::GetBuffer;
  c->opaque = this;
  if (avcodec_open2(c, codec, nullptr) < 0) return codecErr;
  if (const AVCodecDescriptor *d = avcodec_descriptor_get(codec->id);
      codec->id == AV_CODEC_ID_PNG || (d && (d->props & AV_CODEC_PROP_INTRA_ONLY)))
    packetFlags_ = AV_PKT_FLAG_KEY;
  OpenThreaded(codec, setup);
  return noErr;
}

AVCodecContext *FfmpegVideoDecoder::NewContext(const AVCodec *codec, const VideoCodecSetup &setup, OSErr *err) {
  *err = memFullErr;
  AVCodecContext *c = avcodec_alloc_context3(codec);
  if (!c) return nullptr;
  c->width = setup.width;
  c->height = setup.height;
  c->codec_tag = LavcTag(setup.codecType);
  // Grey levels (depths 33 to 40) are indexes of that many bits less 32,
  // drawn through the grey table.
  c->bits_per_coded_sample = IndexedDepthBits(setup.depth) ? IndexedDepthBits(setup.depth) : setup.depth;
  if (!setup.extradata.empty()) {
    if (setup.extradata.size() > size_t(kMaxPictureBytes)) {
      *err = badImageDescription;
      avcodec_free_context(&c);
      return nullptr;
    }
    const size_t n = setup.extradata.size();
    c->extradata = static_cast<uint8_t *>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!c->extradata) {
      avcodec_free_context(&c);
      return nullptr;
    }
    std::memcpy(c->extradata, setup.extradata.data(), n);
    c->extradata_size = int(n);
  }
  *err = noErr;
  return c;
}

void FfmpegVideoDecoder::OpenThreaded(const AVCodec *codec, const VideoCodecSetup &setup) {
  if (!(codec->capabilities & AV_CODEC_CAP_FRAME_THREADS)) return;
  OSErr err = noErr;
  AVCodecContext *c = NewContext(codec, setup, &err);
  if (!c) return;
  const int threads = FrameThreads();
  c->thread_count = threads;
  c->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  // A run may start at a sample that is not a sync sample (a file whose
  // sync table says so): its pictures come out as decoded, as the
  // synchronous path draws them, rather than being held until a refresh.
  c->flags2 |= AV_CODEC_FLAG2_SHOW_ALL;
  if (avcodec_open2(c, codec, nullptr) < 0) {
    avcodec_free_context(&c);
    return;
  }
  threaded_ = c;
  // Each frame thread holds one sample in progress, but a sample's picture
  // comes out as the sample that fills the last free thread goes in: the
  // threads delay a picture by one sample fewer than their count. The
  // decoder may hold pictures back behind B-frames on top of that. A bound
  // any looser only makes callers lend buffers that never fill.
  maxDelay_ = threads - 1 + kReorderAllowance;
}

OSErr FfmpegVideoDecoder::Send(const uint8_t *data, int64_t size, uint64_t tag, int64_t /*displayTime*/) {
  if (!threaded_) return unimpErr;
  if (!data || size <= 0 || size > kMaxPictureBytes) return paramErr;
  av_packet_unref(packet_);
  if (av_new_packet(packet_, int(size)) < 0) return memFullErr;
  std::memcpy(packet_->data, data, size_t(size));
  // Tags fit easily: one per sample.
  packet_->pts = int64_t(tag & 0x7fffffffffffffffull);
  packet_->dts = AV_NOPTS_VALUE;
  packet_->flags = packetFlags_;
  if (!AttachPalette()) return memFullErr;
  int sent = avcodec_send_packet(threaded_, packet_);
  if (sent == AVERROR(EAGAIN)) {
    // Pictures are waiting to be taken first.
    ReceiveThreaded();
    sent = avcodec_send_packet(threaded_, packet_);
  }
  av_packet_unref(packet_);
  if (sent == AVERROR(ENOMEM)) return memFullErr;
  if (sent == AVERROR(EAGAIN) || sent == AVERROR_EOF) return codecErr;
  // Any other error may belong to an earlier sample (frame threads report
  // late): this one was taken, and comes out with its picture or not at
  // all, which the bound below turns into an error.
  outstanding_.push_back(tag);
  ReceiveThreaded();
  GiveUpOutstanding(size_t(maxDelay_));
  return noErr;
}

void FfmpegVideoDecoder::ReceiveThreaded() {
  while (avcodec_receive_frame(threaded_, out_) >= 0) {
    const uint64_t tag = uint64_t(out_->pts);
    auto it =
        out_->pts == AV_NOPTS_VALUE ? outstanding_.end() : std::find(outstanding_.begin(), outstanding_.end(), tag);
    if (it == outstanding_.end()) {
      // Not a sample still waiting (given up on, or flushed): dropped.
      av_frame_unref(out_);
      continue;
    }
    outstanding_.erase(it);
    Output o;
    o.tag = tag;
    AVFrame *picture = out_->buf[0] ? av_frame_clone(out_) : nullptr;
    if (picture) o.picture.reset(new (std::nothrow) FfmpegSnapshot(picture, out_->width, out_->height, &laterDrawer_));
    if (!o.picture) {
      av_frame_free(&picture);
      o.result = memFullErr;
    }
    av_frame_unref(out_);
    ready_.push_back(std::move(o));
  }
}

void FfmpegVideoDecoder::GiveUpOutstanding(size_t keep) {
  while (outstanding_.size() > keep) {
    Output o;
    o.tag = outstanding_.front();
    o.result = codecBadDataErr;
    outstanding_.pop_front();
    ready_.push_back(std::move(o));
  }
}

bool FfmpegVideoDecoder::Receive(Output *out) {
  if (ready_.empty()) return false;
  *out = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

OSErr FfmpegVideoDecoder::Drain() {
  if (!threaded_) return noErr;
  if (avcodec_send_packet(threaded_, nullptr) >= 0) ReceiveThreaded();
  GiveUpOutstanding(0);
  // The end of the stream is forgotten: the next sample starts a new run.
  avcodec_flush_buffers(threaded_);
  return noErr;
}

void FfmpegVideoDecoder::Flush() {
  if (!threaded_) return;
  avcodec_flush_buffers(threaded_);
  outstanding_.clear();
  ready_.clear();
}

bool FfmpegVideoDecoder::AttachPalette() {
  if (palette_.empty()) return true;
  uint8_t *side = av_packet_new_side_data(packet_, AV_PKT_DATA_PALETTE, AVPALETTE_SIZE);
  if (!side) return false;
  std::memcpy(side, palette_.data(), AVPALETTE_SIZE);
  return true;
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
  packet_->flags = packetFlags_;
  if (!AttachPalette()) return memFullErr;

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

std::unique_ptr<PictureSnapshot> FfmpegVideoDecoder::Snapshot() {
  // Without a buffer of its own the picture's memory is the decoder's to
  // change: that one is drawn at once.
  if (!shown_->data[0] || !shown_->buf[0]) return nullptr;
  AVFrame *picture = av_frame_clone(shown_);
  if (!picture) return nullptr;
  std::unique_ptr<PictureSnapshot> out(new (std::nothrow)
                                           FfmpegSnapshot(picture, shownWidth_, shownHeight_, &laterDrawer_));
  if (!out) av_frame_free(&picture);
  return out;
}

OSErr PictureDrawer::Draw(const AVFrame *picture, int pictureWidth, int pictureHeight, const DrawTarget &t, int *width,
                          int *height) {
  *width = *height = 0;
  if (!picture->data[0] || pictureWidth <= 0 || pictureHeight <= 0) return codecErr;
  if (!t.data[0]) return codecErr;
  const int w = std::min(pictureWidth, t.width), h = std::min(pictureHeight, t.height);
  if (w <= 0 || h <= 0) return codecErr;
  const uint8_t *src[4] = {picture->data[0], picture->data[1], picture->data[2], picture->data[3]};
  const int stride[4] = {picture->linesize[0], picture->linesize[1], picture->linesize[2], picture->linesize[3]};
  const AVPixelFormat format = AVPixelFormat(picture->format);
  const AVPixelFormat target = ToAvPixelFormat(t.format);
  if (format == target && format == AV_PIX_FMT_YUV420P) {
    CopyPlane(src[0], stride[0], t.data[0], t.linesize[0], w, h);
    CopyPlane(src[1], stride[1], t.data[1], t.linesize[1], (w + 1) / 2, (h + 1) / 2);
    CopyPlane(src[2], stride[2], t.data[2], t.linesize[2], (w + 1) / 2, (h + 1) / 2);
  } else if (format == target && PackedBytesPerPixel(t.format) > 0 && format != AV_PIX_FMT_YUYV422) {
    CopyPlane(src[0], stride[0], t.data[0], t.linesize[0], w * PackedBytesPerPixel(t.format), h);
  } else if (picture->buf[0] && target != AV_PIX_FMT_NONE) {
    if (OSErr err = DrawConverted(picture, t, w, h, target); err != noErr) return err;
  } else {
    if (!Converter(w, h, format, target)) return codecErr;
    uint8_t *dst[4] = {t.data[0], t.data[1], t.data[2], nullptr};
    int dstStride[4] = {t.linesize[0], t.linesize[1], t.linesize[2], 0};
    AVFrame *spare = nullptr;
    if (!RowsHaveRoom(t, w, target)) {
      if (!(spare = Spare(w, h, target))) return memFullErr;
      for (int i = 0; i < 4; ++i) dst[i] = spare->data[i], dstStride[i] = spare->linesize[i];
    }
    if (sws_scale(sws_, src, stride, 0, h, dst, dstStride) <= 0) return codecErr;
    if (spare) CopyFromSpare(spare, t, w, h, target);
  }
  *width = w;
  *height = h;
  return noErr;
}

bool PictureDrawer::Converter(int width, int height, AVPixelFormat from, AVPixelFormat to) {
  if (sws_ && swsWidth_ == width && swsHeight_ == height && swsFrom_ == from && swsTo_ == to) return true;
  sws_freeContext(sws_);
  sws_ = sws_alloc_context();
  if (!sws_) return false;
  const bool set = av_opt_set_int(sws_, "srcw", width, 0) >= 0 && av_opt_set_int(sws_, "srch", height, 0) >= 0 &&
                   av_opt_set_int(sws_, "src_format", from, 0) >= 0 && av_opt_set_int(sws_, "dstw", width, 0) >= 0 &&
                   av_opt_set_int(sws_, "dsth", height, 0) >= 0 && av_opt_set_int(sws_, "dst_format", to, 0) >= 0 &&
                   av_opt_set_int(sws_, "sws_flags", SWS_BICUBIC, 0) >= 0 &&
                   av_opt_set_int(sws_, "threads", threads_, 0) >= 0;
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

OSErr PictureDrawer::DrawConverted(const AVFrame *picture, const DrawTarget &t, int w, int h, AVPixelFormat target) {
  if (!Converter(w, h, AVPixelFormat(picture->format), target)) return codecErr;
  if (!swsSource_) swsSource_ = av_frame_alloc();
  if (!swsTarget_) swsTarget_ = av_frame_alloc();
  if (!swsSource_ || !swsTarget_) return memFullErr;
  AVFrame *spare = nullptr;
  if (!RowsHaveRoom(t, w, target) && !(spare = Spare(w, h, target))) return memFullErr;
  // The scaler holds references to both pictures while it runs: the
  // decoder's picture by its own count, the world's memory through a
  // reference that never frees it. Only the drawn area is described.
  if (av_frame_ref(swsSource_, picture) < 0) return memFullErr;
  swsSource_->width = w;
  swsSource_->height = h;
  if (spare) {
    if (av_frame_ref(swsTarget_, spare) < 0) {
      av_frame_unref(swsSource_);
      return memFullErr;
    }
  } else {
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
  }
  swsTarget_->width = w;
  swsTarget_->height = h;
  swsTarget_->format = target;
  const OSErr err = sws_scale_frame(sws_, swsTarget_, swsSource_) < 0 ? OSErr(codecErr) : OSErr(noErr);
  av_frame_unref(swsSource_);
  av_frame_unref(swsTarget_);
  if (err == noErr && spare) CopyFromSpare(spare, t, w, h, target);
  return err;
}

AVFrame *PictureDrawer::Spare(int w, int h, AVPixelFormat target) {
  // Its rows run a whole group past the widest the scaler may store.
  const int width = GroupedWidth(w) + kScalerGroup;
  if (spare_ && spare_->width == width && spare_->height == h && spare_->format == target) return spare_;
  av_frame_free(&spare_);
  if (!(spare_ = av_frame_alloc())) return nullptr;
  spare_->width = width;
  spare_->height = h;
  spare_->format = target;
  if (av_frame_get_buffer(spare_, 64) < 0) {
    av_frame_free(&spare_);
    return nullptr;
  }
  // Cleared once: a pixel the scaler leaves out (the last column of an odd
  // width in some layouts) comes out black, never as stale heap memory.
  for (size_t i = 0; i < 4 && spare_->buf[i]; ++i) std::memset(spare_->buf[i]->data, 0, spare_->buf[i]->size);
  return spare_;
}

}  // namespace

OSErr FfmpegCreateVideoDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out) {
  out->reset();
  // The runtime's own codecs decode the same way on every system.
  if (IsBuiltInAnimation(setup)) return CreateAnimationDecoder(setup, out);
  // Indexed and grey 'raw ' stay with libavcodec here: drawn by libswscale,
  // they equal the command line's pictures in every layout, where our own
  // decoder (Windows') equals them in the RGB layouts only.
  return CreateLibavcodecVideoDecoder(setup, out);
}

OSErr CreateLibavcodecVideoDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out) {
  out->reset();
  std::unique_ptr<FfmpegVideoDecoder> d(new (std::nothrow) FfmpegVideoDecoder);
  if (!d) return memFullErr;
  if (OSErr err = d->Open(setup); err != noErr) return err;
  *out = std::move(d);
  return noErr;
}

}  // namespace tp::qt
