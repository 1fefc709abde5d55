// The lstr family and debug output.
#include <windows.h>

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(LStr, CopyNTruncatesAndAlwaysTerminates) {
  WCHAR buffer[8];
  for (WCHAR &c : buffer) c = u'#';
  EXPECT_EQ(lstrcpynW(buffer, TEXT("abcdefghij"), 4), buffer);
  EXPECT_EQ(std::u16string(buffer), u"abc");
  EXPECT_EQ(buffer[4], u'#');  // nothing past the limit
  EXPECT_EQ(lstrcpynW(buffer, TEXT("ab"), 8), buffer);
  EXPECT_EQ(std::u16string(buffer), u"ab");
  EXPECT_EQ(lstrcpynW(buffer, TEXT("xyz"), 1), buffer);
  EXPECT_EQ(buffer[0], u'\0');
  buffer[0] = u'q';
  EXPECT_EQ(lstrcpynW(buffer, TEXT("xyz"), 0), buffer);
  EXPECT_EQ(buffer[0], u'q');
  EXPECT_EQ(lstrcpynW(buffer, TEXT("xyz"), -5), buffer);
  EXPECT_EQ(buffer[0], u'q');

  char narrow[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(lstrcpynA(narrow, "hello", 3), narrow);
  EXPECT_STREQ(narrow, "he");
  EXPECT_EQ(narrow[3], '#');
}

TEST(LStr, CopyConcatAndLengthHandleNulls) {
  WCHAR buffer[16] = {};
  EXPECT_EQ(lstrcpyW(buffer, TEXT("Quick")), buffer);
  EXPECT_EQ(lstrcatW(buffer, TEXT("Time")), buffer);
  EXPECT_EQ(lstrlenW(buffer), 9);
  EXPECT_EQ(std::u16string(buffer), u"QuickTime");
  char narrow[16] = "ab";
  EXPECT_STREQ(lstrcatA(narrow, "cd"), "abcd");
  EXPECT_EQ(lstrlenA(narrow), 4);

  EXPECT_EQ(lstrlenW(nullptr), 0);
  EXPECT_EQ(lstrlenA(nullptr), 0);
  EXPECT_EQ(lstrcpyW(nullptr, TEXT("x")), nullptr);
  EXPECT_EQ(lstrcpyA(narrow, nullptr), nullptr);
  EXPECT_EQ(lstrcatW(buffer, nullptr), nullptr);
  EXPECT_EQ(lstrcpynA(nullptr, "x", 4), nullptr);
}

TEST(LStr, ComparisonsOrderCaseBlindFirst) {
  EXPECT_EQ(lstrcmpW(TEXT("abc"), TEXT("abc")), 0);
  EXPECT_EQ(lstrcmpW(TEXT("a"), TEXT("B")), -1);  // not code-unit order
  EXPECT_EQ(lstrcmpW(TEXT("B"), TEXT("a")), 1);
  EXPECT_EQ(lstrcmpW(TEXT("abc"), TEXT("ABC")), -1);  // same letters: lower case first
  EXPECT_EQ(lstrcmpW(TEXT("ab"), TEXT("abc")), -1);
  EXPECT_EQ(lstrcmpiW(TEXT("Tidepool.AX"), TEXT("tidepool.ax")), 0);
  EXPECT_EQ(lstrcmpiW(TEXT("a"), TEXT("B")), -1);
  EXPECT_EQ(lstrcmpiA("Kernel32.DLL", "kernel32.dll"), 0);
  EXPECT_EQ(lstrcmpiA("\xC3\x84pfel", "\xC3\xA4PFEL"), 0);  // Ä / ä in UTF-8
  EXPECT_EQ(lstrcmpA("\xC3\x84", "\xC3\xA4"), 1);
  EXPECT_EQ(lstrcmpW(nullptr, nullptr), 0);
  EXPECT_EQ(lstrcmpW(nullptr, TEXT("")), -1);
  EXPECT_EQ(lstrcmpiA("a", nullptr), 1);
}

class DebugOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *old = std::getenv("TP_DEBUG_OUTPUT");
    if (old) saved_ = old;
    char dir[] = "/tmp/tp-debug-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    file_ = dir_ + "/debug.txt";
  }
  void TearDown() override {
    if (saved_.empty()) {
      unsetenv("TP_DEBUG_OUTPUT");
    } else {
      setenv("TP_DEBUG_OUTPUT", saved_.c_str(), 1);
    }
    std::filesystem::remove_all(dir_);
  }
  std::string contents() const {
    std::ifstream in(file_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string saved_, dir_, file_;
};

TEST_F(DebugOutputTest, GoesWhereTheEnvironmentSays) {
  setenv("TP_DEBUG_OUTPUT", file_.c_str(), 1);
  OutputDebugStringW(TEXT("The OS is  XP+\n"));
  OutputDebugStringA("narrow ");
  // Non-ASCII text and an unpaired surrogate (written as U+FFFD).
  const WCHAR mixed[] = {u'\u00e9', u'\u20ac', 0xD83D, 0xDE00, 0xD800, u'\n', 0};
  OutputDebugStringW(mixed);
  OutputDebugStringW(nullptr);
  OutputDebugStringA(nullptr);
  EXPECT_EQ(contents(), "The OS is  XP+\nnarrow \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD\n");

  unsetenv("TP_DEBUG_OUTPUT");
  OutputDebugStringA("dropped\n");
  EXPECT_EQ(contents().find("dropped"), std::string::npos);

  setenv("TP_DEBUG_OUTPUT", "stderr", 1);
  testing::internal::CaptureStderr();
  OutputDebugStringW(TEXT("to standard error\n"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "to standard error\n");

  // A path that cannot be opened is ignored.
  setenv("TP_DEBUG_OUTPUT", (dir_ + "/missing/folder/x.txt").c_str(), 1);
  OutputDebugStringA("nowhere\n");
}

}  // namespace
