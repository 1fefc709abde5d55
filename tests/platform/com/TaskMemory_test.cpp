// COM task memory: zero-size blocks, reallocation, refusal of absurd sizes.
#include <objbase.h>

#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

namespace {

TEST(TaskMemory, ZeroBytesGiveDistinctValidBlocks) {
  void *a = CoTaskMemAlloc(0);
  void *b = CoTaskMemAlloc(0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  CoTaskMemFree(a);
  CoTaskMemFree(b);
  CoTaskMemFree(nullptr);
}

TEST(TaskMemory, ReallocKeepsContentsAndFreesOnZero) {
  auto *p = static_cast<char *>(CoTaskMemAlloc(8));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
  std::memcpy(p, "tidepoo", 8);
  p = static_cast<char *>(CoTaskMemRealloc(p, 4096));
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p, "tidepoo");
  EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr);  // freed: a leak would show under ASan

  void *fresh = CoTaskMemRealloc(nullptr, 16);
  ASSERT_NE(fresh, nullptr);
  CoTaskMemFree(fresh);
}

TEST(TaskMemory, AbsurdSizesAreRefusedAndLeaveTheBlockAlone) {
  EXPECT_EQ(CoTaskMemAlloc(SIZE_MAX), nullptr);
  EXPECT_EQ(CoTaskMemAlloc(SIZE_T{1} << 40), nullptr);
  auto *p = static_cast<char *>(CoTaskMemAlloc(4));
  ASSERT_NE(p, nullptr);
  std::memcpy(p, "abc", 4);
  EXPECT_EQ(CoTaskMemRealloc(p, SIZE_MAX - 8), nullptr);
  EXPECT_STREQ(p, "abc");
  CoTaskMemFree(p);
}

}  // namespace
