// The trace library linked directly: line shape, formatting, level filter,
// outputs, dump files.
#include <quilltrace.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

int TraceA(int level, const char *tag, const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int n = QUILLTRACEA(level, 0, tag, format, args);
  va_end(args);
  return n;
}

int TraceW(int level, const WCHAR *tag, const WCHAR *format, ...) {
  va_list args;
  va_start(args, format);
  const int n = QUILLTRACE(level, 0, tag, format, args);
  va_end(args);
  return n;
}

int RawA(const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int n = QUILLTRACERAWA(2, 0, "ignored", format, args);
  va_end(args);
  return n;
}

int RawW(const WCHAR *format, ...) {
  va_list args;
  va_start(args, format);
  const int n = QUILLTRACERAW(2, 0, u"ignored", format, args);
  va_end(args);
  return n;
}

std::string ReadFile(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class QuillTraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("quilltrace_test_" + std::to_string(::getpid()) + "_" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    unsetenv("QUILLTRACE_FILE");
    unsetenv("QUILLTRACE_LEVEL");
    QuillTraceConfigure();
    QuillTraceCaptureBegin();
  }
  void TearDown() override {
    QuillTraceCaptureEnd();
    QUILLDumpFileClose();
    unsetenv("QUILLTRACE_FILE");
    unsetenv("QUILLTRACE_LEVEL");
    QuillTraceConfigure();
    std::filesystem::remove_all(dir_);
  }
  static std::string Captured() { return QuillTraceTakeCaptured(&QuillTraceCaptureTake); }

  std::filesystem::path dir_;
};

TEST_F(QuillTraceTest, LinesCarryLevelAndTagAndEndInOneLineBreak) {
  EXPECT_EQ(TraceA(2, "Tidepool", "Movie file name %s\n", "a.mov"), 22);
  TraceA(8, "Tidepool", "NewMovieFromFile failed(%d)", -43);
  TraceW(4, u"Tidepool", u"Compensation time (%d) this(0x%x)\r\n\n", 1500, 0xBEEF);
  TraceA(2, nullptr, "no tag");
  TraceW(2, u"T\u00E9", u"%s|%S", u"\u20AC", "\xC3\xA9");
  TraceA(2, "Tidepool", "two\nlines");
  EXPECT_EQ(Captured(),
            "[2] Tidepool: Movie file name a.mov\n"
            "[8] Tidepool: NewMovieFromFile failed(-43)\n"
            "[4] Tidepool: Compensation time (1500) this(0xbeef)\n"
            "[2] no tag\n"
            "[2] T\xC3\xA9: \xE2\x82\xAC|\xC3\xA9\n"
            "[2] Tidepool: two\nlines\n");
}

TEST_F(QuillTraceTest, FormatsAsWsprintfInBothWidths) {
  const std::string expected = "[2] t:    42|-7|00001234|ff|A|%|abc|x   |\n";
  TraceA(2, "t", "%5d|%ld|%08X|%x|%c|%%|%.3s|%-4S|", 42, -7L, 0x1234, 255, 'A', "abcdef", u"x");
  TraceW(2, u"t", u"%5d|%ld|%08X|%x|%c|%%|%.3s|%-4S|", 42, -7L, 0x1234, 255, u'A', u"abcdef", "x");
  EXPECT_EQ(Captured(), expected + expected);
}

TEST_F(QuillTraceTest, RawEntriesWriteTextAsItComes) {
  RawA("a%d", 1);
  RawW(u"b%d\n", 2);
  RawA("c");
  EXPECT_EQ(Captured(), "a1b2\nc");
}

TEST_F(QuillTraceTest, BadCallsAreRefusedAndLongMessagesCut) {
  va_list none{};
  EXPECT_EQ(QUILLTRACEA(2, 0, "t", nullptr, none), -1);
  EXPECT_EQ(QUILLTRACE(2, 0, u"t", nullptr, none), -1);
  const std::string longText(5000, 'z');
  EXPECT_EQ(TraceA(2, "t", "%s", longText.c_str()), 1023);
  EXPECT_EQ(TraceW(2, u"t", u"%S", longText.c_str()), 1023);
  EXPECT_EQ(Captured(), "[2] t: " + std::string(1023, 'z') + "\n" + "[2] t: " + std::string(1023, 'z') + "\n");
}

TEST_F(QuillTraceTest, LevelBelowMinimumIsDropped) {
  setenv("QUILLTRACE_LEVEL", "4", 1);
  QuillTraceConfigure();
  EXPECT_EQ(TraceA(2, "t", "two"), 0);
  TraceA(4, "t", "four");
  TraceW(8, u"t", u"eight");
  RawA("raw2");
  EXPECT_EQ(Captured(), "[4] t: four\n[8] t: eight\n");

  for (const char *junk : {"", "4x", "x", "99999999999999999999"}) {
    setenv("QUILLTRACE_LEVEL", junk, 1);
    QuillTraceConfigure();
    TraceA(1, "t", "%s", junk);
    EXPECT_EQ(Captured(), std::string("[1] t: ") + junk + "\n") << "level \"" << junk << "\" means everything";
  }
}

TEST_F(QuillTraceTest, OutputGoesToFileStderrOrNowhere) {
  EXPECT_EQ(QUILLIsDebugMode(), 1);  // capturing
  QuillTraceCaptureEnd();
  EXPECT_EQ(QUILLIsDebugMode(), 0);

  const auto file = dir_ / "trace.txt";
  { std::ofstream(file) << "kept\n"; }
  setenv("QUILLTRACE_FILE", file.c_str(), 1);
  QuillTraceConfigure();
  EXPECT_EQ(QUILLIsDebugMode(), 1);
  TraceA(2, "t", "one");
  TraceW(8, u"t", u"two");
  EXPECT_EQ(ReadFile(file), "kept\n[2] t: one\n[8] t: two\n");

  setenv("QUILLTRACE_FILE", "stderr", 1);
  QuillTraceConfigure();
  ::testing::internal::CaptureStderr();
  TraceA(2, "t", "to stderr");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[2] t: to stderr\n");
  EXPECT_EQ(ReadFile(file), "kept\n[2] t: one\n[8] t: two\n");

  // A file that cannot be opened leaves the library quiet, not broken.
  setenv("QUILLTRACE_FILE", (dir_ / "missing" / "trace.txt").c_str(), 1);
  ::testing::internal::CaptureStderr();
  QuillTraceConfigure();
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("QUILLTRACE_FILE"), std::string::npos);
  EXPECT_EQ(QUILLIsDebugMode(), 0);
  EXPECT_EQ(TraceA(2, "t", "lost"), 0);  // nowhere to go: not even formatted
}

TEST_F(QuillTraceTest, DumpFilesAppendAndSwitch) {
  const std::string a = (dir_ / "a.bin").string();
  const std::string b = (dir_ / "b.bin").string();
  std::u16string wa(a.begin(), a.end());
  std::u16string wb(b.begin(), b.end());
  const std::u16string wbBackslash = std::u16string(wb).replace(wb.rfind(u'/'), 1, u"\\");

  EXPECT_EQ(QUILLDumptoFile(wa.c_str(), "abc", 3), 3);
  EXPECT_EQ(QUILLDumptoFile(wa.c_str(), "de", 2), 2);
  EXPECT_EQ(QUILLDumptoFile(wbBackslash.c_str(), "\0\1", 2), 2);
  EXPECT_EQ(QUILLDumptoFile(wa.c_str(), "f", 1), 1);
  EXPECT_EQ(QUILLDumpFileClose(), 0);
  EXPECT_EQ(ReadFile(a), "abcdef");
  EXPECT_EQ(ReadFile(b), std::string("\0\1", 2));

  EXPECT_EQ(QUILLDumptoFile(nullptr, "x", 1), -1);
  EXPECT_EQ(QUILLDumptoFile(wa.c_str(), nullptr, 1), -1);
  EXPECT_EQ(QUILLDumptoFile(wa.c_str(), "x", -1), -1);
  EXPECT_EQ(QUILLDumptoFile(u"", "x", 1), -1);
  const std::string bad = (dir_ / "no" / "such.bin").string();
  EXPECT_EQ(QUILLDumptoFile(std::u16string(bad.begin(), bad.end()).c_str(), "x", 1), -1);
  EXPECT_EQ(QUILLDumptoFile(wa.c_str(), nullptr, 0), 0);
}

TEST_F(QuillTraceTest, TrackingStaysLocal) {
  EXPECT_EQ(QUILLTRACKING_INTERNAL("open", "a.mov"), 0);
  EXPECT_EQ(QUILLTRACKING_INTERNAL(nullptr, nullptr), 0);
  EXPECT_EQ(QUILLTRACKING_UPLOAD_INTERNAL(), 0);
  EXPECT_EQ(QUILLTRACKING_UPLOAD_ASYNC_INTERNAL(), 0);
  EXPECT_EQ(Captured(), "[track] open: a.mov\n[track] : \n");
}

TEST_F(QuillTraceTest, CaptureTakeNeedsRoomAndKeepsWhatDidNotFit) {
  TraceA(2, "t", "x");
  char small[4] = "abc";
  EXPECT_EQ(QuillTraceCaptureTake(small, sizeof small), 10);
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(QuillTraceCaptureTake(nullptr, 100), 10);
  EXPECT_EQ(Captured(), "[2] t: x\n");
  EXPECT_EQ(Captured(), "");
}

}  // namespace
