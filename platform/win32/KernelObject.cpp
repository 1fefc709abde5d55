// The dispatcher (one lock and one condition for all waits) and the handle
// table. See KernelObject.h for ownership and lock order.
#include "win32/KernelObject.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <new>
#include <unordered_map>
#include <vector>

namespace tp::win32 {
namespace {

struct Dispatcher {
  // Leaf lock: see KernelObject.h.
  std::mutex mutex;
  std::condition_variable changed;
};

// Never destroyed: threads may still be waiting while the process exits.
Dispatcher &dispatcher() {
  static Dispatcher *d = new Dispatcher;
  return *d;
}

struct HandleTable {
  // Leaf lock: guards `objects` and `next` only.
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, KernelObjectPtr> objects;
  // Handle values are multiples of 4 as on Windows and are not reused, so a
  // stale handle is reported as invalid instead of reaching a new object.
  std::uintptr_t next = 0x1000;
};

HandleTable &handleTable() {
  static HandleTable *t = new HandleTable;
  return *t;
}

}  // namespace

std::mutex &dispatcherMutex() { return dispatcher().mutex; }

void wakeWaiters() { dispatcher().changed.notify_all(); }

void waitForChange(std::unique_lock<std::mutex> &lock) { dispatcher().changed.wait(lock); }

DWORD KernelObject::waitOne(DWORD milliseconds) {
  // The caller holds a reference for the length of the wait; waitForObjects
  // only needs a pointer array, so alias this without taking ownership.
  const KernelObjectPtr self(KernelObjectPtr(), this);
  return waitForObjects(&self, 1, false, milliseconds);
}

DWORD waitForObjects(const KernelObjectPtr *objects, DWORD count, bool waitAll, DWORD milliseconds) {
  if (objects == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  for (DWORD i = 0; i < count; ++i) {
    if (!objects[i]) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    // Waiting for all of a set that names one object twice cannot be
    // satisfied consistently (an auto-reset event would be consumed twice).
    for (DWORD j = 0; waitAll && j < i; ++j) {
      if (objects[j] == objects[i]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
      }
    }
  }

  const DWORD tid = currentThreadId();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  Dispatcher &d = dispatcher();
  std::unique_lock<std::mutex> lock(d.mutex);
  for (;;) {
    if (waitAll) {
      bool all = true;
      for (DWORD i = 0; i < count && all; ++i) all = objects[i]->isSignalledFor(tid);
      if (all) {
        DWORD result = WAIT_OBJECT_0;
        for (DWORD i = 0; i < count; ++i) {
          if (objects[i]->acquire(tid) == WAIT_ABANDONED && result == WAIT_OBJECT_0) result = WAIT_ABANDONED + i;
        }
        return result;
      }
    } else {
      for (DWORD i = 0; i < count; ++i) {
        if (objects[i]->isSignalledFor(tid)) return objects[i]->acquire(tid) + i;
      }
    }
    if (milliseconds == 0) return WAIT_TIMEOUT;
    if (milliseconds == INFINITE) {
      d.changed.wait(lock);
    } else if (d.changed.wait_until(lock, deadline) == std::cv_status::timeout) {
      // One last look: the state may have changed just as time ran out.
      milliseconds = 0;
    }
  }
}

HANDLE insertHandle(KernelObjectPtr object) {
  if (!object) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HandleTable &t = handleTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  try {
    const std::uintptr_t value = t.next;
    t.objects.emplace(value, std::move(object));
    t.next += 4;
    return reinterpret_cast<HANDLE>(value);
  } catch (const std::bad_alloc &) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

KernelObjectPtr referenceHandle(HANDLE handle) {
  HandleTable &t = handleTable();
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it != t.objects.end()) return it->second;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

bool removeHandle(HANDLE handle) {
  HandleTable &t = handleTable();
  KernelObjectPtr dropped;  // released after the table lock
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it != t.objects.end()) {
      dropped = std::move(it->second);
      t.objects.erase(it);
    }
  }
  if (!dropped) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return true;
}

namespace {
std::atomic<DWORD> g_nextThreadId{4};
thread_local DWORD t_threadId = 0;
}  // namespace

DWORD newThreadId() {
  DWORD id = g_nextThreadId.fetch_add(4, std::memory_order_relaxed);
  // After wrapping, skip 0, which means "no thread".
  if (id == 0) id = g_nextThreadId.fetch_add(4, std::memory_order_relaxed);
  return id;
}

void adoptThreadId(DWORD id) { t_threadId = id; }

DWORD currentThreadId() {
  if (t_threadId == 0) t_threadId = newThreadId();
  return t_threadId;
}

}  // namespace tp::win32

EXTERN_C DWORD WINAPI GetCurrentThreadId(void) { return tp::win32::currentThreadId(); }

EXTERN_C DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(::getpid()); }

EXTERN_C BOOL WINAPI CloseHandle(HANDLE hObject) { return tp::win32::removeHandle(hObject) ? TRUE : FALSE; }

EXTERN_C DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  tp::win32::KernelObjectPtr object = tp::win32::referenceHandle(hHandle);
  if (!object) return WAIT_FAILED;
  return object->waitOne(dwMilliseconds);
}

EXTERN_C DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                                             DWORD dwMilliseconds) {
  if (lpHandles == nullptr || nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  tp::win32::KernelObjectPtr objects[MAXIMUM_WAIT_OBJECTS];
  for (DWORD i = 0; i < nCount; ++i) {
    objects[i] = tp::win32::referenceHandle(lpHandles[i]);
    if (!objects[i]) return WAIT_FAILED;
  }
  return tp::win32::waitForObjects(objects, nCount, bWaitAll != FALSE, dwMilliseconds);
}
