// A plain exclusive lock for the trace library: a slim reader/writer lock on
// Windows (whose toolchain may lack std::mutex), std::mutex elsewhere.
// Not recursive. Used with std::lock_guard.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <mutex>
#endif

namespace quilltrace {

class Lock {
 public:
  Lock() = default;
  Lock(const Lock &) = delete;
  Lock &operator=(const Lock &) = delete;

#if defined(_WIN32)
  void lock() { AcquireSRWLockExclusive(&lock_); }
  void unlock() { ReleaseSRWLockExclusive(&lock_); }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
#else
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
#endif
};

}  // namespace quilltrace
