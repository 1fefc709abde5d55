#include "trace/Trace.h"

#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

std::u16string Text(const GUID &guid) { return FormatGuid(&guid); }

TEST(FormatGuid, ShowsFieldsInHexAndFirstFieldAsLetters) {
  const GUID yv12 = {0x32315659, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  EXPECT_EQ(Text(yv12), u"32315659-0000-0010-8000-00AA00389B71 (YV12)");
  const GUID mixed = {0x0A0B0C0D, 0xABCD, 0x0123, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
  EXPECT_EQ(Text(mixed), u"0A0B0C0D-ABCD-0123-FEDC-BA9876543210 (....)");
}

TEST(FormatGuid, ControlAndHighBytesShowAsFullStops) {
  // Memory order, lowest byte first: 0x1F, ' ', 0x80, DEL.
  const GUID control = {0x7F80201F, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
  EXPECT_EQ(Text(control), u"7F80201F-0000-0000-0000-000000000000 (. ..)");
  const GUID edges = {0xFF7E2100, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
  EXPECT_EQ(Text(edges), u"FF7E2100-0000-0000-0000-000000000000 (.!~.)");
  EXPECT_EQ(FormatGuid(nullptr), nullptr);
}

TEST(FormatGuid, EachThreadHasItsOwnBuffer) {
  const GUID a = {0x41414141, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  const GUID b = {0x42424242, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  // Within a thread the next call overwrites the text.
  const WCHAR *first = FormatGuid(&a);
  FormatGuid(&b);
  EXPECT_EQ(std::u16string(first), Text(b));

  bool clean[2] = {true, true};
  auto run = [](const GUID &guid, const std::u16string &expected, bool *ok) {
    for (int i = 0; i < 2000; ++i) *ok = *ok && FormatGuid(&guid) == expected;
  };
  const std::u16string ta = Text(a), tb = Text(b);
  std::thread t1(run, std::cref(a), ta, &clean[0]);
  std::thread t2(run, std::cref(b), tb, &clean[1]);
  t1.join();
  t2.join();
  EXPECT_TRUE(clean[0]);
  EXPECT_TRUE(clean[1]);
}

}  // namespace
