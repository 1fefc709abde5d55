#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Whether another thread could take the mutex right now.
DWORD TryFromOtherThread(HANDLE h) {
  DWORD result = WAIT_FAILED;
  std::thread t([&] {
    result = WaitForSingleObject(h, 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ReleaseMutex(h);
  });
  t.join();
  return result;
}

TEST(Mutex, Named_SameNameOpensTheSameObject) {
  HANDLE a = CreateMutexW(nullptr, FALSE, TEXT("TpMutexTest.Named"));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  // The initial-owner flag does not apply to an existing mutex.
  HANDLE b = CreateMutexA(nullptr, TRUE, "TpMutexTest.Named");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_NE(a, b);
  EXPECT_EQ(TryFromOtherThread(a), static_cast<DWORD>(WAIT_OBJECT_0));

  ASSERT_EQ(WaitForSingleObject(a, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(TryFromOtherThread(b), static_cast<DWORD>(WAIT_TIMEOUT)) << "owned through the other handle";
  EXPECT_TRUE(ReleaseMutex(b)) << "ownership belongs to the thread, not the handle";

  // Names are case-sensitive, as kernel object names are.
  HANDLE other = CreateMutexW(nullptr, FALSE, TEXT("tpmutextest.named"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  CloseHandle(other);

  CloseHandle(a);
  CloseHandle(b);
  HANDLE fresh = CreateMutexW(nullptr, FALSE, TEXT("TpMutexTest.Named"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "gone once every handle is closed";
  CloseHandle(fresh);
}

TEST(Mutex, Unnamed_AreDistinct) {
  HANDLE a = CreateMutexW(nullptr, TRUE, nullptr);
  HANDLE b = CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(TryFromOtherThread(a), static_cast<DWORD>(WAIT_TIMEOUT)) << "initial owner";
  EXPECT_EQ(TryFromOtherThread(b), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(ReleaseMutex(a));
  CloseHandle(a);
  CloseHandle(b);
}

TEST(Mutex, Recursion_CountsAndOnlyTheOwnerReleases) {
  HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
  EXPECT_FALSE(ReleaseMutex(m));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
  ASSERT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  ASSERT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_OBJECT_0));

  BOOL releasedByOther = TRUE;
  std::thread t([&] { releasedByOther = ReleaseMutex(m); });
  t.join();
  EXPECT_FALSE(releasedByOther);

  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(TryFromOtherThread(m), static_cast<DWORD>(WAIT_TIMEOUT)) << "still owned once";
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(TryFromOtherThread(m), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_FALSE(ReleaseMutex(m));
  EXPECT_FALSE(ReleaseMutex(reinterpret_cast<HANDLE>(0x4242)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(m);
}

TEST(Mutex, OwnerThreadEnds_NextWaitIsAbandoned) {
  HANDLE m = CreateMutexW(nullptr, FALSE, TEXT("TpMutexTest.Abandoned"));
  std::thread t([&] { ASSERT_EQ(WaitForSingleObject(m, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0)); });
  t.join();
  EXPECT_EQ(WaitForSingleObject(m, 1000), static_cast<DWORD>(WAIT_ABANDONED));
  EXPECT_TRUE(ReleaseMutex(m)) << "the abandoned mutex now belongs to this thread";
  EXPECT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "reported once only";
  EXPECT_TRUE(ReleaseMutex(m));
  CloseHandle(m);
}

TEST(Mutex, WaiterBlockedOnOwner_WakesWhenOwnerEnds) {
  HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
  std::atomic<bool> owned{false};
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread owner([&] {
    WaitForSingleObject(m, INFINITE);
    owned = true;
    WaitForSingleObject(go, INFINITE);
  });
  while (!owned) std::this_thread::yield();
  DWORD result = WAIT_FAILED;
  std::thread waiter([&] {
    result = WaitForSingleObject(m, INFINITE);
    ReleaseMutex(m);
  });
  SetEvent(go);
  owner.join();
  waiter.join();
  EXPECT_EQ(result, static_cast<DWORD>(WAIT_ABANDONED));
  CloseHandle(go);
  CloseHandle(m);
}

TEST(Mutex, InitTermPattern_SerialisesThreads) {
  // Create unowned by name, wait, work, release, close: on every call.
  int counter = 0;  // guarded by the named mutex only
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int n = 0; n < 500; ++n) {
        HANDLE m = CreateMutexA(nullptr, FALSE, "QTMLInitTermMutexTest");
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(WaitForSingleObject(m, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
        const int seen = counter;
        std::this_thread::yield();
        counter = seen + 1;
        ASSERT_TRUE(ReleaseMutex(m));
        CloseHandle(m);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, 2000);
}

}  // namespace
