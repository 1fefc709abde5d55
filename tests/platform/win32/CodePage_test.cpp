#include <windows.h>

#include <io.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

namespace {

// The "count first, then convert" pattern every caller uses.
std::u16string Widen(const std::string &s, DWORD flags = 0, int *firstResult = nullptr) {
  const int n = MultiByteToWideChar(CP_UTF8, flags, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (firstResult) *firstResult = n;
  if (n <= 0) return u"<fail>";
  std::u16string out(static_cast<size_t>(n), u'\0');
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, flags, s.data(), static_cast<int>(s.size()), out.data(), n), n);
  return out;
}

std::string Narrow(const std::u16string &s, UINT cp = CP_UTF8, DWORD flags = 0) {
  const int n = WideCharToMultiByte(cp, flags, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return "<fail>";
  std::string out(static_cast<size_t>(n), '\0');
  EXPECT_EQ(WideCharToMultiByte(cp, flags, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr), n);
  return out;
}

TEST(CodePage, RoundTrip_AsciiAccentsCjkAndSurrogatePairs) {
  const std::string utf8 = "/movies/caf\xc3\xa9 \xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x8e\xac.mov";
  const std::u16string wide = u"/movies/caf\u00e9 \u4e2d\u6587 \U0001F3AC.mov";
  EXPECT_EQ(Widen(utf8), wide);
  EXPECT_EQ(Narrow(wide), utf8);
  EXPECT_EQ(Narrow(wide, CP_ACP), utf8) << "the ANSI code page is UTF-8";
  EXPECT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));
}

TEST(CodePage, MinusOneLength_CountsAndWritesTheTerminator) {
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0), 4);
  WCHAR w[4];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, w, 4), 4);
  EXPECT_EQ(std::u16string(w), u"abc");
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u00e9", -1, nullptr, 0, nullptr, nullptr), 3);
  char n[3];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u00e9", -1, n, 3, nullptr, nullptr), 3);
  EXPECT_STREQ(n, "\xc3\xa9");
}

TEST(CodePage, SmallBuffersAndBadArguments_Fail) {
  WCHAR w[2];
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, w, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  char n[2];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u00e9", 1, n, 1, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, w, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, w, 2), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -2, w, 2), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 5), 0);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", 3, w, 2), 0) << "only UTF-8 code pages";
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "abc", 3, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  BOOL used = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, n, 2, nullptr, &used), 0) << "UTF-8 has no default char";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CodePage, InvalidUtf8_ReplacedOrRefused) {
  struct Case {
    std::string in;
    std::u16string out;
  };
  const Case cases[] = {
      {"a\x80z", u"a\uFFFDz"},                            // stray continuation byte
      {"a\xc3", u"a\uFFFD"},                              // truncated at the end
      {"\xc0\xaf", u"\uFFFD\uFFFD"},                      // overlong "/"
      {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
      {"\xe4\xb8x", u"\uFFFDx"},                          // broken three-byte form: one replacement
      {"\xff", u"\uFFFD"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(Widen(c.in), c.out);
    int n = -1;
    SetLastError(0);
    Widen(c.in, MB_ERR_INVALID_CHARS, &n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  }
}

TEST(CodePage, LoneSurrogates_ReplacedOrRefused) {
  EXPECT_EQ(Narrow(std::u16string(u"a") + char16_t(0xD800) + u"b"),
            "a\xef\xbf\xbd"
            "b");
  EXPECT_EQ(Narrow(std::u16string(1, char16_t(0xDC00))), "\xef\xbf\xbd");
  EXPECT_EQ(Narrow(std::u16string(1, char16_t(0xD83D))), "\xef\xbf\xbd") << "high surrogate at the end";
  EXPECT_EQ(Narrow(std::u16string(1, char16_t(0xD800)), CP_UTF8, WC_ERR_INVALID_CHARS), "<fail>");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  BOOL used = FALSE;
  const char16_t lone[] = {0xDC00, 0};
  char out[8];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, lone, -1, out, 8, "?", &used), 2);
  EXPECT_STREQ(out, "?");
  EXPECT_TRUE(used);
}

TEST(Access, ExistenceAndPermissions) {
  EXPECT_EQ(_access("/tmp", 0), 0);
  EXPECT_EQ(_access("\\tmp", 0), 0) << "backslash separators";
  EXPECT_EQ(_access("/tmp/definitely/not/here", 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(_access(nullptr, 0), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(_access("/tmp", 1), -1) << "no execute mode on Windows";
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
