// Small synchronisation wrappers used throughout the framework.
//
// CCritSec owns one recursive critical section; CAutoLock holds a CCritSec
// for the lifetime of a scope; CAMEvent owns one Win32 event handle. None of
// them is copyable. A CAMEvent whose handle could not be created is still a
// valid object: IsValid() says so and every operation on it fails quietly, so
// that its owner can refuse to use it instead of crashing.
#pragma once

#include <windows.h>

class CCritSec {
 public:
  CCritSec() { InitializeCriticalSection(&m_cs); }
  ~CCritSec() { DeleteCriticalSection(&m_cs); }
  CCritSec(const CCritSec &) = delete;
  CCritSec &operator=(const CCritSec &) = delete;

  void Lock() { EnterCriticalSection(&m_cs); }
  void Unlock() { LeaveCriticalSection(&m_cs); }
  // Takes the lock only if that needs no waiting.
  bool TryLock() { return TryEnterCriticalSection(&m_cs) != FALSE; }

 private:
  CRITICAL_SECTION m_cs;
};

// Holds the lock from construction to destruction. A null lock is allowed and
// then nothing is held.
class CAutoLock {
 public:
  explicit CAutoLock(CCritSec *lock) : m_lock(lock) {
    if (m_lock) m_lock->Lock();
  }
  ~CAutoLock() {
    if (m_lock) m_lock->Unlock();
  }
  CAutoLock(const CAutoLock &) = delete;
  CAutoLock &operator=(const CAutoLock &) = delete;

 private:
  CCritSec *m_lock;
};

// A Win32 event. The creator may be replaced (tests provoke a failed
// creation with it); by default CreateEventW makes an unnamed event.
class CAMEvent {
 public:
  using Creator = HANDLE (*)(BOOL manualReset);

  explicit CAMEvent(BOOL manualReset = FALSE, Creator create = nullptr)
      : m_hEvent(create ? create(manualReset) : CreateEventW(nullptr, manualReset, FALSE, nullptr)) {}
  ~CAMEvent() {
    if (m_hEvent) CloseHandle(m_hEvent);
  }
  CAMEvent(const CAMEvent &) = delete;
  CAMEvent &operator=(const CAMEvent &) = delete;

  bool IsValid() const { return m_hEvent != nullptr; }
  HANDLE Handle() const { return m_hEvent; }
  void Set() {
    if (m_hEvent) SetEvent(m_hEvent);
  }
  void Reset() {
    if (m_hEvent) ResetEvent(m_hEvent);
  }
  // True when the event was signalled within the time-out (milliseconds or
  // INFINITE); false on time-out, on failure and for an event that does not
  // exist.
  bool Wait(DWORD timeout = INFINITE) { return m_hEvent && WaitForSingleObject(m_hEvent, timeout) == WAIT_OBJECT_0; }

 private:
  HANDLE m_hEvent;
};
