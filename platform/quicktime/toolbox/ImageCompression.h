// ImageCompression: the runtime's decompression sequences. A sequence is a
// Decompressor bound to a graphics world, named by a positive ImageSequence
// number that the table hands out; the caller owns it until CDSequenceEnd.
//
// Thread-safety: any thread may call. The table lock is a leaf (held only to
// find, add or remove); each sequence has its own lock, held across one
// decode, so calls on one sequence are serialised and an end on another
// thread waits for a decode in progress (lock order: table lock, released,
// then the sequence lock; never both). A sequence's decompressor has a
// drawing lock of its own, taken under the sequence lock and by its drawing
// thread, never held while drawing or calling a completion procedure.
#pragma once

#include <cstddef>

#include <QuickTime/ImageCompression.h>
#include <QuickTime/MacErrors.h>

namespace tp::qt {

// The source rectangle, matrix, mode, mask, flags, accuracy and codec are
// accepted and ignored: pictures are drawn at their own size at the world's
// origin. Initial data, when given, is decoded as the first frame.
// paramErr: null seqID or unknown port; nilHandleErr / memWZErr: bad
// description handle; badImageDescription, noCodecErr, codecErr.
OSErr DecompressSequenceBeginS(ImageSequence *seqID, ImageDescriptionHandle desc, Ptr data, SInt32 dataSize,
                               CGrafPtr port);
// Decodes on the calling thread. Without `completion` the picture is drawn
// before the call returns. With one (whose procedure is not null), the
// drawing may go on after the call returns, on the sequence's drawing
// thread, into the pixel map as it was at the call; the procedure is then
// called exactly once, on that thread or before the call returns, unless
// the call fails. *outFlags (when given) is set to 0. With
// codecFlagNoScreenUpdate in inFlags the sample is decoded but not drawn.
// With `frameTime` (its value the sample's display time) and a back end
// that holds pictures back, a run of deferred pictures starts: a picture
// may be completed after later samples were handed in (Decompressor.h says
// how a run behaves when calls of both kinds mix). paramErr for an unknown
// sequence, bad data, or a frame time whose recordSize does not cover its
// value and scale.
OSErr DecompressSequenceFrameWhen(ImageSequence seqID, Ptr data, SInt32 dataSize, CodecFlags inFlags,
                                  CodecFlags *outFlags, const ICMCompletionProcRecord *completion = nullptr,
                                  const ICMFrameTimeRecord *frameTime = nullptr);
// Cancels the pictures held back (completions called with codecAbortErr
// before it returns), then waits for a drawing in progress (its completion
// procedure has been called when this returns). paramErr for an unknown
// sequence.
OSErr CDSequenceEnd(ImageSequence seqID);
// Cancels the pictures held back; see Decompressor::Flush. paramErr for an
// unknown sequence.
OSErr CDSequenceFlush(ImageSequence seqID);
// Ends the run: the pictures held back come out and are drawn. 1 while a
// completion is still to be called, 0 when none is; paramErr for an
// unknown sequence.
OSErr CDSequenceBusy(ImageSequence seqID);
// kICMSequencePendingFrameLimit: Decompressor::PendingLimit;
// kICMSequenceHeldFrameCount: Decompressor::HeldCount;
// kICMSequenceKeepsPictures: Decompressor::KeepsPictures.
OSErr ICMSequenceGetInfo(ImageSequence seqID, OSType which, void *data);
// Decompressor::DrawKept for the sequence; paramErr for an unknown
// sequence.
OSErr ICMSequenceDrawKeptPicture(ImageSequence seqID, long refCon, const ICMPictureDestination *destination);

size_t LiveSequenceCount();

}  // namespace tp::qt
