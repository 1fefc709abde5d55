// Semaphore kernel objects: a count between zero and a maximum; each
// satisfied wait takes one from the count, ReleaseSemaphore adds to it. The
// count is guarded by the dispatcher lock (KernelObject.h).
#pragma once

#include "win32/KernelObject.h"

namespace tp::win32 {

class SyncSemaphore final : public KernelObject {
 public:
  SyncSemaphore(LONG initial, LONG maximum) : count_(initial), maximum_(maximum) {}

  // Adds `release` to the count; false (count unchanged) when that would pass
  // the maximum. *previous receives the count before the call.
  bool release(LONG release, LONG *previous);

  // KernelObject (dispatcher lock held)
  bool isSignalledFor(DWORD threadId) const override;
  DWORD acquire(DWORD threadId) override;

 private:
  LONG count_;  // guarded by the dispatcher lock
  const LONG maximum_;
};

}  // namespace tp::win32
