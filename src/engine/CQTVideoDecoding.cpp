// CQTVideoExtraction, the decoding side: samples read in decode order and
// decompressed into frame blocks, on the caller's thread or the track's own
// decoding thread (DecodeAhead); the bookkeeping of pictures the runtime
// draws after their call returned (draw tickets, held pictures, the end of a
// run); and seeking. Set-up is in CQTVideoExtraction.cpp, the copy out in
// CQTVideoFrameCopy.cpp.
#include <atomic>

#include "QuickTime/ImageCompression.h"
#include "QuickTime/Movies.h"
#include "engine/CQTVideoExtraction.h"
#include "trace/Trace.h"

namespace {

// Test seam: false hands samples in without frame times, so the runtime
// finishes each picture in its own call.
std::atomic<bool> g_deferPictures{true};

// Holds the track's decoding thread for the life of a call that moves or
// reads the decoding state.
class PausedDecoding {
 public:
  PausedDecoding(DecodeAhead &ahead, bool repositions) : ahead_(ahead), repositions_(repositions) { ahead_.Pause(); }
  ~PausedDecoding() { ahead_.Resume(repositions_); }
  PausedDecoding(const PausedDecoding &) = delete;
  PausedDecoding &operator=(const PausedDecoding &) = delete;

 private:
  DecodeAhead &ahead_;
  const bool repositions_;
};

bool IsSyncSample(MediaSampleFlags flags) {
  if (flags == 0) return true;
  if ((flags & mediaSampleNotSync) != 0) return false;
  return (flags & (mediaSampleEarlierDisplayTimesAllowed | mediaSampleDoesNotDependOnOthers |
                   mediaSampleIsDependedOnByOthers)) != 0;
}

// One sample of a media's table, as GetMediaSample2 describes it.
struct SampleAt {
  ByteCount size = 0;
  TimeValue64 decodeTime = 0;
  TimeValue64 decodeDuration = 0;
  TimeValue64 displayOffset = 0;
  ItemCount samples = 0;
  MediaSampleFlags flags = 0;
};

// The sample at media time `t`, its bytes into `buffer` (up to `capacity`;
// none read when `buffer` is null).
OSErr ReadSampleAt(Media media, TimeValue64 t, UInt8 *buffer, ByteCount capacity, SampleAt *out) {
  ItemCount descIndex = 0;
  return GetMediaSample2(media, buffer, capacity, &out->size, t, &out->decodeTime, &out->decodeDuration,
                         &out->displayOffset, nullptr, &descIndex, buffer != nullptr ? 1 : 0, &out->samples,
                         &out->flags);
}

}  // namespace

CQTVideoExtraction::DecodeResult CQTVideoExtraction::DecodeNextFrame(DecodedFrame **frame, DecodeFor purpose) {
  *frame = nullptr;
  if (sampleData == nullptr || *sampleData == nullptr) return DecodeResult::End;
  if (position >= mediaDuration) return EndOfSamples();
  SampleAt sample;
  OSErr err = ReadSampleAt(media, position, reinterpret_cast<UInt8 *>(*sampleData),
                           static_cast<ByteCount>(maxSampleSize), &sample);
  const auto &[size, decodeTime, decodeDuration, displayOffset, samples, flags] = sample;
  if (err != noErr || size == 0) {
    TraceW8(TEXT("GetMediaSample2 at time(%d), failed(%d)"), static_cast<int>(position), static_cast<int>(err));
    // The data is gone (the file shrank, or its device failed): not the
    // track's end, which the caller must be able to tell apart.
    if (err == ioErr || err == eofErr) readFault.store(err);
    return EndOfSamples();
  }
  if (samples > 1) TraceW8(TEXT("Skip (%d) frames \n"), static_cast<int>(samples - 1));
  lastDuration = static_cast<LONGLONG>(samples) * decodeDuration;
  const LONGLONG next = decodeTime + lastDuration;
  // A sample that would not move the position on would be read forever.
  if (next <= position) {
    TraceW8(TEXT("GetMediaSample2 at time(%d), failed(%d)"), static_cast<int>(position), -1);
    return EndOfSamples();
  }
  const LONGLONG readFrom = position;
  position = next;
  // A frame that stops showing by the seek target is only decoded.
  const LONGLONG presentation = decodeTime + displayOffset;
  if (presentation < showFrom && (hideAllBefore || presentation + lastDuration <= showFrom)) {
    purpose = DecodeFor::SeekOnly;
    if (!hiddenAny || presentation > lastHidden) lastHidden = presentation;
    hiddenAny = true;
  }
  // The display time goes with every sample: with it the runtime may hold
  // pictures back (frame threads) and finish them after later samples.
  ICMFrameTimeRecord when{};
  when.value.lo = static_cast<UInt32>(static_cast<ULONGLONG>(presentation) & 0xffffffffu);
  when.value.hi = static_cast<SInt32>(presentation >> 32);
  when.scale = timeScale;
  when.recordSize = sizeof when;
  const ICMFrameTimeRecord *frameTime = g_deferPictures.load() ? &when : nullptr;
  if (purpose == DecodeFor::SeekOnly) {
    err = DecompressSequenceFrameWhen(sequence, reinterpret_cast<Ptr>(*sampleData), static_cast<SInt32>(size),
                                      codecFlagNoScreenUpdate, nullptr, nullptr, frameTime);
    if (err != noErr) TraceW8(TEXT("DecompressSequenceFrameWhen failed(%d)"), static_cast<int>(err));
    runOpen = true;
    return DecodeResult::Skipped;
  }
  // The picture is drawn straight into its frame block: the world's pixel
  // map points at the block while the sample decodes. Without a block the
  // sample is only decoded, and its picture dropped.
  PixMapHandle pixMap = GetGWorldPixMap(gworld);
  if (pixMap == nullptr || *pixMap == nullptr || worldPixels == nullptr) return DecodeResult::End;
  // Blocks are made at least worldBytes long (ExtractionBegin).
  DecodedFrame *out = framePool != nullptr ? framePool->Acquire() : nullptr;
  // A kept picture is drawn when its frame is delivered (DeliverKept): into
  // the pin's buffer, or else the world's own pixels, which the frame then
  // names.
  const bool keep = out != nullptr && keepPictures && frameTime != nullptr;
  if (keep) out->pixels = reinterpret_cast<BYTE *>(worldPixels);
  // Written only when it moves: a kept picture may be drawing into the
  // world on the reader's thread, which reads it.
  const Ptr target = out != nullptr && !keep ? reinterpret_cast<Ptr>(out->pixels) : worldPixels;
  if ((*pixMap)->baseAddr != target) (*pixMap)->baseAddr = target;
  // The runtime may draw (or keep) the picture while later samples decode:
  // the block is delivered only once that is done (AwaitDraw).
  ICMCompletionProcRecord drawn{&DrawTickets::Done, 0};
  if (out != nullptr) drawn.completionRefCon = out->drawTicket = drawTickets.Issue();
  if (keep) out->keptRef = out->drawTicket;
  const CodecFlags inFlags = out == nullptr ? codecFlagNoScreenUpdate : keep ? codecFlagKeepPicture : 0;
  err = DecompressSequenceFrameWhen(sequence, reinterpret_cast<Ptr>(*sampleData), static_cast<SInt32>(size), inFlags,
                                    nullptr, out != nullptr ? &drawn : nullptr, frameTime);
  runOpen = true;
  if (err != noErr) {
    TraceW8(TEXT("DecompressSequenceFrameWhen failed(%d)"), static_cast<int>(err));
    if (out != nullptr) {
      // A failed call never completes.
      out->drawTicket = 0;
      out->keptRef = 0;
      framePool->Release(out);
    }
    return DecodeResult::Skipped;
  }
  if (out == nullptr) return DecodeResult::End;
  out->byteCount = static_cast<LONG>(worldBytes);
  out->pixelRowBytes = QTGetPixMapHandleRowBytes(pixMap);
  out->presentationTime = presentation + movieOffset;
  out->frameDuration = lastDuration;
  out->readFrom = readFrom;
  out->readTo = position;
  *frame = out;
  return DecodeResult::Frame;
}

bool CQTVideoExtraction::FinishDraw(DecodedFrame *frame) {
  if (frame == nullptr || frame->drawTicket == 0) return true;
  const OSErr err = drawTickets.Wait(frame->drawTicket);
  frame->drawTicket = 0;
  if (err != noErr) TraceW8(TEXT("DecompressSequenceFrameWhen drawing failed(%d)"), static_cast<int>(err));
  return err == noErr;
}

CQTVideoExtraction::DecodeResult CQTVideoExtraction::EndOfSamples() {
  // No more samples come in this run: the pictures the runtime holds back
  // must come out now.
  if (runOpen && sequence != 0) CDSequenceBusy(sequence);
  runOpen = false;
  return DecodeResult::End;
}

void CQTVideoExtraction::CancelPictures() {
  if (sequence != 0) CDSequenceFlush(sequence);
  runOpen = false;
}

bool CQTVideoExtraction::AwaitDraw(DecodedFrame *frame) {
  if (frame == nullptr || frame->drawTicket == 0) return true;
  if (pendingLimit == 0) return FinishDraw(frame);
  DrawTickets &tickets = drawTickets;
  while (!tickets.Finished(frame->drawTicket)) {
    if (decodeAhead.Active()) {
      // The decoding thread feeds the runtime. A stream that reorders no
      // deeper than the queue has this picture out once the runtime's limit
      // of samples went in after it (the queue's others and Depth() more).
      if (tickets.WaitOr(frame->drawTicket, [this] { return decodeAhead.Stalled(); })) break;
      PausedDecoding paused(decodeAhead, false);
      if (PictureHeld(frame)) EndOfSamples();
      break;
    }
    // Decoding here: later samples go in (their frames wait their turn)
    // until this picture is out, as long as their blocks last.
    if (decodeAhead.WaitingCount() >= decodeAhead.Depth()) {
      if (PictureHeld(frame)) EndOfSamples();
      break;
    }
    DecodedFrame *next = nullptr;
    const DecodeResult result = DecodeNextFrame(&next);
    if (result == DecodeResult::End) {
      EndOfSamples();  // every picture comes out now
      break;
    }
    if (result == DecodeResult::Frame && !decodeAhead.PushWaiting(next)) {
      EndOfSamples();
      FinishDraw(next);
      framePool->Release(next);
      break;
    }
  }
  return FinishDraw(frame);
}

bool CQTVideoExtraction::PictureHeld(const DecodedFrame *frame) {
  // Waits for the drawing in flight, so a picture not finished then is one
  // the runtime still holds.
  SInt32 held = 0;
  if (ICMSequenceGetInfo(sequence, kICMSequenceHeldFrameCount, &held) != noErr) held = 1;
  if (drawTickets.Finished(frame->drawTicket)) return false;
  // Only samples that cannot go in would let it out: the run ends here, and
  // what follows decodes without the pictures before (until a sync sample).
  TraceW8(TEXT("Video: the runtime holds a picture beyond its limit (%d held); ending the run"),
          static_cast<int>(held));
  return true;
}

DecodedFrame *CQTVideoExtraction::ReadyFront() {
  for (;;) {
    frameQueue.SortByPresentationTime();
    DecodedFrame *front = frameQueue.Front();
    if (front == nullptr || AwaitDraw(front)) return front;
    // Its picture could not be drawn: the sample is skipped.
    framePool->Release(frameQueue.PopFront());
    FillFrameQueue();
  }
}

void CQTVideoExtraction::DecodeAheadStalled(void *self) { static_cast<CQTVideoExtraction *>(self)->drawTickets.Poke(); }

DecodeAhead::Step CQTVideoExtraction::DecodeAheadStep(void *self, DecodedFrame **frame) {
  switch (static_cast<CQTVideoExtraction *>(self)->DecodeNextFrame(frame)) {
    case DecodeResult::Frame:
      return DecodeAhead::Step::Frame;
    case DecodeResult::Skipped:
      return DecodeAhead::Step::Skipped;
    case DecodeResult::End:
      break;
  }
  return DecodeAhead::Step::End;
}

LONGLONG CQTVideoExtraction::Position() {
  PausedDecoding paused(decodeAhead, false);
  return position;
}

void CQTVideoExtraction::FillFrameQueue() {
  // A sample that fails to decode is skipped (the position has moved past
  // it); only the end of the track or a read failure stops the top-up.
  while (!frameQueue.Full()) {
    DecodedFrame *frame = nullptr;
    if (decodeAhead.Active()) {
      // End: the thread stopped at the end and stays idle, so position is
      // safe to read.
      if (decodeAhead.Take(&frame) == DecodeAhead::Step::End) break;
    } else if ((frame = decodeAhead.PopWaiting()) == nullptr) {
      // Frames the thread decoded before it was held come first.
      const DecodeResult result = DecodeNextFrame(&frame);
      if (result == DecodeResult::End) break;
      if (result != DecodeResult::Frame) continue;
    }
    // Its drawing may finish only after later samples went in: it is
    // awaited when the frame is delivered (ReadyFront).
    frameQueue.Push(frame);
    queuedTo = frame->readTo;
  }
  if (!frameQueue.Full()) queuedTo = position;
}
LONGLONG CQTVideoExtraction::FindSyncSample(LONGLONG target) {
  if (sampleData == nullptr || *sampleData == nullptr || timeScale <= 0) return target;
  // Windows of one second of decode time, the nearest first, each scanned
  // forwards. A sync sample whose picture shows after the target does not
  // serve: the frame shown at the target may decode before it (B-frames).
  // A target past the last sample's decode time (its picture may still be
  // showing) is searched from the last sample.
  LONGLONG scanEnd = target < mediaDuration ? target : mediaDuration - 1;
  if (scanEnd < 0) scanEnd = 0;
  LONGLONG earliestSync = -1;
  for (LONGLONG k = 0;; ++k) {
    // 64-bit products: a late target with a large time scale must not wrap.
    LONGLONG windowStart = scanEnd - static_cast<LONGLONG>(timeScale) * (k + 1);
    if (windowStart < 0) windowStart = 0;
    const LONGLONG windowEnd = scanEnd - static_cast<LONGLONG>(timeScale) * k;
    LONGLONG best = -1;
    LONGLONG t = windowStart;
    do {
      // Times and flags only: no sample bytes are read.
      SampleAt sample;
      const OSErr err = ReadSampleAt(media, t, nullptr, 0, &sample);
      const auto &[size, decodeTime, decodeDuration, displayOffset, samples, flags] = sample;
      if (err != noErr || size == 0) {
        TraceW8(TEXT("GetMediaSample2 at time(%d) failed(%d)\n"), static_cast<int>(t), static_cast<int>(err));
        return best >= 0 ? best : target;
      }
      if (IsSyncSample(flags)) {
        if (decodeTime + displayOffset <= target) best = decodeTime;
        if (earliestSync < 0 || decodeTime < earliestSync) earliestSync = decodeTime;
      }
      const LONGLONG next = decodeTime + static_cast<LONGLONG>(samples) * decodeDuration;
      if (next <= t) break;  // a table that does not advance ends this window
      t = next;
    } while (t <= windowEnd);
    if (best >= 0) {
      TraceW2(TEXT("SyncFrame find at time(%d)"), static_cast<int>(best));
      return best;
    }
    // The window that starts at 0 was the last one there is. A target before
    // every sync sample's picture starts at the first of them; with no sync
    // sample at all, decoding starts at the target itself.
    if (windowStart == 0) return earliestSync >= 0 ? earliestSync : target;
  }
}

void CQTVideoExtraction::ReleaseQueuedFrames() {
  // Decoding starts again elsewhere: pictures still held are cancelled, so
  // every block's drawing can be collected at once.
  CancelPictures();
  while (!frameQueue.Empty()) {
    FinishDraw(frameQueue.Front());
    framePool->Release(frameQueue.PopFront());
  }
  while (DecodedFrame *frame = decodeAhead.PopWaiting()) {
    FinishDraw(frame);
    framePool->Release(frame);
  }
}

void CQTVideoExtraction::DecodeUpTo(LONGLONG target) {
  if (pendingLimit > 0) {
    // Pictures held back cannot be dropped without feeding the samples they
    // wait for: they are cancelled, and the samples up to the target are
    // decoded again from a sync sample, the one before the nearest so that
    // pictures referring back across it (an open GOP) have what they need.
    ReleaseQueuedFrames();
    LONGLONG from = FindSyncSample(target);
    if (from > 0 && from <= target) {
      const LONGLONG before = FindSyncSample(from - 1);
      if (before >= 0 && before < from) from = before;
    }
    position = from <= target ? (from > 0 ? from : 0) : target;
    while (position < target) {
      DecodedFrame *frame = nullptr;
      if (DecodeNextFrame(&frame, DecodeFor::SeekOnly) == DecodeResult::End) break;
    }
    FillFrameQueue();
    return;
  }
  while (!frameQueue.Empty()) framePool->Release(frameQueue.PopFront());
  // Frames decoded ahead stand for the samples the loop below would read:
  // those read before the target are dropped, the rest are delivered next.
  while (DecodedFrame *ahead = decodeAhead.PeekWaiting()) {
    if (ahead->readFrom >= target) break;
    FinishDraw(ahead);
    framePool->Release(decodeAhead.PopWaiting());
  }
  while (decodeAhead.PeekWaiting() == nullptr && position < target) {
    DecodedFrame *frame = nullptr;
    if (DecodeNextFrame(&frame, DecodeFor::SeekOnly) == DecodeResult::End) break;
  }
  FillFrameQueue();
}

void CQTVideoExtraction::SetPosition(LONGLONG *time) {
  if (time == nullptr || !started || framePool == nullptr) return;
  PausedDecoding paused(decodeAhead, true);
  const LONGLONG target = *time - movieOffset;
  ReleaseQueuedFrames();
  readFault.store(0);
  const LONGLONG from = FindSyncSample(target);
  position = from > 0 ? from : 0;
  // Frames that stop showing by the target are decoded, not drawn; the
  // first one drawn is the frame shown at the target.
  showFrom = target;
  hiddenAny = false;
  hideAllBefore = false;
  FillFrameQueue();
  ReadyFront();
  // A frame's display is taken to last its decode duration. Where the two
  // differ (variable frame rates with B-frames), the frame on screen at the
  // target is the latest one starting at or before it, drawn or passed over:
  // when that is not the first one queued, decode again from the sync
  // sample and draw from that frame on.
  const DecodedFrame *front = frameQueue.Front();
  const LONGLONG frontTime = front != nullptr ? front->presentationTime - movieOffset : 0;
  const bool frontShown = front != nullptr && frontTime <= target && (!hiddenAny || frontTime >= lastHidden);
  const bool beforeEnd = *time < static_cast<LONGLONG>(duration);
  if (hiddenAny && !frontShown && (front != nullptr || beforeEnd)) {
    ReleaseQueuedFrames();
    position = from > 0 ? from : 0;
    showFrom = lastHidden;
    hideAllBefore = true;
    FillFrameQueue();
    ReadyFront();
  }
  if (!frameQueue.Empty()) *time = frameQueue.Front()->presentationTime;
}

LONG CQTVideoExtraction::MoveForward(LONGLONG *delta) {
  if (delta == nullptr || !started || framePool == nullptr) return -1;
  TraceW2(TEXT("QT VideoExtraction move (%d) sample time forward"), static_cast<int>(*delta));
  PausedDecoding paused(decodeAhead, true);
  // From where the queue's last top-up stopped reading: the decoding thread
  // may have read further since.
  DecodeUpTo(queuedTo + *delta);
  return 0;
}

void CQTVideoExtraction::DeferPicturesForTesting(bool defer) { g_deferPictures.store(defer); }

bool CQTVideoExtraction::DeferringPictures() { return g_deferPictures.load(); }
