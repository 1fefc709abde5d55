// MemoryManager: the runtime's handles and pointers. Each block is a real
// allocation that knows its size, its capacity and whether it is locked.
//
// Ownership: the caller of NewHandle / NewPtr owns the block until it hands it
// back with DisposeHandle / DisposePtr. The manager keeps a registry of live
// blocks and refuses (memWZErr) any handle or pointer that is not in it, so a
// foreign or already disposed block is never dereferenced; null gives
// nilHandleErr (handles) or paramErr (pointers).
//
// A locked handle never moves: SetHandleSize may shrink it or grow it within
// its capacity, but growing it past the capacity fails with memLockedErr,
// because callers keep the address of a locked block's data.
//
// Every call records its outcome for MemError on the calling thread. All
// members are thread-safe; the registry lock is a leaf lock (nothing else is
// taken while it is held).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include <QuickTime/MacMemory.h>
#include <QuickTime/MacErrors.h>

namespace tp::qt {

class MemoryManager {
 public:
  // Largest block the runtime hands out; larger requests fail with memFullErr.
  static constexpr int64_t kMaxBlockSize = int64_t(1) << 30;

  static MemoryManager &Instance();

  Handle NewHandle(int64_t size, bool clear = false);
  void DisposeHandle(Handle h);
  // Size of the block, or 0 with MemError set for a bad handle.
  Size GetHandleSize(Handle h);
  OSErr SetHandleSize(Handle h, int64_t newSize);
  OSErr HLock(Handle h);
  OSErr HUnlock(Handle h);
  bool IsLocked(Handle h);
  bool IsHandle(Handle h);

  Ptr NewPtr(int64_t size, bool clear = false);
  void DisposePtr(Ptr p);
  // Size of a live pointer block, or -1.
  int64_t GetPtrSize(Ptr p);

  // Copies n bytes between possibly overlapping blocks; paramErr for a null
  // address with n > 0 or a negative n.
  OSErr BlockMoveData(const void *src, void *dst, int64_t n);

  // Resizes `h` and copies `n` bytes into it (one registry lookup).
  OSErr SetHandleData(Handle h, const void *data, size_t n);

  size_t LiveHandleCount();
  size_t LivePtrCount();

  // Test seam: the allocator behind every block (malloc/realloc by default).
  using ReallocFn = void *(*)(void *old, size_t size);
  static void SetReallocatorForTesting(ReallocFn fn);

 private:
  struct HandleBlock {
    char *master = nullptr;  // must stay first: a Handle is its address
    size_t capacity = 0;
    int64_t size = 0;
    bool locked = false;
  };
  HandleBlock *Find(Handle h, OSErr *err);  // needs mutex_
  OSErr Resize(HandleBlock *b, int64_t newSize);

  std::mutex mutex_;  // leaf lock: guards the two registries and block fields
  std::unordered_set<HandleBlock *> handles_;
  std::unordered_map<void *, int64_t> ptrs_;
};

// The MemError of the calling thread and its setter.
OSErr LastMemError();
void SetLastMemError(OSErr err);

}  // namespace tp::qt
