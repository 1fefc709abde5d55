// Sleep, GetTickCount and the performance counter, all on the monotonic clock.
// The performance counter runs at 10 MHz, the rate Windows reports on current
// machines, so callers' arithmetic keeps the same headroom.
#include <time.h>

#include <chrono>
#include <thread>

#include <windows.h>

namespace {

constexpr LONGLONG kCounterFrequency = 10'000'000;

struct timespec monotonicNow() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

}  // namespace

EXTERN_C void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (dwMilliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

EXTERN_C DWORD WINAPI GetTickCount(void) {
  const struct timespec ts = monotonicNow();
  // Wraps after 49.7 days, as on Windows.
  return static_cast<DWORD>(static_cast<ULONGLONG>(ts.tv_sec) * 1000u + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000u);
}

EXTERN_C BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount) {
  if (lpPerformanceCount == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const struct timespec ts = monotonicNow();
  lpPerformanceCount->QuadPart = static_cast<LONGLONG>(ts.tv_sec) * kCounterFrequency + ts.tv_nsec / 100;
  return TRUE;
}

EXTERN_C BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency) {
  if (lpFrequency == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  lpFrequency->QuadPart = kCounterFrequency;
  return TRUE;
}
