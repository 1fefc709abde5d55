// The system reference clock: one-shot and periodic advises fire on time
// and not before, Unadvise cancels, bad requests are refused; and the
// semaphores that periodic advises release.
#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

namespace {

constexpr REFERENCE_TIME kMs = 10000;

class SystemClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                                     reinterpret_cast<void **>(&clock)));
    event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    semaphore = CreateSemaphoreW(nullptr, 0, 100, nullptr);
    ASSERT_NE(nullptr, event);
    ASSERT_NE(nullptr, semaphore);
  }
  void TearDown() override {
    clock->Release();
    CloseHandle(event);
    CloseHandle(semaphore);
    CoUninitialize();
  }
  REFERENCE_TIME Now() {
    REFERENCE_TIME t = 0;
    EXPECT_TRUE(SUCCEEDED(clock->GetTime(&t)));
    return t;
  }

  IReferenceClock *clock = nullptr;
  HANDLE event = nullptr;
  HANDLE semaphore = nullptr;
};

TEST_F(SystemClockTest, AdviseTime_SetsTheEventWhenTheTimeComes) {
  const REFERENCE_TIME start = Now();
  DWORD_PTR cookie = 0;
  ASSERT_EQ(S_OK, clock->AdviseTime(start, 50 * kMs, reinterpret_cast<HEVENT>(event), &cookie));
  EXPECT_NE(0u, cookie);
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event, 5000));
  EXPECT_GE(Now(), start + 50 * kMs);
  EXPECT_EQ(S_FALSE, clock->Unadvise(cookie));  // one-shot: gone once fired

  // A time already past fires at once.
  ResetEvent(event);
  ASSERT_EQ(S_OK, clock->AdviseTime(0, start, reinterpret_cast<HEVENT>(event), &cookie));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event, 5000));

  // Cancelled in time: never fires.
  ResetEvent(event);
  ASSERT_EQ(S_OK, clock->AdviseTime(Now(), 60 * kMs, reinterpret_cast<HEVENT>(event), &cookie));
  EXPECT_EQ(S_OK, clock->Unadvise(cookie));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 150));
}

TEST_F(SystemClockTest, AdvisePeriodic_ReleasesOncePerPeriod) {
  const REFERENCE_TIME start = Now();
  DWORD_PTR cookie = 0;
  ASSERT_EQ(S_OK, clock->AdvisePeriodic(start + 10 * kMs, 20 * kMs, reinterpret_cast<HSEMAPHORE>(semaphore), &cookie));
  for (int i = 0; i < 4; ++i) ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(semaphore, 5000)) << i;
  // Four releases: the start and three periods after it.
  EXPECT_GE(Now(), start + 70 * kMs);
  EXPECT_EQ(S_OK, clock->Unadvise(cookie));
}

TEST_F(SystemClockTest, BadRequests_AreRefused) {
  DWORD_PTR cookie = 0;
  const HEVENT e = reinterpret_cast<HEVENT>(event);
  const HSEMAPHORE s = reinterpret_cast<HSEMAPHORE>(semaphore);
  EXPECT_EQ(E_POINTER, clock->AdviseTime(0, 1, e, nullptr));
  EXPECT_EQ(E_INVALIDARG, clock->AdviseTime(0, 1, 0, &cookie));
  EXPECT_EQ(E_INVALIDARG, clock->AdviseTime(0, 0, e, &cookie));
  EXPECT_EQ(E_INVALIDARG, clock->AdviseTime(0x7FFFFFFFFFFFFFFFLL, 1, e, &cookie));
  EXPECT_EQ(E_INVALIDARG, clock->AdvisePeriodic(0, 0, s, &cookie));
  EXPECT_EQ(E_INVALIDARG, clock->AdvisePeriodic(-1, kMs, s, &cookie));
  EXPECT_EQ(E_INVALIDARG, clock->AdvisePeriodic(0, kMs, 0, &cookie));
  EXPECT_EQ(S_FALSE, clock->Unadvise(12345));
  // The semaphore refuses to pass its maximum and keeps its count.
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(semaphore, 100, &previous));
  EXPECT_EQ(0, previous);
  EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, &previous));
  EXPECT_EQ(100, previous);
  REFERENCE_TIME a = Now(), b = Now();
  EXPECT_LE(a, b);
}

}  // namespace
