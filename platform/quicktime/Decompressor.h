// Decompressor: the decoding behind one decompression sequence. It reads
// the sequence's image description once (VideoCodecs), opens one libavcodec
// decoder for the whole sequence (or none for the built-in uncompressed
// formats) and, for every sample handed to DecodeFrame in decode order,
// draws that sample's own picture into the sequence's graphics world.
//
// Reordering: a decoder holds back a picture that displays after pictures
// still to come (the P frame ahead of its B frames) and hands it out only
// later. The world, though, must show the picture of the sample just decoded,
// because its caller labels what it reads with that sample's display time and
// sorts by it. So the decoder's frame buffers are allocated through us: the
// buffer that the decoder fills while decoding the sample holds that
// sample's finished picture when decoding returns, whether or not the decoder
// releases it yet. Pictures the decoder does hand out are matched to their
// sample by a tag in the packet's pts and preferred when they match. For
// this, decoding runs on the calling thread (slice threads only; the count
// comes from TP_DECODE_THREADS, default 1). Converting a decoded picture
// into the world's layout runs in slices on the scaler's own threads (one
// per processor, at most four), which have all finished when the call
// returns.
//
// Ownership: the decompressor owns its libavcodec and libswscale contexts
// and holds a reference to its world. Not thread-safe; the sequence table
// serialises calls on one sequence.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <QuickTime/MacErrors.h>

#include "GWorld.h"
#include "VideoCodecs.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace tp::qt {

class Decompressor {
 public:
  ~Decompressor();
  Decompressor(const Decompressor &) = delete;
  Decompressor &operator=(const Decompressor &) = delete;

  // `description`: a host-form image description with its extensions.
  // badImageDescription / noCodecErr as ReadVideoCodecSetup; codecErr when
  // the decoder does not open; memFullErr.
  static OSErr Create(std::span<const uint8_t> description, std::shared_ptr<GWorld> world,
                      std::unique_ptr<Decompressor> *out);

  // Decodes one sample and, when `draw`, draws its picture where the
  // world's pixel map points. codecBadDataErr when the sample is corrupt
  // (nothing is drawn; the decoder keeps its state, so later samples
  // decode). A sample that codes no picture of its own draws the last
  // picture again if the pixel map has moved since it was drawn (the world
  // keeps showing it), and succeeds. codecErr when the pixel map points
  // nowhere.
  OSErr DecodeFrame(const uint8_t *data, int64_t size, bool draw = true);

  const VideoCodecSetup &setup() const { return setup_; }
  bool usesLibavcodec() const { return ctx_ != nullptr; }

 private:
  Decompressor() = default;
  OSErr DecodeRaw(const uint8_t *data, int64_t size, bool draw);
  OSErr DecodeCompressed(const uint8_t *data, int64_t size, bool draw);
  OSErr DrawFrame(const AVFrame *frame, int width, int height);
  OSErr Draw(const uint8_t *const src[4], const int srcStride[4], AVPixelFormat format, int width, int height);
  // A decoder's picture converted into the world by the scaler's slice
  // threads; kNotConverted when the picture is a plain copy (Draw's case).
  OSErr DrawConverted(const AVFrame *frame, int width, int height);
  static constexpr OSErr kNotConverted = 1;
  // The scaler for one size and pair of layouts, made again when they
  // change; false when it cannot be made.
  bool Converter(int width, int height, AVPixelFormat from, AVPixelFormat to);
  static int GetBuffer(AVCodecContext *ctx, AVFrame *frame, int flags);

  VideoCodecSetup setup_;
  std::shared_ptr<GWorld> world_;
  AVCodecContext *ctx_ = nullptr;
  AVPacket *packet_ = nullptr;
  AVFrame *received_ = nullptr;
  AVFrame *matched_ = nullptr;   // output picture tagged with the current sample
  AVFrame *latest_ = nullptr;    // last output picture of the current call
  AVFrame *captured_ = nullptr;  // last buffer allocated while decoding the current sample
  AVFrame *shown_ = nullptr;     // the last picture decoded, drawn or not
  uint8_t *shownAt_ = nullptr;   // the base address it was last drawn at, or null
  int shownWidth_ = 0, shownHeight_ = 0;
  SwsContext *sws_ = nullptr;
  int swsWidth_ = 0, swsHeight_ = 0;
  AVPixelFormat swsFrom_ = AV_PIX_FMT_NONE, swsTo_ = AV_PIX_FMT_NONE;
  AVFrame *swsSource_ = nullptr;  // references held only across one conversion
  AVFrame *swsTarget_ = nullptr;
  int64_t nextTag_ = 0;
  bool capturing_ = false;
  bool captured_this_call_ = false;
  std::vector<uint8_t> scratch_;  // signed-chroma pictures made unsigned
};

// Copies the last column and row of the drawn area (width x height, top
// left) over the rest of the target: the even rounding of odd pictures.
// FFmpeg's name for one of our pixel layouts (AV_PIX_FMT_NONE for kNone).
AVPixelFormat ToAvPixelFormat(PixelLayout layout);
void ReplicateEdges(const DrawTarget &t, int width, int height);

}  // namespace tp::qt
