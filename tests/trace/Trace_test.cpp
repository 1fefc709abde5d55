// The trace entry points with the real library beside the test executable,
// bound when the process started.
#include "trace/Trace.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

template <typename Fn>
Fn Entry(const char *name) {
  FARPROC proc = GetProcAddress(TheQuillTraceBinding().module, name);
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(TheQuillTraceBinding().module, nullptr);
    configure_ = Entry<void (*)()>("QuillTraceConfigure");
    begin_ = Entry<PFN_QuillTraceCaptureBegin>("QuillTraceCaptureBegin");
    take_ = Entry<PFN_QuillTraceCaptureTake>("QuillTraceCaptureTake");
    end_ = Entry<PFN_QuillTraceCaptureEnd>("QuillTraceCaptureEnd");
    ASSERT_TRUE(configure_ && begin_ && take_ && end_);
    Reconfigure(nullptr, nullptr);
    begin_();
  }
  void TearDown() override {
    if (end_) end_();
    if (configure_) Reconfigure(nullptr, nullptr);
  }
  void Reconfigure(const char *file, const char *level) {
    file ? setenv("QUILLTRACE_FILE", file, 1) : unsetenv("QUILLTRACE_FILE");
    level ? setenv("QUILLTRACE_LEVEL", level, 1) : unsetenv("QUILLTRACE_LEVEL");
    configure_();
  }
  std::string Captured() { return QuillTraceTakeCaptured(take_); }

  void (*configure_)() = nullptr;
  PFN_QuillTraceCaptureBegin begin_ = nullptr;
  PFN_QuillTraceCaptureTake take_ = nullptr;
  PFN_QuillTraceCaptureEnd end_ = nullptr;
};

TEST_F(TraceTest, BindingHoldsLibraryBesideModuleWithEveryEntry) {
  const QuillTraceBinding &b = TheQuillTraceBinding();
  EXPECT_EQ(b.module, GetModuleHandleW(TEXT("quilltrace.dll")));
  const void *slots[] = {
      reinterpret_cast<const void *>(b.trace),          reinterpret_cast<const void *>(b.traceRaw),
      reinterpret_cast<const void *>(b.traceA),         reinterpret_cast<const void *>(b.traceRawA),
      reinterpret_cast<const void *>(b.dumpToFile),     reinterpret_cast<const void *>(b.isDebugMode),
      reinterpret_cast<const void *>(b.dumpFileClose),  reinterpret_cast<const void *>(b.tracking),
      reinterpret_cast<const void *>(b.trackingUpload), reinterpret_cast<const void *>(b.trackingUploadAsync)};
  for (const void *slot : slots) EXPECT_NE(slot, nullptr);
}

TEST_F(TraceTest, EntryPointsForwardLevelTagFormatAndArguments) {
  EXPECT_EQ(TraceA2("Movie file name %s\n", "/movies/a.mov"), 30);
  TraceA4("Tidepool Video type changed");
  TraceA8("NewMovieFromFile failed(%d)\n", -43);
  TraceW2(TEXT("CBaseSourceStream::OnThreadCreate() this(0x%x)"), 0x1234);
  TraceW4(TEXT("Compensation time (%d) this(0x%x)"), 1500, 0xABCD);
  TraceW8(TEXT("SoundConverterOpen failed(%d) %s %S"), -50, TEXT("wide"), "narrow");
  EXPECT_EQ(Captured(),
            "[2] Tidepool: Movie file name /movies/a.mov\n"
            "[4] Tidepool: Tidepool Video type changed\n"
            "[8] Tidepool: NewMovieFromFile failed(-43)\n"
            "[2] Tidepool: CBaseSourceStream::OnThreadCreate() this(0x1234)\n"
            "[4] Tidepool: Compensation time (1500) this(0xabcd)\n"
            "[8] Tidepool: SoundConverterOpen failed(-50) wide narrow\n");
}

TEST_F(TraceTest, LevelFilterAppliesToEntryPoints) {
  Reconfigure(nullptr, "8");
  EXPECT_EQ(TraceA2("progress"), 0);
  EXPECT_EQ(TraceW4(TEXT("event")), 0);
  TraceA8("failure %d", 1);
  TraceW8(TEXT("failure %d"), 2);
  EXPECT_EQ(Captured(), "[8] Tidepool: failure 1\n[8] Tidepool: failure 2\n");
}

TEST_F(TraceTest, ConcurrentTracesNeverTearLines) {
  const auto file = std::filesystem::temp_directory_path() / ("trace_threads_" + std::to_string(::getpid()) + ".txt");
  std::filesystem::remove(file);
  Reconfigure(file.c_str(), nullptr);
  constexpr int kThreads = 8;
  constexpr int kLines = 400;
  const std::string payload(150, 'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &payload] {
      for (int i = 0; i < kLines; ++i) {
        if (i % 2 == 0) {
          TraceA2("thread %d line %d %s", t, i, payload.c_str());
        } else {
          TraceW2(TEXT("thread %d line %d %S"), t, i, payload.c_str());
        }
      }
    });
  }
  for (auto &th : threads) th.join();
  Reconfigure(nullptr, nullptr);

  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  std::filesystem::remove(file);
  for (const std::string &all : {text.str(), Captured()}) {
    const std::regex shape("\\[2\\] Tidepool: thread ([0-7]) line ([0-9]+) p{150}");
    std::istringstream lines(all);
    std::string line;
    std::vector<int> next(kThreads, 0);
    int count = 0;
    while (std::getline(lines, line)) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, shape)) << "torn line: " << line;
      const int t = std::stoi(m[1]);
      EXPECT_EQ(std::stoi(m[2]), next[t]++) << "thread " << t << " lost or reordered a line";
      ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
  }
}

TEST_F(TraceTest, DumpForwarderReachesLibrary) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("trace_dump_" + std::to_string(::getpid()) + ".bin")).string();
  const std::u16string wide(path.begin(), path.end());
  EXPECT_EQ(TraceDumpToFile(wide.c_str(), "dump", 4), 4);
  EXPECT_EQ(TheQuillTraceBinding().dumpFileClose(), 0);
  std::ifstream in(path, std::ios::binary);
  std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(got, "dump");
  std::filesystem::remove(path);
}

// The real search, with its debug output collected.
std::vector<std::u16string> g_debug;
void WINAPI CollectDebug(LPCWSTR text) { g_debug.push_back(text); }

// GetModuleHandleExW that does not see the library already loaded, so that
// the search goes on to look beside the module.
BOOL WINAPI NotYetLoaded(DWORD flags, LPCWSTR name, HMODULE *module) {
  if (flags == 0) {
    *module = nullptr;
    return FALSE;
  }
  return GetModuleHandleExW(flags, name, module);
}
FARPROC WINAPI ProcWithNotYetLoaded(HMODULE module, LPCSTR name) {
  if (std::string(name) == "GetModuleHandleExW")
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&NotYetLoaded));
  return GetProcAddress(module, name);
}

std::u16string ToUtf16(const std::string &s) { return std::u16string(s.begin(), s.end()); }

TEST(TraceSearch, LooksBesideModuleAndReportsEachStep) {
  TraceLoaderApi api = SystemTraceLoaderApi();
  api.outputDebugStringW = &CollectDebug;
  api.getProcAddress = &ProcWithNotYetLoaded;
  g_debug.clear();
  const HMODULE found = LoadTraceLibrary(api);
  EXPECT_EQ(found, TheQuillTraceBinding().module);
  const std::string exe = std::filesystem::canonical("/proc/self/exe").string();
  const std::string dir = exe.substr(0, exe.rfind('/'));
  EXPECT_EQ(g_debug, (std::vector<std::u16string>{u"The OS is  XP+ and loaded quilltra.dll firtly", ToUtf16(exe),
                                                  ToUtf16(dir + "/quilltrace.dll")}));
  if (found) FreeLibrary(found);
}

}  // namespace
