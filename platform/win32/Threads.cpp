// Threads: CreateThread (with CREATE_SUSPENDED until ResumeThread),
// GetExitCodeThread, ResumeThread, and thread priorities, which are recorded
// and reported back but do not change scheduling. A thread handle is a
// kernel object that becomes signalled when the thread's routine returns;
// the running thread holds its own reference, so closing the handle early
// neither stops the thread nor frees the object under it.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>

#include "win32/KernelObject.h"

namespace {

class Thread final : public tp::win32::KernelObject {
 public:
  Thread(LPTHREAD_START_ROUTINE routine, void *parameter, DWORD id, bool suspended)
      : routine_(routine), parameter_(parameter), id_(id), suspended_(suspended) {}

  static void *entry(void *arg);

  DWORD id() const { return id_; }
  // Returns the previous suspend count (0 or 1).
  DWORD resume() {
    bool was = false;
    {
      std::lock_guard<std::mutex> lock(tp::win32::dispatcherMutex());
      was = suspended_;
      suspended_ = false;
    }
    if (was) tp::win32::wakeWaiters();
    return was ? 1 : 0;
  }
  DWORD exitCode() {
    std::lock_guard<std::mutex> lock(tp::win32::dispatcherMutex());
    return ended_ ? exitCode_ : STILL_ACTIVE;
  }
  std::atomic<int> priority{THREAD_PRIORITY_NORMAL};

  // KernelObject (dispatcher lock held)
  bool isSignalledFor(DWORD) const override { return ended_; }

 private:
  const LPTHREAD_START_ROUTINE routine_;
  void *const parameter_;
  const DWORD id_;
  // Guarded by the dispatcher lock:
  bool suspended_;
  bool ended_ = false;
  DWORD exitCode_ = STILL_ACTIVE;
};

void *Thread::entry(void *arg) {
  std::shared_ptr<Thread> self(std::move(*static_cast<std::shared_ptr<Thread> *>(arg)));
  delete static_cast<std::shared_ptr<Thread> *>(arg);
  tp::win32::adoptThreadId(self->id_);
  {
    std::unique_lock<std::mutex> lock(tp::win32::dispatcherMutex());
    while (self->suspended_) tp::win32::waitForChange(lock);
  }
  const DWORD code = self->routine_(self->parameter_);
  {
    std::lock_guard<std::mutex> lock(tp::win32::dispatcherMutex());
    self->exitCode_ = code;
    self->ended_ = true;
  }
  tp::win32::wakeWaiters();
  return nullptr;
}

bool validPriority(int p) {
  return (p >= THREAD_PRIORITY_LOWEST && p <= THREAD_PRIORITY_HIGHEST) || p == THREAD_PRIORITY_TIME_CRITICAL ||
         p == THREAD_PRIORITY_IDLE;
}

}  // namespace

EXTERN_C HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (lpStartAddress == nullptr || (dwCreationFlags & ~static_cast<DWORD>(CREATE_SUSPENDED)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<Thread> thread;
  std::shared_ptr<Thread> *startRef = nullptr;
  try {
    thread = std::make_shared<Thread>(lpStartAddress, lpParameter, tp::win32::newThreadId(),
                                      (dwCreationFlags & CREATE_SUSPENDED) != 0);
    startRef = new std::shared_ptr<Thread>(thread);
  } catch (const std::bad_alloc &) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE handle = tp::win32::insertHandle(thread);
  if (handle == nullptr) {
    delete startRef;
    return nullptr;
  }

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (dwStackSize != 0) {
    const SIZE_T page = static_cast<SIZE_T>(::sysconf(_SC_PAGESIZE));
    const SIZE_T size = std::max<SIZE_T>(dwStackSize, PTHREAD_STACK_MIN);
    pthread_attr_setstacksize(&attr, (size + page - 1) / page * page);
  }
  pthread_t native;
  const int rc = pthread_create(&native, &attr, &Thread::entry, startRef);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete startRef;
    tp::win32::removeHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (lpThreadId != nullptr) *lpThreadId = thread->id();
  return handle;
}

EXTERN_C DWORD WINAPI ResumeThread(HANDLE hThread) {
  auto thread = tp::win32::referenceHandleAs<Thread>(hThread);
  if (!thread) return static_cast<DWORD>(-1);
  return thread->resume();
}

EXTERN_C BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto thread = tp::win32::referenceHandleAs<Thread>(hThread);
  if (!thread) return FALSE;
  if (lpExitCode == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpExitCode = thread->exitCode();
  return TRUE;
}

EXTERN_C BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
  auto thread = tp::win32::referenceHandleAs<Thread>(hThread);
  if (!thread) return FALSE;
  if (!validPriority(nPriority)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  thread->priority.store(nPriority, std::memory_order_relaxed);
  return TRUE;
}

EXTERN_C int WINAPI GetThreadPriority(HANDLE hThread) {
  auto thread = tp::win32::referenceHandleAs<Thread>(hThread);
  if (!thread) return THREAD_PRIORITY_ERROR_RETURN;
  return thread->priority.load(std::memory_order_relaxed);
}
