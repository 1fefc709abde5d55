#include "ImageCompression.h"

#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "Decompressor.h"
#include "LiveTable.h"
#include "MemoryManager.h"

namespace tp::qt {
namespace {

struct Sequence {
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
                                  CodecFlags *outFlags, const ICMCompletionProcRecord *completion) {
  if (outFlags) *outFlags = 0;
  std::shared_ptr<Sequence> s = gSequences.Find(seqID);
  if (!s) return paramErr;
  std::lock_guard<std::mutex> lock(s->mutex);
  return s->decompressor->DecodeFrame(reinterpret_cast<const uint8_t *>(data), dataSize,
                                      (inFlags & codecFlagNoScreenUpdate) == 0,
                                      completion && completion->completionProc ? completion : nullptr);
}

OSErr CDSequenceEnd(ImageSequence seqID) {
  std::shared_ptr<Sequence> s = gSequences.Remove(seqID);
  if (!s) return paramErr;
  std::lock_guard<std::mutex> lock(s->mutex);  // waits for a decode in progress
  s->decompressor.reset();
  return noErr;
}

size_t LiveSequenceCount() { return gSequences.Count(); }

}  // namespace tp::qt
