// CQTVideoExtraction: the movie's first video track as uncompressed frames
// in one of seven output layouts (YV12, YUY2, I420, RGB32, RGB24, RGB555,
// RGB565), in presentation order, with frame-exact seeking.
//
// Set-up: the constructor reads the track's geometry, time scale and sample
// description; SetOutputSubtype picks the layout; ExtractionBegin builds the
// decoding chain (sample buffer, graphics world, DIB section for 32/24 bits,
// decompression sequence, frame pool) and decodes the first frames;
// ExtractionEnd tears it all down. Samples are read in decode order and
// decompressed straight into pool blocks (the world's pixel map points at
// the block while its sample decodes); up to three wait in the queue and
// GetNextSample delivers the earliest presentation time. Where the runtime
// can keep pictures undrawn, it does so instead, and each picture is drawn
// once, when its frame is delivered, straight into the caller's buffer: the
// blocks then hold only their records.
//
// Times: frames are stamped in movie time, in the media's time scale. The
// track's first edit that plays media maps its media start to its movie
// start (a composition delay written as an edit offset comes out at 0, an
// empty first edit delays the picture); without an edit list media time is
// movie time. A movie with several edits keeps the first playing edit's
// mapping for the whole media: later edits are not applied, and an edit rate
// other than 1.0 plays at 1.0. GetDuration is the track's end in movie time.
// A seek to T delivers, in display order and with no gap, every frame still
// showing after T, starting with the one shown at T (which may start before
// T); frames decoded on the way that stop showing by T are not drawn. The
// first edit's start is such a seek.
//
// Orientation: the track header's matrix turns the picture (quarter turns
// and mirroring, FrameOrientation.h); the output type has the displayed width
// and height, and each frame is turned on its way into the caller's buffer.
// The world and the frame blocks keep the picture as stored. A host that
// wants the stored orientation says so in the registry before the movie is
// opened (StoredOrientationAsked, FrameOrientation.h).
//
// Ownership: the movie session owns this object and the movie; the object
// owns its image description, sample buffer, world, DIB section, sequence
// and pool. The grabber is borrowed.
//
// Decoding ahead: from the first GetNextSample on, samples are decoded on a
// thread of the track's own (DecodeAhead), up to two frames beyond the three
// the queue holds (or as many as the runtime may hold pictures back, when
// more), so that the caller's copy of one frame overlaps the decoding of the
// next. Each sample goes in with its display time, so the runtime may decode
// with frame threads and finish a picture after later samples went in: a
// frame joins the queue when its sample went in and is delivered once its
// picture is drawn; seeks cancel the pictures still held, and the end of
// the track lets them out. Every call that moves or rebuilds the decoding state
// (SetPosition, MoveForward, the set-up calls, Position) first holds that
// thread between two samples and does its work on the calling thread, as
// before; ExtractionEnd and the destructor end the thread. The frames are
// the same, in the same order, as when the caller decodes them itself.
//
// Threads: the video stream serialises GetNextSample (worker thread) with
// SetPosition and the set-up calls (control threads). The decoding thread
// touches the decoding state (position, the world, the sequence, the hidden
// frame marks) only while no call is inside it (DecodeAhead's pause).
#pragma once

#include <atomic>

#include <windows.h>
#include <strmif.h>
#include <amvideo.h>

#include "QuickTime/ImageCompression.h"
#include "QuickTime/Movies.h"
#include "engine/CQTMediaExtraction.h"
#include "engine/DecodeAhead.h"
#include "engine/DrawTickets.h"
#include "engine/FramePool.h"
#include "engine/FrameOrientation.h"
#include "engine/FrameQueue.h"

class IMediaSampleGrabber;
struct PlaneLayout;

class CQTVideoExtraction : public CQTMediaExtraction {
 public:
  explicit CQTVideoExtraction(Movie theMovie);
  ~CQTVideoExtraction() override;

  // IMediaExtraction
  // 0 on success (also when already started); -1 for the engine's own
  // failures (no usable track, no subtype, memory) or the runtime's error.
  LONG ExtractionBegin() override;
  // Writes the next frame into buffer in the current layout; *size is the
  // buffer's capacity and is left unchanged. Nothing is written past it.
  // -1 at the end of the track, for a null buffer or size, or when not
  // started.
  LONG GetNextSample(BYTE *buffer, LONG *size, LONGLONG *start, LONGLONG *duration) override;
  LONG ExtractionEnd() override;
  // Seeks to movie time *time and writes back the time of the first frame
  // that will be delivered, the one shown at *time. Not started, or nothing
  // left to show: *time is left unchanged.
  void SetPosition(LONGLONG *time) override;
  // The picture time of the last sync sample whose picture shows at or
  // before `time`; `time` itself when there is none. Needs no decoding.
  LONGLONG KeyFrameTime(LONGLONG time) override;
  // format: a VIDEOINFOHEADER of at least size bytes. -1 for a null
  // subtype or format, or a block too small for the header.
  LONG FillMediaInfo(void *format, LONG size, const GUID *subtype) override;
  LONG GetBufferSize() override;
  void GetSupportedSubtypes(std::vector<GUID> *subtypes) override;
  void SetOutputSubtype(const GUID *subtype) override;
  LONG SetOutputStride(LONG pixels) override;
  // Skips ahead by *delta media units; 0, or -1 when not started.
  LONG MoveForward(LONGLONG *delta) override;
  LONG SetSampleGrabber(IMediaSampleGrabber *grabber) override;

  // Whether the runtime can decode this track, asked once when the movie is
  // loaded: a decompression sequence for the track's description is opened
  // into a small world and ended at once. 0; noCodecErr when nothing on this
  // system decodes the codec; the runtime's other refusal (a decoder that
  // will not open); -1 when the track's set-up stopped early. Not while
  // started.
  LONG ProbeDecoder();
  // The codec type of the track's description (0 when unread).
  OSType CodecType() const;

  // Inspection for tools and tests.
  const VIDEOINFOHEADER &VideoInfo() const { return videoInfo; }
  OSType PixelFormat() const { return pixelFormat; }
  bool Started() const { return started; }
  REFERENCE_TIME AvgTimePerFrame() const { return avgTimePerFrame; }
  // How frames are turned for display (identity when the stored orientation
  // was asked for or the matrix is not a turn).
  FrameOrientation Orientation() const { return orientation; }
  // Holds the decoding thread while it reads.
  LONGLONG Position();
  LONGLONG MediaDuration() const { return mediaDuration; }
  // Movie time = media time + MovieOffset(), in media units.
  LONGLONG MovieOffset() const { return movieOffset; }
  // The decode time of the sync sample a seek to media time target starts
  // from: the nearest one whose picture shows at or before the target.
  LONGLONG FindSyncSampleForTesting(LONGLONG target) { return FindSyncSample(target); }
  // Test seam: false hands samples to the runtime without display times,
  // so every picture is finished in its own call (no frame threads).
  static void DeferPicturesForTesting(bool defer);

 private:
  // Whether samples go in with their display times (the test seam above).
  static bool DeferringPictures();
  enum class DecodeResult { Frame, Skipped, End };
  // Frames for the queue are drawn into a pool block; frames decoded on the
  // way to a seek point only advance the decoder and are never drawn.
  enum class DecodeFor { Queue, SeekOnly };

  // The media's samples, walked by decode time; when that walk finds none,
  // the samples that movie time meets.
  LONG CountVideoSamples();
  LONG CountMovieSamples();
  // Sets movieOffset, firstMediaTime and the duration in movie time from the
  // track's edits.
  void ReadEditList();
  // Sets orientation from the track's matrix (and the registry value) and
  // gives videoInfo the displayed size.
  void ReadOrientation();
  DecodeResult DecodeNextFrame(DecodedFrame **frame, DecodeFor purpose = DecodeFor::Queue);
  // Tops the queue up to three frames: from the decoding thread when it is
  // active, else decoded here.
  void FillFrameQueue();
  // Collects `frame`'s drawing, waiting for it; false when the drawing
  // failed (the block holds no picture). Only for a picture that needs no
  // more samples to come out (see AwaitDraw).
  bool FinishDraw(DecodedFrame *frame);
  // Waits until `frame`'s picture is drawn, feeding the runtime the later
  // samples it may need first (or letting the decoding thread do so);
  // false when the drawing failed.
  bool AwaitDraw(DecodedFrame *frame);
  // Whether the runtime still holds `frame`'s picture once the drawing in
  // flight is done: then only the end of the run lets it out.
  bool PictureHeld(const DecodedFrame *frame);
  // Sorts the queue and returns its first frame once drawn; frames whose
  // drawing failed are dropped and the queue topped up. Null when empty.
  DecodedFrame *ReadyFront();
  // No more samples in this run (the end, a read failure): the runtime lets
  // every held picture out. Returns End.
  DecodeResult EndOfSamples();
  // Cancels the pictures the runtime holds (their drawings complete with
  // an error at once): before decoding starts again elsewhere.
  void CancelPictures();
  // The decoding thread's step, and its stall hook.
  static DecodeAhead::Step DecodeAheadStep(void *self, DecodedFrame **frame);
  static void DecodeAheadStalled(void *self);
  LONGLONG FindSyncSample(LONGLONG target);
  void DecodeUpTo(LONGLONG target);
  // Gives the queued frames and those decoded ahead back to the pool; the
  // decoding thread must be paused or stopped.
  void ReleaseQueuedFrames();
  // The frame's three planes from its 'y420' header, checked against the
  // bytes the frame holds. false when the header points outside them.
  bool PlanesOf420(const DecodedFrame &frame, PlaneLayout *layout) const;
  // Fills the layout and copies the frame into buffer; returns the frame
  // length the grabber sees and, in *grabbed, where its bytes start (the
  // frame block, or the buffer when the picture was turned on the way).
  LONG CopyFrame(const DecodedFrame &frame, BYTE *buffer, LONG size, PlaneLayout *layout, LONG *bottomUp,
                 BYTE **grabbed) const;
  // The layout the world is drawn in: the output's, but 4:2:0 for YUY2 after
  // a quarter turn.
  OSType WorldFormat() const;
  // The caller's buffer as the output layout lays it out, at the output
  // stride: the one place that knows where its rows lie.
  OutputView Destination(BYTE *buffer, LONG size) const;
  // Draws a kept picture (frame.keptRef) straight into the buffer, where
  // Destination lays its planes out, when it lies there whole and unturned;
  // else into the world's own pixels (frame.pixels) and copied as CopyFrame
  // does. Fills the grabber's view either way. false when the runtime could
  // not draw it (the frame is then skipped).
  bool DeliverKept(DecodedFrame &frame, BYTE *buffer, LONG size, PlaneLayout *layout, LONG *bottomUp, BYTE **grabbed,
                   LONG *frameLength);
  // The turned copy: the grabber is then shown the buffer as delivered.
  LONG CopyTurnedFrame(const DecodedFrame &frame, const OutputView &out, PlaneLayout *layout) const;
  void HandToGrabber(DecodedFrame &frame, BYTE *bytes, LONG frameLength, PlaneLayout *layout, LONG bottomUp);

  bool started;
  ImageSequence sequence;
  ImageDescriptionHandle imageDescription;
  Handle sampleData;
  GWorldPtr gworld;
  OSType pixelFormat;
  FrameQueue frameQueue;
  FramePool *framePool;
  REFERENCE_TIME avgTimePerFrame;  // exact media duration / sample count, 100 ns
  HBITMAP dibSection;
  Ptr worldPixels;    // the world's own memory, where its pixel map pointed at first
  size_t worldBytes;  // row bytes x height: what one picture of the world spans
  IMediaSampleGrabber *sampleGrabber;
  LONG formatChanged;
  AM_MEDIA_TYPE mediaType;
  VIDEOINFOHEADER videoInfo;  // the output: displayed width and height
  // Pixels from one output row to the next (0: the output's width): a
  // renderer's surface may be wider than the picture.
  LONG outputStride = 0;
  FrameOrientation orientation;
  LONG pictureWidth = 0;  // the picture as stored, its own size (may be odd)
  LONG pictureHeight = 0;
  LONG storedWidth = 0;  // the world's size: the stored picture rounded up to even
  LONG storedHeight = 0;
  LONGLONG mediaDuration;   // the media's own duration: where decoding ends
  LONGLONG movieOffset;     // movie time - media time, media units
  LONGLONG firstMediaTime;  // media time where the first playing edit starts
  // Frames that stop showing at or before this media time are decoded but
  // not drawn (a seek's target, or the first edit's start).
  LONGLONG showFrom;
  LONGLONG lastHidden;  // the latest presentation time decoded but not drawn
  bool hiddenAny;       // whether lastHidden holds one since the last seek
  // true: every frame starting before showFrom is hidden, whatever its
  // duration (a seek redone on the frame on screen).
  bool hideAllBefore;
  // The position where the queue's last top-up stopped reading: after its
  // last frame, or the end. Later samples may have been decoded ahead.
  LONGLONG queuedTo = 0;
  // The decoding thread could not be started: decode on the caller's.
  bool decodeOnCaller = false;
  // The most samples whose pictures the runtime may hold back (0: every
  // picture is finished in its own call, or soon after on its own).
  LONG pendingLimit = 0;
  // Samples went to the runtime since the run last ended or was cancelled.
  bool runOpen = false;
  // The runtime keeps each picture undrawn until the frame is delivered
  // (deferred runs on a runtime that can): the frame blocks then hold no
  // pixels, and each picture is drawn once, into the pin's buffer.
  bool keepPictures = false;
  // ioErr or eofErr once a sample's data could not be read (the decoding
  // thread may set it); 0 otherwise, and again after a seek.
  std::atomic<LONG> readFault{0};
  // The pictures this track's runtime draws late (every ticket is collected
  // before the track goes).
  DrawTickets drawTickets;
  // Declared last: destroyed (its thread ended) before the state it decodes.
  DecodeAhead decodeAhead;
};
