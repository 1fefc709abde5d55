#include "toolbox/ImageCompression.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <vector>

#include "codecs/Decompressor.h"
#include "toolbox/LiveTable.h"
#include "toolbox/MemoryManager.h"

namespace tp::qt {
namespace {

struct Sequence {
  // Held shared while a kept picture draws (beside the decodes), exclusive
  // while the decompressor goes; taken before `mutex`.
  std::shared_mutex alive;
  std::mutex mutex;  // held across one decode; taken after the table lock is released, before the
                     // decompressor's drawing lock
  std::unique_ptr<Decompressor> decompressor;
};

// A plain static so that unloading the runtime frees the table.
LiveTable<ImageSequence, Sequence> gSequences;

ImageSequence NextSequenceId(ImageSequence previous) { return previous >= INT32_MAX ? 1 : previous + 1; }

}  // namespace

OSErr DecompressSequenceBeginS(ImageSequence *seqID, ImageDescriptionHandle desc, Ptr data, SInt32 dataSize,
                               CGrafPtr port) {
  if (!seqID) return paramErr;
  *seqID = 0;
  if (!desc) return nilHandleErr;
  MemoryManager &memory = MemoryManager::Instance();
  Handle h = reinterpret_cast<Handle>(desc);
  if (!memory.IsHandle(h)) return memWZErr;
  const Size size = memory.GetHandleSize(h);
  if (size <= 0 || !*h) return badImageDescription;
  // A private copy: the caller may resize or dispose its handle at any time.
  std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t *>(*h), reinterpret_cast<const uint8_t *>(*h) + size);

  std::shared_ptr<GWorld> world = FindWorld(port);
  if (!world) return paramErr;
  auto sequence = std::make_shared<Sequence>();
  OSErr err = Decompressor::Create(std::span<const uint8_t>(bytes), std::move(world), &sequence->decompressor);
  if (err != noErr) return err;
  if (data && dataSize > 0) {
    err = sequence->decompressor->DecodeFrame(reinterpret_cast<const uint8_t *>(data), dataSize);
    if (err != noErr) return err;
  }
  *seqID = gSequences.AddWithNewKey(std::move(sequence), NextSequenceId);
  return noErr;
}

OSErr DecompressSequenceFrameWhen(ImageSequence seqID, Ptr data, SInt32 dataSize, CodecFlags inFlags,
                                  CodecFlags *outFlags, const ICMCompletionProcRecord *completion,
                                  const ICMFrameTimeRecord *frameTime) {
  if (outFlags) *outFlags = 0;
  std::shared_ptr<Sequence> s = gSequences.Find(seqID);
  if (!s) return paramErr;
  if (frameTime && frameTime->recordSize < SInt32(offsetof(ICMFrameTimeRecord, base))) return paramErr;
  std::lock_guard<std::mutex> lock(s->mutex);
  return s->decompressor->DecodeFrame(reinterpret_cast<const uint8_t *>(data), dataSize,
                                      (inFlags & codecFlagNoScreenUpdate) == 0,
                                      completion && completion->completionProc ? completion : nullptr, frameTime,
                                      (inFlags & codecFlagKeepPicture) != 0);
}

OSErr ICMSequenceDrawKeptPicture(ImageSequence seqID, long refCon, const ICMPictureDestination *destination) {
  std::shared_ptr<Sequence> s = gSequences.Find(seqID);
  if (!s) return paramErr;
  // Not the decode lock: the drawing runs beside the next decodes.
  std::shared_lock<std::shared_mutex> alive(s->alive);
  Decompressor *decompressor = s->decompressor.get();
  if (!decompressor) return paramErr;
  if (!destination) return decompressor->DrawKept(refCon, nullptr, nullptr);
  uint8_t *planes[3];
  int32_t rowBytes[3];
  for (int i = 0; i < 3; ++i) {
    planes[i] = reinterpret_cast<uint8_t *>(destination->planes[i]);
    rowBytes[i] = destination->rowBytes[i];
  }
  return decompressor->DrawKept(refCon, planes, rowBytes);
}

OSErr CDSequenceFlush(ImageSequence seqID) {
  std::shared_ptr<Sequence> s = gSequences.Find(seqID);
  if (!s) return paramErr;
  std::lock_guard<std::mutex> lock(s->mutex);
  s->decompressor->Flush();
  return noErr;
}

OSErr CDSequenceBusy(ImageSequence seqID) {
  std::shared_ptr<Sequence> s = gSequences.Find(seqID);
  if (!s) return paramErr;
  std::lock_guard<std::mutex> lock(s->mutex);
  return s->decompressor->Drain() ? 1 : 0;
}

OSErr ICMSequenceGetInfo(ImageSequence seqID, OSType which, void *data) {
  std::shared_ptr<Sequence> s = gSequences.Find(seqID);
  if (!s || !data ||
      (which != kICMSequencePendingFrameLimit && which != kICMSequenceHeldFrameCount &&
       which != kICMSequenceKeepsPictures))
    return paramErr;
  std::lock_guard<std::mutex> lock(s->mutex);
  const SInt32 value = which == kICMSequencePendingFrameLimit ? s->decompressor->PendingLimit()
                       : which == kICMSequenceKeepsPictures   ? SInt32(s->decompressor->KeepsPictures() ? 1 : 0)
                                                              : s->decompressor->HeldCount();
  std::memcpy(data, &value, sizeof value);
  return noErr;
}

OSErr CDSequenceEnd(ImageSequence seqID) {
  std::shared_ptr<Sequence> s = gSequences.Remove(seqID);
  if (!s) return paramErr;
  std::unique_lock<std::shared_mutex> alive(s->alive);  // waits for a kept picture drawing
  std::lock_guard<std::mutex> lock(s->mutex);           // waits for a decode in progress
  s->decompressor.reset();
  return noErr;
}

size_t LiveSequenceCount() { return gSequences.Count(); }

}  // namespace tp::qt
