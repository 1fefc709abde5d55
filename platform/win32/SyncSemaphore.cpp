// Semaphores: CreateSemaphore, ReleaseSemaphore. Unnamed only: nothing in
// the program shares a semaphore by name.
#include "win32/SyncSemaphore.h"

#include <new>

namespace tp::win32 {

bool SyncSemaphore::release(LONG release, LONG *previous) {
  {
    std::lock_guard<std::mutex> lock(dispatcherMutex());
    if (previous) *previous = count_;
    if (release > maximum_ - count_) return false;
    count_ += release;
  }
  wakeWaiters();
  return true;
}

bool SyncSemaphore::isSignalledFor(DWORD) const { return count_ > 0; }

DWORD SyncSemaphore::acquire(DWORD) {
  --count_;
  return WAIT_OBJECT_0;
}

}  // namespace tp::win32

namespace {

HANDLE createSemaphore(LONG initial, LONG maximum, bool named) {
  if (named) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (maximum <= 0 || initial < 0 || initial > maximum) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<tp::win32::SyncSemaphore> semaphore;
  try {
    semaphore = std::make_shared<tp::win32::SyncSemaphore>(initial, maximum);
  } catch (const std::bad_alloc &) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE handle = tp::win32::insertHandle(std::move(semaphore));
  if (handle != nullptr) SetLastError(ERROR_SUCCESS);
  return handle;
}

}  // namespace

EXTERN_C HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount, LPCWSTR lpName) {
  return createSemaphore(lInitialCount, lMaximumCount, lpName != nullptr && lpName[0] != 0);
}

EXTERN_C HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount, LPCSTR lpName) {
  return createSemaphore(lInitialCount, lMaximumCount, lpName != nullptr && lpName[0] != 0);
}

EXTERN_C BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount) {
  auto semaphore = tp::win32::referenceHandleAs<tp::win32::SyncSemaphore>(hSemaphore);
  if (!semaphore) return FALSE;
  if (lReleaseCount <= 0 || !semaphore->release(lReleaseCount, lpPreviousCount)) {
    SetLastError(ERROR_TOO_MANY_POSTS);
    return FALSE;
  }
  return TRUE;
}
