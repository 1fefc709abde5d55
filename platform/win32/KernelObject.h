// Kernel objects behind HANDLE values: the common base that events, threads
// and mutexes derive from, the process-wide handle table, and the dispatcher
// that every wait goes through.
//
// Ownership: a kernel object is held by std::shared_ptr. Each open handle in
// the table holds one reference; a waiting thread holds one for the length of
// its wait; a running thread holds one on its own thread object. The object
// dies when the last of these goes, so CloseHandle never pulls an object out
// from under a waiter or a running thread.
//
// State that decides whether an object is signalled (an event's flag, a
// mutex's owner, a thread's "has ended") is read and written only while the
// dispatcher lock is held. Whoever makes an object signalled calls
// wakeWaiters() so that blocked waits re-examine their objects.
//
// Lock order: the dispatcher lock and the handle-table lock are both leaves:
// no other lock is taken while either is held, and neither is held while the
// other is taken. Never drop the last reference to a kernel object while
// holding either (its destructor may do anything a destructor may do).
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>

namespace tp::win32 {

class KernelObject {
 public:
  KernelObject() = default;
  KernelObject(const KernelObject &) = delete;
  KernelObject &operator=(const KernelObject &) = delete;
  virtual ~KernelObject() = default;

  // Both called with the dispatcher lock held.
  // Whether a wait by `threadId` would be satisfied now.
  virtual bool isSignalledFor(DWORD threadId) const = 0;
  // Called once a wait by `threadId` is satisfied (for wait-all: on every
  // object at once). Consumes the signal where the object's kind says so
  // (auto-reset event: resets; mutex: takes ownership). Returns WAIT_OBJECT_0,
  // or WAIT_ABANDONED when a mutex is taken over from a thread that ended
  // while owning it.
  virtual DWORD acquire(DWORD threadId) {
    (void)threadId;
    return WAIT_OBJECT_0;
  }

  // WaitForSingleObject lands here. The default waits through the dispatcher;
  // an object kind with its own blocking rule may override it. Returns
  // WAIT_OBJECT_0, WAIT_ABANDONED or WAIT_TIMEOUT.
  virtual DWORD waitOne(DWORD milliseconds);
};

using KernelObjectPtr = std::shared_ptr<KernelObject>;

// ---- dispatcher ------------------------------------------------------------
// The one lock under which signalled state is examined and changed.
std::mutex &dispatcherMutex();
// Wakes every blocked wait to re-examine its objects. Call after making an
// object signalled (with or without the dispatcher lock held).
void wakeWaiters();

// Blocks until wakeWaiters() is next called (or spuriously); `lock` holds the
// dispatcher mutex. For waits on conditions that are not kernel objects.
void waitForChange(std::unique_lock<std::mutex> &lock);

// Waits on `objects[0..count)` (count 1..MAXIMUM_WAIT_OBJECTS, none null):
// any one of them (returns WAIT_OBJECT_0 + index, or WAIT_ABANDONED + index)
// or all at once (returns WAIT_OBJECT_0 or WAIT_ABANDONED), or WAIT_TIMEOUT.
// Takes the dispatcher lock itself.
DWORD waitForObjects(const KernelObjectPtr *objects, DWORD count, bool waitAll, DWORD milliseconds);

// ---- handle table ----------------------------------------------------------
// Opens a new handle on `object` and returns it (never null, never
// INVALID_HANDLE_VALUE); null only when `object` is null or memory runs out.
HANDLE insertHandle(KernelObjectPtr object);
// The object behind `handle`, or null (with ERROR_INVALID_HANDLE set) for a
// handle that is not open.
KernelObjectPtr referenceHandle(HANDLE handle);
// Typed form of referenceHandle: null (ERROR_INVALID_HANDLE) also when the
// object is of another kind.
template <class T>
std::shared_ptr<T> referenceHandleAs(HANDLE handle) {
  auto p = std::dynamic_pointer_cast<T>(referenceHandle(handle));
  if (!p) SetLastError(ERROR_INVALID_HANDLE);
  return p;
}
// Closes `handle`; false for a handle that is not open.
bool removeHandle(HANDLE handle);

// The calling thread's id as GetCurrentThreadId reports it: a small number,
// a multiple of 4 as on Windows, given out on first use and never reused.
DWORD currentThreadId();
// A fresh id for a thread about to be created; the thread adopts it with
// adoptThreadId before anything else runs on it.
DWORD newThreadId();
void adoptThreadId(DWORD id);

}  // namespace tp::win32
