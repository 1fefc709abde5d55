// Runs from a folder with no quilltrace.dll but links the library, so that
// it is already loaded (from bin/) when the module binds: the binding must
// use that copy.
#include "trace/Trace.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(TracePreloaded, BindingUsesCopyLoadedBeforeModule) {
  const HMODULE loaded = GetModuleHandleW(TEXT("quilltrace.dll"));
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(TheQuillTraceBinding().module, loaded);

  QuillTraceCaptureBegin();
  EXPECT_EQ(TraceA2("Dispose movie"), 13);
  TraceW8(TEXT("failed(%d)"), -1);
  EXPECT_EQ(QuillTraceTakeCaptured(&QuillTraceCaptureTake), "[2] Tidepool: Dispose movie\n[8] Tidepool: failed(-1)\n");
  QuillTraceCaptureEnd();
}

}  // namespace
