// Decompressor: the decoding behind one decompression sequence. It reads
// the sequence's image description once (VideoCodecs) and, for every sample
// handed to DecodeFrame in decode order, draws that sample's own picture
// into the sequence's graphics world. The built-in uncompressed formats are
// drawn here by our own conversions (PixelConvert), the same on every
// system; everything else goes to the system's decoding back end
// (VideoDecoder), one decoder for the whole sequence.
//
// A sample that codes no picture leaves the world showing the last one: when
// the pixel map has moved since that picture was drawn, it is drawn again at
// the new address.
//
// Asynchronous drawing: given a completion record, DecodeFrame decodes on
// the calling thread and, when the back end can keep the picture apart
// (VideoDecoder::Snapshot), leaves the drawing to the decompressor's own
// drawing thread, which calls the completion procedure when done. The next
// sample may decode meanwhile; only one drawing is in flight, and a new
// drawing, a synchronous one or destruction waits for it first. Otherwise
// (built-in formats, back ends without snapshots, nothing to draw) the
// procedure is called before DecodeFrame returns.
//
// Ownership: the decompressor owns its decoder, its drawing thread and the
// snapshot being drawn, and holds a reference to its world. Not
// thread-safe; the sequence table serialises calls on one sequence.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include <QuickTime/ImageCompression.h>
#include <QuickTime/MacErrors.h>

#include "GWorld.h"
#include "VideoCodecs.h"
#include "VideoDecoder.h"

namespace tp::qt {

class Decompressor {
 public:
  Decompressor(const Decompressor &) = delete;
  Decompressor &operator=(const Decompressor &) = delete;
  ~Decompressor();

  // `description`: a host-form image description with its extensions.
  // badImageDescription / noCodecErr as ReadVideoCodecSetup; noCodecErr or
  // codecErr from the back end (nothing decodes it / it does not open);
  // memFullErr.
  static OSErr Create(std::span<const uint8_t> description, std::shared_ptr<GWorld> world,
                      std::unique_ptr<Decompressor> *out);

  // Decodes one sample and, when `draw`, draws its picture where the
  // world's pixel map points. codecBadDataErr when the sample is corrupt
  // (nothing is drawn; the decoder keeps its state, so later samples
  // decode). A sample that codes no picture of its own draws the last
  // picture again if the pixel map has moved since it was drawn (the world
  // keeps showing it), and succeeds. codecErr when the pixel map points
  // nowhere. With `completion` (its procedure not null), see above: the
  // procedure is called exactly once when this returns noErr, never when it
  // fails.
  OSErr DecodeFrame(const uint8_t *data, int64_t size, bool draw = true,
                    const ICMCompletionProcRecord *completion = nullptr);
  // Waits until no drawing is in flight.
  void WaitForDraw();

  const VideoCodecSetup &setup() const { return setup_; }

 private:
  Decompressor() = default;
  OSErr DecodeRaw(const uint8_t *data, int64_t size, bool draw);
  OSErr DecodeCompressed(const uint8_t *data, int64_t size, bool draw, const ICMCompletionProcRecord *completion);
  OSErr DrawCurrent();
  // Hands the current picture to the drawing thread; false when it cannot
  // (no snapshot, no thread), and nothing was started.
  bool StartDraw(const ICMCompletionProcRecord &completion);
  void DrawLoop();

  VideoCodecSetup setup_;
  std::shared_ptr<GWorld> world_;
  std::unique_ptr<VideoDecoder> decoder_;  // null for the built-in formats
  uint8_t *shownAt_ = nullptr;             // where the decoder's picture was last drawn, or null
  std::vector<uint8_t> scratch_;           // signed-chroma pictures made unsigned

  // The drawing thread, made at the first asynchronous drawing.
  std::thread drawer_;
  // Guards what follows. Taken by the caller's thread (under the sequence's
  // lock) and by the drawing thread; never held while drawing or calling a
  // completion procedure.
  std::mutex drawMutex_;
  std::condition_variable drawChanged_;
  std::unique_ptr<PictureSnapshot> job_;  // the picture to draw next
  DrawTarget jobTarget_{};
  ICMCompletionProcRecord jobCompletion_{};
  bool inFlight_ = false;  // from hand-over until the procedure returned
  bool quit_ = false;
};

// Copies the last column and row of the drawn area (width x height, top
// left) over the rest of the target: the even rounding of odd pictures.
void ReplicateEdges(const DrawTarget &t, int width, int height);
// Zeroes the bytes past each row's pixels in a packed layout (rows are
// padded to 4 bytes), so that memory the world's owner lent keeps nothing
// of what was there before.
void ClearRowPadding(const DrawTarget &t);

}  // namespace tp::qt
