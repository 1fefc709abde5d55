// Mutex kernel objects (CreateMutexA/W, ReleaseMutex; waits go through
// WaitForSingleObject / WaitForMultipleObjects, see KernelObject.h).
//
// A mutex is owned by at most one thread at a time; its owner may wait on it
// again (each satisfied wait adds one to the ownership count) and releases
// it as many times. A mutex whose owner thread ends while still owning it is
// abandoned: the next wait that takes it reports WAIT_ABANDONED.
//
// Named mutexes live in a per-process name table (weak references): the same
// name opens the same object while any handle to it is open.
//
// Ownership: handles own the object (shared_ptr in the handle table); the
// name table and each thread's list of owned mutexes hold weak references.
// Owner and count are guarded by the dispatcher lock.
// Lock order: the name-table lock is a leaf; the dispatcher lock is a leaf.
#pragma once

#include <memory>
#include <string>

#include "win32/KernelObject.h"

namespace tp::win32 {

class SyncMutex final : public KernelObject, public std::enable_shared_from_this<SyncMutex> {
 public:
  // `initialOwner`: the thread that owns it from the start, or 0.
  explicit SyncMutex(DWORD initialOwner);

  // Gives up one level of ownership; false when `threadId` is not the owner.
  bool release(DWORD threadId);
  // The owner thread ended: frees the mutex and marks it abandoned.
  void abandon(DWORD threadId);

  // KernelObject (dispatcher lock held)
  bool isSignalledFor(DWORD threadId) const override;
  DWORD acquire(DWORD threadId) override;

 private:
  DWORD owner_;     // 0: free
  unsigned count_;  // recursion depth of the owner
  bool abandoned_ = false;
};

}  // namespace tp::win32
