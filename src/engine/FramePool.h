// FramePool: the fixed set of blocks that hold decoded pictures while they
// wait in the video track's frame queue. One allocation is carved into
// `count` blocks, each a DecodedFrame record followed by its pixel bytes.
// Acquire and Release only relink blocks, so once a pool exists decoding a
// frame allocates nothing.
//
// Ownership: the video track owns the pool (created by ExtractionBegin,
// destroyed by ExtractionEnd). A block handed out by Acquire stays part of
// the pool: destroying the pool frees every block at once, queued or not.
//
// Threads: Acquire and Release may be called from any thread (the track's
// decoding thread takes blocks, its reader gives them back); mutex_ is a
// leaf lock, held only to relink one block.
#pragma once

#include <cstddef>
#include <mutex>

#include <windows.h>

#include "engine/noncopyable.h"

// One decoded picture. The pixel bytes lie in the same block, directly
// after the record.
struct DecodedFrame {
  BYTE *pixels;               // start of the pixel bytes
  LONG byteCount;             // bytes of the graphics world's layout the picture spans
  LONG pixelRowBytes;         // row length of the graphics world's pixel map
  LONGLONG presentationTime;  // decode time + display offset, media units
  LONGLONG frameDuration;     // samples read x decode duration, media units
  LONGLONG readFrom;          // the track's position before its sample was read, media units
  LONGLONG readTo;            // and after it
  long drawTicket;            // nonzero while the runtime may still be drawing into the pixels
  // Nonzero while the runtime keeps the picture undrawn, under this refcon:
  // it is drawn when the frame is delivered, straight into the pin's buffer.
  long keptRef;
};

class FramePool : public noncopyable {
 public:
  // Allocation hook for tests: every allocation the video track makes goes
  // through it (null restores the default). Returns the previous hook.
  using AllocateFn = void *(*)(size_t bytes);
  using FreeFn = void (*)(void *block);
  static void SetAllocatorForTesting(AllocateFn allocate, FreeFn release);
  static void *Allocate(size_t bytes);
  static void Free(void *block);

  // A pool of `count` blocks with room for `pixelBytes` pixel bytes each, or
  // null when the sizes are absurd or the memory cannot be had.
  static FramePool *Create(size_t pixelBytes, int count);
  // Frees a pool from Create with all its blocks; null is ignored.
  static void Destroy(FramePool *pool);

  // The most recently released free block, or null when none is free.
  DecodedFrame *Acquire();
  // Gives a block from Acquire back; null is ignored.
  void Release(DecodedFrame *frame);

  size_t PixelCapacity() const { return pixelBytes_; }
  int BlockCount() const { return count_; }

 private:
  ~FramePool();
  FramePool(BYTE *storage, size_t blockSize, size_t pixelBytes, int count);

  std::mutex mutex_;  // guards head_ and the free blocks' links
  BYTE *head_;        // first free block; each free block's first word links the next
  BYTE *storage_;
  size_t blockSize_;
  size_t pixelBytes_;
  int count_;
};
