// Automation strings: the length before the characters, the terminator,
// embedded NULs, null in and out, and lengths that cannot be counted.
#include <oleauto.h>

#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

namespace {

TEST(Bstr, AllocatedStrings_KeepTheirLengthAndTerminator) {
  const OLECHAR text[] = {'t', 'i', 'd', 'e', 0};
  BSTR a = SysAllocString(text);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(SysStringLen(a), 4u);
  EXPECT_EQ(std::memcmp(a, text, sizeof text), 0);
  uint32_t bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<const char *>(a) - 4, 4);
  EXPECT_EQ(bytes, 8u);  // the byte count, as on Windows

  const OLECHAR withNul[] = {'a', 0, 'b'};
  BSTR b = SysAllocStringLen(withNul, 3);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(b[1], 0);
  EXPECT_EQ(b[3], 0);

  BSTR empty = SysAllocStringLen(nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  EXPECT_EQ(empty[0], 0);

  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysAllocStringLen(text, 0x80000000u), nullptr);
  SysFreeString(nullptr);
  SysFreeString(a);
  SysFreeString(b);
  SysFreeString(empty);
}

}  // namespace
