// Events, waits, threads, critical sections and handle lifetimes.
#include <windows.h>

#include <atomic>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr DWORD kLong = 10000;  // a bound for waits that must succeed

struct Waiter {
  HANDLE event;
  std::atomic<int> *released;
};

DWORD WINAPI waitThenCount(LPVOID p) {
  auto *w = static_cast<Waiter *>(p);
  if (WaitForSingleObject(w->event, INFINITE) != WAIT_OBJECT_0) return 1;
  w->released->fetch_add(1);
  return 0;
}

class Handles {
 public:
  ~Handles() {
    for (HANDLE h : handles_) CloseHandle(h);
  }
  HANDLE add(HANDLE h) {
    EXPECT_NE(h, nullptr);
    handles_.push_back(h);
    return h;
  }

 private:
  std::vector<HANDLE> handles_;
};

TEST(Events, AutoResetReleasesExactlyOneWaiterPerSet) {
  Handles owned;
  HANDLE event = owned.add(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  std::atomic<int> released{0};
  Waiter waiter{event, &released};
  HANDLE threads[2] = {owned.add(CreateThread(nullptr, 0, waitThenCount, &waiter, 0, nullptr)),
                       owned.add(CreateThread(nullptr, 0, waitThenCount, &waiter, 0, nullptr))};

  ASSERT_TRUE(SetEvent(event));
  const DWORD first = WaitForMultipleObjects(2, threads, FALSE, kLong);
  ASSERT_LT(first, WAIT_OBJECT_0 + 2);
  EXPECT_EQ(released.load(), 1);
  // The signal was consumed: the other waiter stays blocked.
  EXPECT_EQ(WaitForSingleObject(threads[1 - first], 50), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(threads[1 - first], kLong), WAIT_OBJECT_0);
  EXPECT_EQ(released.load(), 2);
}

TEST(Events, ManualResetReleasesAllAndStaysSetUntilReset) {
  Handles owned;
  HANDLE event = owned.add(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<int> released{0};
  Waiter waiter{event, &released};
  HANDLE threads[3];
  for (HANDLE &t : threads) t = owned.add(CreateThread(nullptr, 0, waitThenCount, &waiter, 0, nullptr));

  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForMultipleObjects(3, threads, TRUE, kLong), WAIT_OBJECT_0);
  EXPECT_EQ(released.load(), 3);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  HANDLE initiallySet = owned.add(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  EXPECT_EQ(WaitForSingleObject(initiallySet, 0), WAIT_OBJECT_0);
}

TEST(Waits, TimeOutsAreHonoured) {
  Handles owned;
  HANDLE event = owned.add(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  LARGE_INTEGER frequency, before, after;
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(frequency.QuadPart, 10000000);

  ASSERT_TRUE(QueryPerformanceCounter(&before));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(event, 60), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(QueryPerformanceCounter(&after));
  EXPECT_GE((after.QuadPart - before.QuadPart) * 1000 / frequency.QuadPart, 60);

  HANDLE both[2] = {event, owned.add(CreateEventW(nullptr, FALSE, FALSE, nullptr))};
  const DWORD tickBefore = GetTickCount();
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 30), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_GE(GetTickCount() - tickBefore, 29u);  // tick granularity
}

TEST(Waits, MultipleObjectsAnyReportsIndexAndAllConsumesOnlyWhenComplete) {
  Handles owned;
  HANDLE events[3];
  for (HANDLE &e : events) e = owned.add(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  ASSERT_TRUE(SetEvent(events[2]));
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForSingleObject(events[2], 0), static_cast<DWORD>(WAIT_TIMEOUT));  // consumed
  // Several signalled: the lowest index wins and only that one is consumed.
  ASSERT_TRUE(SetEvent(events[1]));
  ASSERT_TRUE(SetEvent(events[2]));
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);

  // Wait-all with only some set takes nothing.
  ASSERT_TRUE(SetEvent(events[0]));
  ASSERT_TRUE(SetEvent(events[1]));
  EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 20), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(SetEvent(events[2]));
  EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_OBJECT_0);
  for (HANDLE e : events) EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // Wait-all over a thread and an event, completed by the thread ending.
  HANDLE mixed[2] = {events[0], owned.add(CreateThread(
                                    nullptr, 0, [](LPVOID) -> DWORD { return 5; }, nullptr, 0, nullptr))};
  ASSERT_TRUE(SetEvent(events[0]));
  EXPECT_EQ(WaitForMultipleObjects(2, mixed, TRUE, kLong), WAIT_OBJECT_0);

  HANDLE twice[2] = {events[1], events[1]};
  EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(0, events, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, events, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Wait-all takes every object at once or none: with two waiters competing
// for pairs of auto-reset signals, each pair lets exactly one through.
TEST(Waits, WaitAllNeverTakesHalfAPair) {
  Handles owned;
  constexpr int kRounds = 300;
  struct Ctx {
    HANDLE pair[2];
    HANDLE through;
    std::atomic<int> passes{0};
  } ctx;
  for (HANDLE &e : ctx.pair) e = owned.add(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  ctx.through = owned.add(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  ASSERT_NE(ctx.through, nullptr);
  auto waiter = [](LPVOID p) -> DWORD {
    auto *c = static_cast<Ctx *>(p);
    for (;;) {
      const DWORD r = WaitForMultipleObjects(2, c->pair, TRUE, INFINITE);
      if (r != WAIT_OBJECT_0) return 1;
      if (c->passes.fetch_add(1) + 1 > kRounds) return 0;  // the final pair ends both
      SetEvent(c->through);
    }
  };
  HANDLE threads[2] = {owned.add(CreateThread(nullptr, 0, waiter, &ctx, 0, nullptr)),
                       owned.add(CreateThread(nullptr, 0, waiter, &ctx, 0, nullptr))};
  for (int round = 0; round < kRounds; ++round) {
    // Set the two halves separately so a waiter can see one without the other.
    ASSERT_TRUE(SetEvent(ctx.pair[0]));
    ASSERT_TRUE(SetEvent(ctx.pair[1]));
    ASSERT_EQ(WaitForSingleObject(ctx.through, kLong), WAIT_OBJECT_0) << "round " << round;
    ASSERT_EQ(ctx.passes.load(), round + 1);
  }
  // One more pair ends one waiter, and another pair the other.
  ASSERT_TRUE(SetEvent(ctx.pair[0]));
  ASSERT_TRUE(SetEvent(ctx.pair[1]));
  EXPECT_LT(WaitForMultipleObjects(2, threads, FALSE, kLong), WAIT_OBJECT_0 + 2);
  ASSERT_TRUE(SetEvent(ctx.pair[0]));
  ASSERT_TRUE(SetEvent(ctx.pair[1]));
  EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, kLong), WAIT_OBJECT_0);
  for (HANDLE t : threads) {
    DWORD code = 9;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 0u);
  }
}

struct Gate {
  HANDLE go;
  std::atomic<bool> ran{false};
  std::atomic<DWORD> idInside{0};
};

DWORD WINAPI gatedRoutine(LPVOID p) {
  auto *g = static_cast<Gate *>(p);
  g->ran = true;
  g->idInside = GetCurrentThreadId();
  WaitForSingleObject(g->go, INFINITE);
  return 1234;
}

TEST(Threads, HandleSignalsAtExitWithTheExitCode) {
  Handles owned;
  Gate gate;
  gate.go = owned.add(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  DWORD id = 0;
  HANDLE thread = owned.add(CreateThread(nullptr, 64 * 1024, gatedRoutine, &gate, 0, &id));
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());

  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(thread, 20), static_cast<DWORD>(WAIT_TIMEOUT));

  ASSERT_TRUE(SetEvent(gate.go));
  EXPECT_EQ(WaitForSingleObject(thread, kLong), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 1234u);
  EXPECT_EQ(gate.idInside.load(), id);
  // Stays signalled.
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
}

TEST(Threads, CreateSuspendedRunsOnlyAfterResume) {
  Handles owned;
  Gate gate;
  gate.go = owned.add(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  HANDLE thread = owned.add(CreateThread(nullptr, 0, gatedRoutine, &gate, CREATE_SUSPENDED, nullptr));
  EXPECT_EQ(WaitForSingleObject(thread, 30), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(gate.ran.load());
  EXPECT_EQ(ResumeThread(thread), 1u);
  EXPECT_EQ(WaitForSingleObject(thread, kLong), WAIT_OBJECT_0);
  EXPECT_TRUE(gate.ran.load());
  EXPECT_EQ(ResumeThread(thread), 0u);
}

TEST(Threads, ClosingHandlesNeitherStopsThreadsNorFreesObjectsInUse) {
  Handles owned;
  HANDLE done = owned.add(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  struct Relay {
    HANDLE go, finished;
  } relay{owned.add(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          owned.add(CreateEventW(nullptr, TRUE, FALSE, nullptr))};
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        const Relay r = *static_cast<Relay *>(p);
        WaitForSingleObject(r.go, INFINITE);
        SetEvent(r.finished);
        return 0;
      },
      &relay, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(CloseHandle(thread));  // the thread keeps running
  ASSERT_TRUE(SetEvent(relay.go));
  EXPECT_EQ(WaitForSingleObject(relay.finished, kLong), WAIT_OBJECT_0);

  // A waiter blocked on a handle that is closed under it: the named event's
  // second handle still reaches the same object and releases the waiter.
  HANDLE first = CreateEventW(nullptr, FALSE, FALSE, TEXT("tp-sync-test-shared"));
  ASSERT_NE(first, nullptr);
  HANDLE second = owned.add(CreateEventW(nullptr, FALSE, FALSE, TEXT("tp-sync-test-shared")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  struct Ctx {
    HANDLE wait, done;
  } ctx{first, done};
  HANDLE waiter = owned.add(CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto *c = static_cast<Ctx *>(p);
        const DWORD r = WaitForSingleObject(c->wait, INFINITE);
        SetEvent(c->done);
        return r;
      },
      &ctx, 0, nullptr));
  // Close once the waiter is known to be blocked or about to block; either
  // way its wait holds the object.
  EXPECT_EQ(WaitForSingleObject(done, 20), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CloseHandle(first));
  ASSERT_TRUE(SetEvent(second));
  EXPECT_EQ(WaitForSingleObject(waiter, kLong), WAIT_OBJECT_0);
  DWORD code = 99;
  ASSERT_TRUE(GetExitCodeThread(waiter, &code));
  EXPECT_EQ(code, WAIT_OBJECT_0);
}

TEST(Threads, PrioritiesAreRecorded) {
  Handles owned;
  Gate gate;
  gate.go = owned.add(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  HANDLE thread = owned.add(CreateThread(nullptr, 0, gatedRoutine, &gate, 0, nullptr));
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_NORMAL);
  EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL));
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_ABOVE_NORMAL);
  EXPECT_FALSE(SetThreadPriority(thread, 7));
  EXPECT_EQ(GetThreadPriority(gate.go), THREAD_PRIORITY_ERROR_RETURN);  // not a thread
  EXPECT_EQ(WaitForSingleObject(thread, kLong), WAIT_OBJECT_0);
}

TEST(Handles, MisuseIsReportedNotFatal) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  ASSERT_NE(event, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeThread(nullptr, &code));

  Handles owned;
  HANDLE thread = owned.add(CreateThread(
      nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr));
  EXPECT_FALSE(SetEvent(thread));  // wrong kind
  EXPECT_EQ(WaitForSingleObject(thread, kLong), WAIT_OBJECT_0);
}

struct Shared {
  CRITICAL_SECTION cs;
  long counter = 0;
};

TEST(CriticalSections, AreRecursiveAndExclusive) {
  Shared shared;
  InitializeCriticalSection(&shared.cs);
  EnterCriticalSection(&shared.cs);
  EnterCriticalSection(&shared.cs);
  EXPECT_TRUE(TryEnterCriticalSection(&shared.cs));
  EXPECT_EQ(shared.cs.RecursionCount, 3);

  auto tryFromOtherThread = [](LPVOID p) -> DWORD {
    auto *cs = static_cast<CRITICAL_SECTION *>(p);
    LeaveCriticalSection(cs);  // not the owner: ignored
    if (!TryEnterCriticalSection(cs)) return 0;
    LeaveCriticalSection(cs);
    return 1;
  };
  auto runOther = [&] {
    HANDLE t = CreateThread(nullptr, 0, tryFromOtherThread, &shared.cs, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, kLong), WAIT_OBJECT_0);
    DWORD code = 2;
    GetExitCodeThread(t, &code);
    CloseHandle(t);
    return code;
  };
  EXPECT_EQ(runOther(), 0u);
  LeaveCriticalSection(&shared.cs);
  LeaveCriticalSection(&shared.cs);
  EXPECT_EQ(runOther(), 0u);  // still held once
  LeaveCriticalSection(&shared.cs);
  EXPECT_EQ(runOther(), 1u);

  HANDLE workers[4];
  for (HANDLE &w : workers) {
    w = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
          auto *s = static_cast<Shared *>(p);
          for (int i = 0; i < 20000; ++i) {
            EnterCriticalSection(&s->cs);
            s->counter = s->counter + 1;
            LeaveCriticalSection(&s->cs);
          }
          return 0;
        },
        &shared, 0, nullptr);
    ASSERT_NE(w, nullptr);
  }
  EXPECT_EQ(WaitForMultipleObjects(4, workers, TRUE, 60000), WAIT_OBJECT_0);
  for (HANDLE w : workers) CloseHandle(w);
  EXPECT_EQ(shared.counter, 80000);
  DeleteCriticalSection(&shared.cs);

  // A zero-filled record works without initialisation.
  CRITICAL_SECTION zeroed{};
  EnterCriticalSection(&zeroed);
  LeaveCriticalSection(&zeroed);
  DeleteCriticalSection(&zeroed);
}

TEST(Time, TickCountAdvancesAcrossSleep) {
  const DWORD before = GetTickCount();
  Sleep(25);
  EXPECT_GE(GetTickCount() - before, 24u);
  EXPECT_NE(GetCurrentProcessId(), 0u);
  EXPECT_FALSE(QueryPerformanceCounter(nullptr));
}

}  // namespace

namespace {

TEST(Interlocked, ReturnValuesAndAtomicityMatchWindows) {
  LONG volatile value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6);
  EXPECT_EQ(InterlockedDecrement(&value), 5);
  EXPECT_EQ(InterlockedExchange(&value, 9), 5);  // old value
  EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 9);
  EXPECT_EQ(value, 12);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 12);  // no match: unchanged
  EXPECT_EQ(value, 12);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 12), 12);
  EXPECT_EQ(value, 1);
  int a = 0, b = 0;
  PVOID volatile pointer = &a;
  EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, &b, nullptr), &a);
  EXPECT_EQ(InterlockedExchangePointer(&pointer, &b), &a);
  EXPECT_EQ(pointer, &b);

  static LONG volatile counter = 0;
  counter = 0;
  HANDLE threads[4];
  for (HANDLE &t : threads) {
    t = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
          for (int i = 0; i < 50000; ++i) InterlockedIncrement(&counter);
          return 0;
        },
        nullptr, 0, nullptr);
    ASSERT_NE(t, nullptr);
  }
  EXPECT_EQ(WaitForMultipleObjects(4, threads, TRUE, 60000), WAIT_OBJECT_0);
  for (HANDLE t : threads) CloseHandle(t);
  EXPECT_EQ(counter, 200000);
}

}  // namespace
