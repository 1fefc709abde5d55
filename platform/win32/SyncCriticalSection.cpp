// Critical sections: recursive locks kept behind the CRITICAL_SECTION record.
// DebugInfo points at our lock; OwningThread holds the owner's thread id and
// RecursionCount the owner's depth. A record that was zero-filled but never
// initialised gets its lock on first use instead of crashing, and leaving a
// section that the calling thread does not own is ignored.
#include <mutex>
#include <new>

#include "win32/KernelObject.h"

namespace {

struct SectionLock {
  std::recursive_mutex mutex;
};

SectionLock *lockOf(LPCRITICAL_SECTION cs) {
  void *current = __atomic_load_n(&cs->DebugInfo, __ATOMIC_ACQUIRE);
  if (current != nullptr) return static_cast<SectionLock *>(current);
  auto *fresh = new SectionLock;
  void *expected = nullptr;
  if (__atomic_compare_exchange_n(&cs->DebugInfo, &expected, fresh, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
    return fresh;
  delete fresh;
  return static_cast<SectionLock *>(expected);
}

HANDLE ownerValue() { return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(tp::win32::currentThreadId())); }

void noteEntered(LPCRITICAL_SECTION cs) {
  // Only the owner writes these, and only while it holds the lock.
  if (cs->RecursionCount++ == 0) __atomic_store_n(&cs->OwningThread, ownerValue(), __ATOMIC_RELAXED);
}

}  // namespace

EXTERN_C void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection == nullptr) return;
  lpCriticalSection->LockCount = -1;
  lpCriticalSection->RecursionCount = 0;
  lpCriticalSection->OwningThread = nullptr;
  lpCriticalSection->LockSemaphore = nullptr;
  lpCriticalSection->SpinCount = 0;
  __atomic_store_n(&lpCriticalSection->DebugInfo, static_cast<PVOID>(new SectionLock), __ATOMIC_RELEASE);
}

EXTERN_C void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection == nullptr) return;
  delete static_cast<SectionLock *>(
      __atomic_exchange_n(&lpCriticalSection->DebugInfo, static_cast<PVOID>(nullptr), __ATOMIC_ACQ_REL));
}

EXTERN_C void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection == nullptr) return;
  lockOf(lpCriticalSection)->mutex.lock();
  noteEntered(lpCriticalSection);
}

EXTERN_C BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection == nullptr) return FALSE;
  if (!lockOf(lpCriticalSection)->mutex.try_lock()) return FALSE;
  noteEntered(lpCriticalSection);
  return TRUE;
}

EXTERN_C void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection == nullptr) return;
  if (__atomic_load_n(&lpCriticalSection->OwningThread, __ATOMIC_RELAXED) != ownerValue()) return;
  if (--lpCriticalSection->RecursionCount == 0)
    __atomic_store_n(&lpCriticalSection->OwningThread, static_cast<HANDLE>(nullptr), __ATOMIC_RELAXED);
  lockOf(lpCriticalSection)->mutex.unlock();
}
