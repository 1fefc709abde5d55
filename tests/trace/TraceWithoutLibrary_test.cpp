// Runs from a folder with no quilltrace.dll: the module works, every trace
// call does nothing, and the search reports where it looked.
#include "trace/Trace.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<std::u16string> g_debug;
void WINAPI CollectDebug(LPCWSTR text) { g_debug.push_back(text); }

TEST(TraceWithoutLibrary, EveryCallReturnsMinusOne) {
  const QuillTraceBinding &b = TheQuillTraceBinding();
  EXPECT_EQ(b.module, nullptr);
  EXPECT_EQ(b.trace, nullptr);
  EXPECT_EQ(b.traceA, nullptr);
  EXPECT_EQ(TraceA2("a %d", 1), -1);
  EXPECT_EQ(TraceA4("a"), -1);
  EXPECT_EQ(TraceA8("a"), -1);
  EXPECT_EQ(TraceW2(TEXT("w %d"), 1), -1);
  EXPECT_EQ(TraceW4(TEXT("w")), -1);
  EXPECT_EQ(TraceW8(TEXT("w")), -1);
  EXPECT_EQ(TraceDumpToFile(TEXT("x"), "x", 1), -1);
  const GUID yv12 = {0x32315659, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  EXPECT_EQ(std::u16string(FormatGuid(&yv12)), u"32315659-0000-0010-8000-00AA00389B71 (YV12)");
}

TEST(TraceWithoutLibrary, SearchWritesOnlyItsProgressLines) {
  TraceLoaderApi api = SystemTraceLoaderApi();
  api.outputDebugStringW = &CollectDebug;
  EXPECT_EQ(LoadTraceLibrary(api), nullptr);
  const std::string exe = std::filesystem::canonical("/proc/self/exe").string();
  const std::string lib = exe.substr(0, exe.rfind('/')) + "/quilltrace.dll";
  EXPECT_EQ(g_debug, (std::vector<std::u16string>{u"The OS is  XP+ and loaded quilltra.dll firtly",
                                                  std::u16string(exe.begin(), exe.end()),
                                                  std::u16string(lib.begin(), lib.end())}));
}

}  // namespace
