// Event kernel objects: manual-reset (stays signalled until reset, releases
// every waiter) and auto-reset (each satisfied wait consumes the signal, so
// one SetEvent releases exactly one waiter). Handles own events through the
// handle table (KernelObject.h); the signalled flag is guarded by the
// dispatcher lock.
#pragma once

#include "win32/KernelObject.h"

namespace tp::win32 {

class SyncEvent final : public KernelObject {
 public:
  SyncEvent(bool manualReset, bool initialState) : manualReset_(manualReset), signalled_(initialState) {}

  void set();
  void reset();

  // KernelObject (dispatcher lock held)
  bool isSignalledFor(DWORD threadId) const override;
  DWORD acquire(DWORD threadId) override;

 private:
  const bool manualReset_;
  bool signalled_;  // guarded by the dispatcher lock
};

}  // namespace tp::win32
