// Memory Manager semantics through the dispatcher: sizes, lock state,
// refusal of null and foreign blocks, allocation failure, per-thread MemError.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "toolbox/MemoryManager.h"
#include "RuntimeCalls.h"

namespace tp::test {
namespace {

using namespace qtcall;
using qt::MemoryManager;

Ptr QNewPtr(Size n) { return reinterpret_cast<Ptr>(DispatchCall(kQTSelNewPtr, n)); }
void QDisposePtr(Ptr p) { DispatchCall(kQTSelDisposePtr, p); }
void QHLock(Handle h) { DispatchCall(kQTSelHLock, h); }
void QHUnlock(Handle h) { DispatchCall(kQTSelHUnlock, h); }

class MemoryManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handles_ = MemoryManager::Instance().LiveHandleCount();
    ptrs_ = MemoryManager::Instance().LivePtrCount();
  }
  void TearDown() override {
    MemoryManager::SetReallocatorForTesting(nullptr);
    EXPECT_EQ(MemoryManager::Instance().LiveHandleCount(), handles_) << "a handle leaked";
    EXPECT_EQ(MemoryManager::Instance().LivePtrCount(), ptrs_) << "a pointer leaked";
  }
  size_t handles_ = 0, ptrs_ = 0;
};

TEST_F(MemoryManagerTest, Handle_KnowsItsSizeAndHoldsData) {
  Handle h = QNewHandle(1000);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(QMemError(), noErr);
  EXPECT_EQ(QGetHandleSize(h), 1000);
  ASSERT_NE(*h, nullptr);
  std::memset(*h, 0xAB, 1000);  // the whole block is writable (ASan checks)
  EXPECT_EQ(MemoryManager::Instance().SetHandleSize(h, 10), noErr);
  EXPECT_EQ(QGetHandleSize(h), 10);
  EXPECT_EQ(static_cast<uint8_t>((*h)[9]), 0xAB) << "shrinking keeps the data";
  EXPECT_EQ(MemoryManager::Instance().SetHandleSize(h, 5000), noErr);
  EXPECT_EQ(static_cast<uint8_t>((*h)[0]), 0xAB) << "growing keeps the data";
  std::memset(*h, 0, 5000);
  QDisposeHandle(h);
  EXPECT_EQ(QMemError(), noErr);

  Handle empty = QNewHandle(0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(QGetHandleSize(empty), 0);
  EXPECT_NE(*empty, nullptr) << "even an empty handle has a real block";
  QDisposeHandle(empty);
}

TEST_F(MemoryManagerTest, Handle_NullForeignAndDisposedAreRefused) {
  QDisposeHandle(nullptr);
  EXPECT_EQ(QMemError(), nilHandleErr);
  EXPECT_EQ(QGetHandleSize(nullptr), 0);
  EXPECT_EQ(QMemError(), nilHandleErr);

  char *block = nullptr;
  Handle foreign = &block;  // looks like a handle, is not one of ours
  QDisposeHandle(foreign);
  EXPECT_EQ(QMemError(), memWZErr);
  EXPECT_EQ(QGetHandleSize(foreign), 0);
  EXPECT_EQ(QMemError(), memWZErr);
  QHLock(foreign);
  EXPECT_EQ(QMemError(), memWZErr);

  Handle h = QNewHandle(8);
  QDisposeHandle(h);
  QDisposeHandle(h);  // a second dispose must not free twice
  EXPECT_EQ(QMemError(), memWZErr);
}

TEST_F(MemoryManagerTest, Handle_LockedBlockNeverMoves) {
  Handle h = QNewHandle(64);
  QHLock(h);
  EXPECT_TRUE(MemoryManager::Instance().IsLocked(h));
  char *data = *h;
  EXPECT_EQ(MemoryManager::Instance().SetHandleSize(h, 16), noErr);
  EXPECT_EQ(MemoryManager::Instance().SetHandleSize(h, 64), noErr) << "within the block: allowed";
  EXPECT_EQ(*h, data);
  EXPECT_EQ(MemoryManager::Instance().SetHandleSize(h, 1 << 20), memLockedErr);
  EXPECT_EQ(*h, data);
  EXPECT_EQ(QGetHandleSize(h), 64);
  // HLockHi locks the same way.
  QHUnlock(h);
  EXPECT_FALSE(MemoryManager::Instance().IsLocked(h));
  DispatchCall(kQTSelHLockHi, h);
  EXPECT_TRUE(MemoryManager::Instance().IsLocked(h));
  QHUnlock(h);
  EXPECT_EQ(MemoryManager::Instance().SetHandleSize(h, 1 << 20), noErr) << "unlocked: may move";
  QDisposeHandle(h);
}

TEST_F(MemoryManagerTest, AbsurdAndFailedAllocations_GiveMemFullErr) {
  EXPECT_EQ(QNewHandle(-1), nullptr);
  EXPECT_EQ(QMemError(), memFullErr);
  EXPECT_EQ(QNewHandle(0x7FFFFFFF), nullptr);
  EXPECT_EQ(QMemError(), memFullErr);
  EXPECT_EQ(QNewPtr(-5), nullptr);
  EXPECT_EQ(QMemError(), memFullErr);

  Handle h = QNewHandle(16);
  MemoryManager::SetReallocatorForTesting([](void *, size_t) -> void * { return nullptr; });
  EXPECT_EQ(QNewHandle(100), nullptr);
  EXPECT_EQ(QMemError(), memFullErr);
  EXPECT_EQ(QNewPtr(100), nullptr);
  EXPECT_EQ(QMemError(), memFullErr);
  EXPECT_EQ(MemoryManager::Instance().SetHandleSize(h, 4096), memFullErr);
  EXPECT_EQ(QGetHandleSize(h), 16) << "a failed resize leaves the handle as it was";
  MemoryManager::SetReallocatorForTesting(nullptr);
  QDisposeHandle(h);
}

TEST_F(MemoryManagerTest, Ptr_ForeignAndDoubleDisposeAreRefused) {
  Ptr p = QNewPtr(100);
  ASSERT_NE(p, nullptr);
  std::memset(p, 1, 100);
  EXPECT_EQ(MemoryManager::Instance().GetPtrSize(p), 100);
  char local[4];
  QDisposePtr(local);
  EXPECT_EQ(QMemError(), memWZErr);
  QDisposePtr(nullptr);
  EXPECT_EQ(QMemError(), paramErr);
  QDisposePtr(p);
  EXPECT_EQ(QMemError(), noErr);
  QDisposePtr(p);
  EXPECT_EQ(QMemError(), memWZErr);
}

TEST_F(MemoryManagerTest, BlockMoveData_CopiesOverlappingRanges) {
  char buf[16] = "abcdefghij";
  DispatchCall(kQTSelBlockMoveData, buf, buf + 2, 8);
  EXPECT_EQ(std::string(buf + 2, 8), "abcdefgh");
  DispatchCall(kQTSelBlockMoveData, nullptr, buf, 4);
  EXPECT_EQ(QMemError(), paramErr);
  DispatchCall(kQTSelBlockMoveData, nullptr, nullptr, 0);
  EXPECT_EQ(QMemError(), noErr);
}

TEST_F(MemoryManagerTest, MemError_IsPerThread) {
  QDisposeHandle(nullptr);
  ASSERT_EQ(QMemError(), nilHandleErr);
  OSErr other = 1;
  std::thread t([&] {
    Handle h = QNewHandle(4);
    QDisposeHandle(h);
    other = QMemError();
  });
  t.join();
  EXPECT_EQ(other, noErr);
  EXPECT_EQ(QMemError(), nilHandleErr) << "another thread's call does not change ours";
}

TEST_F(MemoryManagerTest, ConcurrentUse_KeepsTheRegistryConsistent) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 2000; ++i) {
        Handle h = QNewHandle(i % 64);
        QHLock(h);
        QHUnlock(h);
        MemoryManager::Instance().SetHandleSize(h, 128);
        QDisposeHandle(h);
        QDisposePtr(QNewPtr(32));
      }
    });
  }
  for (auto &t : threads) t.join();
}

}  // namespace
}  // namespace tp::test
