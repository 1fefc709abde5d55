#include "toolbox/MemoryManager.h"

#include <cstdlib>
#include <atomic>
#include <cstring>
#include <new>

#include "toolbox/ThreadLocal.h"

namespace tp::qt {
namespace {

TP_QT_INITIAL_EXEC_TLS thread_local OSErr tMemError = noErr;

void *DefaultRealloc(void *old, size_t size) { return std::realloc(old, size); }

std::atomic<MemoryManager::ReallocFn> gRealloc{&DefaultRealloc};

void *Reallocate(void *old, size_t size) { return gRealloc.load()(old, size); }

// Blocks always hold at least this much so that even an empty handle has a
// real, dereferenceable data address.
constexpr size_t kMinCapacity = 16;

}  // namespace

OSErr LastMemError() { return tMemError; }
void SetLastMemError(OSErr err) { tMemError = err; }

void MemoryManager::SetReallocatorForTesting(ReallocFn fn) { gRealloc.store(fn ? fn : &DefaultRealloc); }

MemoryManager &MemoryManager::Instance() {
  // A plain static (not a leaked heap object) so that unloading the runtime
  // frees the registry; blocks still owned by callers are theirs to free.
  static MemoryManager manager;
  return manager;
}

MemoryManager::HandleBlock *MemoryManager::Find(Handle h, OSErr *err) {
  if (!h) {
    *err = nilHandleErr;
    return nullptr;
  }
  // The handle is the address of the block's first member; look the address
  // up before touching it.
  auto *b = reinterpret_cast<HandleBlock *>(h);
  if (!handles_.contains(b)) {
    *err = memWZErr;
    return nullptr;
  }
  *err = noErr;
  return b;
}

Handle MemoryManager::NewHandle(int64_t size, bool clear) {
  if (size < 0 || size > kMaxBlockSize) {
    SetLastMemError(memFullErr);
    return nullptr;
  }
  auto *b = new (std::nothrow) HandleBlock();
  if (!b) {
    SetLastMemError(memFullErr);
    return nullptr;
  }
  size_t capacity = size_t(size) < kMinCapacity ? kMinCapacity : size_t(size);
  b->master = static_cast<char *>(Reallocate(nullptr, capacity));
  if (!b->master) {
    delete b;
    SetLastMemError(memFullErr);
    return nullptr;
  }
  if (clear) std::memset(b->master, 0, capacity);
  b->capacity = capacity;
  b->size = size;
  bool inserted = false;
  {
    std::lock_guard lock(mutex_);
    try {
      inserted = handles_.insert(b).second;
    } catch (const std::bad_alloc &) {
      inserted = false;
    }
  }
  if (!inserted) {
    std::free(b->master);
    delete b;
    SetLastMemError(memFullErr);
    return nullptr;
  }
  SetLastMemError(noErr);
  return &b->master;
}

void MemoryManager::DisposeHandle(Handle h) {
  OSErr err;
  HandleBlock *b;
  {
    std::lock_guard lock(mutex_);
    b = Find(h, &err);
    if (b) handles_.erase(b);
  }
  if (b) {
    std::free(b->master);
    delete b;
  }
  SetLastMemError(err);
}

Size MemoryManager::GetHandleSize(Handle h) {
  std::lock_guard lock(mutex_);
  OSErr err;
  HandleBlock *b = Find(h, &err);
  SetLastMemError(err);
  return b ? Size(b->size) : 0;
}

OSErr MemoryManager::Resize(HandleBlock *b, int64_t newSize) {
  if (newSize < 0 || newSize > kMaxBlockSize) return memFullErr;
  if (size_t(newSize) <= b->capacity) {
    b->size = newSize;
    return noErr;
  }
  if (b->locked) return memLockedErr;
  void *p = Reallocate(b->master, size_t(newSize));
  if (!p) return memFullErr;
  b->master = static_cast<char *>(p);
  b->capacity = size_t(newSize);
  b->size = newSize;
  return noErr;
}

OSErr MemoryManager::SetHandleSize(Handle h, int64_t newSize) {
  std::lock_guard lock(mutex_);
  OSErr err;
  HandleBlock *b = Find(h, &err);
  if (b) err = Resize(b, newSize);
  SetLastMemError(err);
  return err;
}

OSErr MemoryManager::SetHandleData(Handle h, const void *data, size_t n) {
  std::lock_guard lock(mutex_);
  OSErr err;
  HandleBlock *b = Find(h, &err);
  if (b) err = n > size_t(kMaxBlockSize) ? OSErr(memFullErr) : Resize(b, int64_t(n));
  if (err == noErr && n) std::memcpy(b->master, data, n);
  SetLastMemError(err);
  return err;
}

OSErr MemoryManager::HLock(Handle h) {
  std::lock_guard lock(mutex_);
  OSErr err;
  HandleBlock *b = Find(h, &err);
  if (b) b->locked = true;
  SetLastMemError(err);
  return err;
}

OSErr MemoryManager::HUnlock(Handle h) {
  std::lock_guard lock(mutex_);
  OSErr err;
  HandleBlock *b = Find(h, &err);
  if (b) b->locked = false;
  SetLastMemError(err);
  return err;
}

bool MemoryManager::IsLocked(Handle h) {
  std::lock_guard lock(mutex_);
  OSErr err;
  HandleBlock *b = Find(h, &err);
  return b && b->locked;
}

bool MemoryManager::IsHandle(Handle h) {
  std::lock_guard lock(mutex_);
  OSErr err;
  return Find(h, &err) != nullptr;
}

Ptr MemoryManager::NewPtr(int64_t size, bool clear) {
  if (size < 0 || size > kMaxBlockSize) {
    SetLastMemError(memFullErr);
    return nullptr;
  }
  size_t bytes = size_t(size) < kMinCapacity ? kMinCapacity : size_t(size);
  void *p = Reallocate(nullptr, bytes);
  if (!p) {
    SetLastMemError(memFullErr);
    return nullptr;
  }
  if (clear) std::memset(p, 0, bytes);
  bool inserted = false;
  {
    std::lock_guard lock(mutex_);
    try {
      inserted = ptrs_.emplace(p, size).second;
    } catch (const std::bad_alloc &) {
      inserted = false;
    }
  }
  if (!inserted) {
    std::free(p);
    SetLastMemError(memFullErr);
    return nullptr;
  }
  SetLastMemError(noErr);
  return static_cast<Ptr>(p);
}

void MemoryManager::DisposePtr(Ptr p) {
  if (!p) {
    SetLastMemError(paramErr);
    return;
  }
  bool found;
  {
    std::lock_guard lock(mutex_);
    found = ptrs_.erase(p) != 0;
  }
  if (found) std::free(p);
  SetLastMemError(found ? OSErr(noErr) : OSErr(memWZErr));
}

int64_t MemoryManager::GetPtrSize(Ptr p) {
  std::lock_guard lock(mutex_);
  auto it = ptrs_.find(p);
  return it == ptrs_.end() ? -1 : it->second;
}

OSErr MemoryManager::BlockMoveData(const void *src, void *dst, int64_t n) {
  OSErr err = noErr;
  if (n < 0 || (n > 0 && (!src || !dst)))
    err = paramErr;
  else if (n > 0)
    std::memmove(dst, src, size_t(n));
  SetLastMemError(err);
  return err;
}

size_t MemoryManager::LiveHandleCount() {
  std::lock_guard lock(mutex_);
  return handles_.size();
}

size_t MemoryManager::LivePtrCount() {
  std::lock_guard lock(mutex_);
  return ptrs_.size();
}

}  // namespace tp::qt
