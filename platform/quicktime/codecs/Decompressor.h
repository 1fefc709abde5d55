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
// Deferred runs: when the back end can hold pictures back
// (VideoDecoder::CanDefer) and a run of samples starts with a call that
// carries a frame time, the whole run goes through the deferred interface:
// each sample is sent with a tag, and its picture is drawn, on the drawing
// thread, into the target its call saw, whenever the back end hands it out
// (possibly after later samples went in). A run starts at creation and
// after Flush or Drain; its first call decides, for the whole run:
// - with a frame time (and a back end that defers): deferred. In it, calls
//   with a completion record are completed when their picture is drawn (or
//   with the back end's error); calls without one that do not draw
//   (codecFlagNoScreenUpdate, samples on the way to a seek point) only feed
//   the decoder and their pictures are dropped; a call without one that
//   draws (a synchronous call) ends the run: every earlier picture comes
//   out and is completed, then its own picture is drawn before the call
//   returns, and the next sample must start a new run at a sync sample.
// - otherwise: synchronous, as above, frame times ignored.
// Flush cancels a deferred run (every pending completion is called with
// codecAbortErr, in the call); Drain ends it (every picture comes out).
//
// Kept pictures: a call of a deferred run with a completion record and
// `keep` (on a back end whose snapshots may wait) has its picture kept
// undrawn when it comes out; its completion then says it is ready, and
// DrawKept draws it later, once, into memory the caller names at that
// time (the buffer that goes downstream), so that the picture is passed
// over once. Flush forgets the kept pictures; Drain keeps them.
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

#include "pixels/GWorld.h"
#include "codecs/VideoCodecs.h"
#include "codecs/VideoDecoder.h"

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
  // `frameTime` (its recordSize checked by the caller) starts a deferred
  // run, see above; its value is the sample's display time.
  // `keep`: see "Kept pictures" above; ignored without a completion record.
  // A run that is not deferred keeps the sample's snapshot instead (or
  // completes with codecErr when there is none).
  OSErr DecodeFrame(const uint8_t *data, int64_t size, bool draw = true,
                    const ICMCompletionProcRecord *completion = nullptr, const ICMFrameTimeRecord *frameTime = nullptr,
                    bool keep = false);
  // Whether pictures can be kept for DrawKept.
  bool KeepsPictures() const;
  // Draws the picture kept under `refCon` (its completion's refcon) into
  // `planes` / `rowBytes` (picture order, the world's layout and size), or
  // where the world's pixel map points when planes is null, and forgets
  // it. paramErr when no such picture is kept; codecErr when a row step is
  // too short for the layout. Runs on the calling thread, outside the
  // sequence's lock: the next samples decode meanwhile.
  OSErr DrawKept(long refCon, uint8_t *const *planes, const int32_t *rowBytes);
  // Waits until no drawing is in flight.
  void WaitForDraw();
  // Cancels the pictures held back: each pending completion is called with
  // codecAbortErr before this returns. A drawing in flight finishes first.
  void Flush();
  // Ends a deferred run: every picture held back comes out and is drawn.
  // True while a completion is still to be called (the last drawing).
  bool Drain();
  // The most samples whose pictures may be held back at once; 0 when
  // pictures are always finished in their own call.
  int PendingLimit() const;
  // Waits for the drawing in flight, then counts the samples with a
  // completion record whose pictures the back end still holds.
  int HeldCount();

  const VideoCodecSetup &setup() const { return setup_; }

 private:
  Decompressor() = default;
  OSErr DecodeRaw(const uint8_t *data, int64_t size, bool draw);
  OSErr DecodeCompressed(const uint8_t *data, int64_t size, bool draw, const ICMCompletionProcRecord *completion);
  OSErr DrawCurrent();
  // Hands the current picture to the drawing thread; false when it cannot
  // (no snapshot, no thread), and nothing was started.
  bool StartDraw(const ICMCompletionProcRecord &completion);
  // Hands `picture` (taken only on success) to the drawing thread.
  bool StartDraw(std::unique_ptr<PictureSnapshot> &picture, const DrawTarget &target,
                 const ICMCompletionProcRecord &completion);
  void DrawLoop();

  // A sample of the deferred run whose picture has not come out yet.
  struct Pending {
    uint64_t tag = 0;
    bool draw = false;  // its picture goes into `target`
    bool keep = false;  // its picture is kept for DrawKept instead
    bool hasCompletion = false;
    ICMCompletionProcRecord completion{};
    DrawTarget target{};  // where the pixel map pointed at the call
  };
  enum class Run { kNone, kSync, kDeferred };
  OSErr DecodeDeferred(const uint8_t *data, int64_t size, bool draw, const ICMCompletionProcRecord *completion,
                       const ICMFrameTimeRecord *frameTime, bool keep);
  // Keeps `picture` under the completion's refcon and completes it.
  void Keep(const ICMCompletionProcRecord &completion, std::unique_ptr<PictureSnapshot> picture);
  // Waits until no drawing is in flight and marks one in flight on the
  // calling thread (the snapshots share one scaler); ReleaseDrawing ends it.
  void ClaimDrawing();
  void ReleaseDrawing();
  // Takes what the back end hands out and finishes each picture; the one
  // tagged `keep` (if any) is moved to *kept instead.
  void CollectOutputs(const uint64_t *keep = nullptr, VideoDecoder::Output *kept = nullptr);
  void Finish(const Pending &p, VideoDecoder::Output &out);
  // Drains the run; the output tagged `keep` is moved to *kept.
  void EndRun(const uint64_t *keep, VideoDecoder::Output *kept);

  Run run_ = Run::kNone;
  uint64_t nextTag_ = 0;
  int64_t lastDisplayTime_ = 0;
  std::vector<Pending> pending_;  // in the order sent

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
  // Pictures kept for DrawKept, oldest first, at most kMaxKept.
  struct Kept {
    long refCon = 0;
    std::unique_ptr<PictureSnapshot> picture;
  };
  static constexpr size_t kMaxKept = 64;
  std::vector<Kept> kept_;
  bool inFlight_ = false;       // from hand-over until the procedure returned (or a kept picture drawn)
  bool completionDue_ = false;  // from hand-over until just before the procedure is called
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
