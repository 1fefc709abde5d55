// VideoDecoder: the system-specific half of video decoding. A decompression
// sequence (Decompressor) owns one decoder for its whole life and hands it
// the samples of one image description in decode order; the decoder keeps
// the picture of the latest sample that coded one and draws it on request.
// The built-in uncompressed formats never reach a decoder: the Decompressor
// draws them itself (PixelConvert), the same way on every system.
//
// The back end is chosen when the runtime is built: libavcodec and
// libswscale on Linux (ffmpeg/), the system's own codecs on Windows
// (windows/). Each back end defines CreateVideoDecoder.
//
// What a back end must do:
// - CreateVideoDecoder: open a decoder for `setup` (its `codec` name, or the
//   importer's `decoderName`, its set-up bytes in `extradata`, its size).
//   noCodecErr when the system has nothing that decodes it (the sequence is
//   refused and the engine ends that track cleanly); codecErr when a decoder
//   exists but will not open; memFullErr.
// - Decode: decode one sample inside the call (the caller reads the world
//   as soon as the call returns). The picture that counts is the sample's
//   OWN picture, not the next one in display order: a decoder that holds a
//   reference frame back behind B-frames must still say which picture this
//   sample coded, because the caller labels it with the sample's display
//   time and sorts. *gotPicture is false for a sample that codes no picture
//   (the previous one stays current). A corrupt sample is codecBadDataErr
//   and must leave the decoder able to take the next samples.
// - Draw: draw the current picture at its own size into the top-left corner
//   of `target` (never scaled; clipped to the target), in the target's
//   layout, and say how much was drawn; the caller repeats the last column
//   and row over the rest. A back end whose pictures come out in one of our
//   PixelLayouts may use DrawPicture (PixelConvert.h) for this: kNV12,
//   kYUYV422 (YUY2) and kYUV420P (I420, or YV12 with the chroma planes
//   swapped) draw into every world layout, so no system colour converter is
//   needed.
// - Snapshot (optional): the current picture, held by reference, to be drawn
//   later on another thread while the decoder goes on decoding. A back end
//   that cannot keep a picture apart from its decoder returns null, and the
//   caller draws synchronously.
//
// Deferred pictures (optional; a back end that answers CanDefer() true):
// samples go in with Send, in decode order, each with the caller's tag (a
// number that grows by one per sample sent) and its display time (the
// sample table's composition time: it orders the pictures, and a back end
// whose decoder rewrites the stamps it is handed matches pictures to samples
// by it). Pictures come out of Receive in display order, each labelled with
// its sample's tag, possibly after later samples went in: frame threads, and
// a decoder that holds a reference picture back behind its B-frames, hand
// pictures out late. Every sample sent comes out of Receive exactly once,
// with its picture or with an error (codecBadDataErr for a corrupt sample,
// or a sample that coded no picture of its own). What a back end holds is
// bounded: at most MaxDelay() samples sent and not yet received. Drain makes
// everything sent come out (the end of the samples, or a caller that needs
// every picture now); after Drain the next sample sent starts a new run at a
// sync sample, as after Flush, which forgets everything sent and not yet
// received (a seek, a jump). A back end whose decoder ignores drain or flush
// makes up for it itself (a new decoder instance, say).
//
// Threads: a decoder is used by one sequence, whose lock serialises calls.
// A snapshot draws on the sequence's drawing thread, at most one at a time,
// alongside calls on the decoder; it may use state the decoder keeps for it,
// so the decoder outlives its snapshots.
#pragma once

#include <cstdint>
#include <memory>

#include <QuickTime/MacErrors.h>

#include "pixels/GWorld.h"
#include "codecs/VideoCodecs.h"

namespace tp::qt {

// A decoded picture kept for drawing later; see Snapshot above.
class PictureSnapshot {
 public:
  virtual ~PictureSnapshot() = default;
  // As VideoDecoder::Draw, for the picture kept.
  virtual OSErr Draw(const DrawTarget &target, int *width, int *height) = 0;
  // The current picture for a later draw, or null (none, or not supported).
  virtual std::unique_ptr<PictureSnapshot> Snapshot() { return nullptr; }
};

class VideoDecoder {
 public:
  virtual ~VideoDecoder() = default;

  // Decodes one sample (size > 0); see above.
  virtual OSErr Decode(const uint8_t *data, int64_t size, bool *gotPicture) = 0;
  // Whether any picture has been decoded yet.
  virtual bool HasPicture() const = 0;
  // Draws the current picture; codecErr when there is none or it cannot be
  // drawn in this layout. *width, *height: the area drawn.
  virtual OSErr Draw(const DrawTarget &target, int *width, int *height) = 0;
  // The current picture for a later draw, or null (none, or not supported).
  virtual std::unique_ptr<PictureSnapshot> Snapshot() { return nullptr; }

  // Deferred pictures; see above. A back end that does not defer keeps
  // these defaults and is driven by Decode alone.
  struct Output {
    uint64_t tag = 0;
    OSErr result = noErr;                      // noErr with a picture, else why not
    std::unique_ptr<PictureSnapshot> picture;  // null unless result is noErr
  };
  virtual bool CanDefer() const { return false; }
  // Whether the pictures of a deferred run may be kept, as snapshots, for
  // as long as the caller likes while later samples decode (a back end
  // whose pictures come from a fixed pool would run dry).
  virtual bool SnapshotsMayWait() const { return false; }
  // The most samples sent and not yet received at any time.
  virtual int MaxDelay() const { return 0; }
  // One sample (size > 0) in decode order. An error here means the sample
  // was not taken and will not come out of Receive.
  virtual OSErr Send(const uint8_t * /*data*/, int64_t /*size*/, uint64_t /*tag*/, int64_t /*displayTime*/) {
    return unimpErr;
  }
  // The next sample that is out, in display order; false when none is yet.
  virtual bool Receive(Output * /*out*/) { return false; }
  virtual OSErr Drain() { return noErr; }
  virtual void Flush() {}
};

OSErr CreateVideoDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out);

}  // namespace tp::qt
