// wsprintfA / wsprintfW: expected texts are what user32 produces.
#include <windows.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string A(const char *format, ...) {
  char out[1100];
  va_list ap;
  va_start(ap, format);
  const int n = wvsprintfA(out, format, ap);
  va_end(ap);
  EXPECT_EQ(n, static_cast<int>(std::strlen(out))) << format;
  return out;
}

// Wide results come back as UTF-8 so that both widths share one expectation.
std::string W(const WCHAR *format, ...) {
  WCHAR out[1100];
  va_list ap;
  va_start(ap, format);
  const int n = wvsprintfW(out, format, ap);
  va_end(ap);
  std::string utf8;
  int i = 0;
  for (; out[i] != 0; ++i) {
    const char32_t u = out[i];
    if (u < 0x80) {
      utf8.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
      utf8 += {static_cast<char>(0xC0 | (u >> 6)), static_cast<char>(0x80 | (u & 0x3F))};
    } else if (u >= 0xD800 && u <= 0xDBFF && out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF) {
      const char32_t cp = 0x10000 + ((u - 0xD800) << 10) + (out[++i] - 0xDC00);
      utf8 += {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
               static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    } else {
      utf8 += {static_cast<char>(0xE0 | (u >> 12)), static_cast<char>(0x80 | ((u >> 6) & 0x3F)),
               static_cast<char>(0x80 | (u & 0x3F))};
    }
  }
  EXPECT_EQ(n, i);
  return utf8;
}

struct Row {
  const char *expected;
  std::string narrow;
  std::string wide;
};

void ExpectRows(const Row *rows, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(rows[i].narrow, rows[i].expected) << "narrow row " << i;
    EXPECT_EQ(rows[i].wide, rows[i].expected) << "wide row " << i;
  }
}

TEST(Wsprintf, IntegersMatchWindows) {
  const Row rows[] = {
      {"-42", A("%d", -42), W(u"%d", -42)},
      {"-42", A("%i", -42), W(u"%i", -42)},
      {"4294967295", A("%u", -1), W(u"%u", -1)},
      {"beef", A("%x", 0xBEEF), W(u"%x", 0xBEEF)},
      {"BEEF", A("%X", 0xBEEF), W(u"%X", 0xBEEF)},
      {"00001234", A("%08X", 0x1234), W(u"%08X", 0x1234)},
      {"DEADBEEF", A("%08X", 0xDEADBEEF), W(u"%08X", 0xDEADBEEF)},
      {"-7 4294967289", A("%ld %lu", -7L, -7L), W(u"%ld %lu", -7L, -7L)},
      {"   42|42   |", A("%5d|%-5d|", 42, 42), W(u"%5d|%-5d|", 42, 42)},
      {"00042 00042", A("%05u %.5d", 42, 42), W(u"%05u %.5d", 42, 42)},
      {"0xff 0XFF", A("%#x %#X", 255, 255), W(u"%#x %#X", 255, 255)},
      {"-2147483648", A("%d", INT32_MIN), W(u"%d", INT32_MIN)},
      {"-1234567890123 FFFFFFFFFFFFFFFF", A("%I64d %I64X", -1234567890123LL, ~0ULL),
       W(u"%I64d %I64X", -1234567890123LL, ~0ULL)},
      {"100%", A("%d%%", 100), W(u"%d%%", 100)},
  };
  ExpectRows(rows, std::size(rows));
}

TEST(Wsprintf, StringsAndCharactersMatchWindows) {
  const Row rows[] = {
      {"abc", A("%s", "abc"), W(u"%s", u"abc")},
      {"abc", A("%S", u"abc"), W(u"%S", "abc")},
      {"ab|cd", A("%hs|%ls", "ab", u"cd"), W(u"%hs|%ls", "ab", u"cd")},
      {"abc", A("%.3s", "abcdef"), W(u"%.3s", u"abcdef")},
      {"     abc", A("%8.3s", "abcdef"), W(u"%8.3s", u"abcdef")},
      {"ab    |", A("%-6s|", "ab"), W(u"%-6s|", u"ab")},
      {"(null)", A("%s", static_cast<const char *>(nullptr)), W(u"%s", static_cast<const WCHAR *>(nullptr))},
      {"(null)", A("%S", static_cast<const WCHAR *>(nullptr)), W(u"%S", static_cast<const char *>(nullptr))},
      {"A|B", A("%c|%C", 'A', u'B'), W(u"%c|%C", u'A', 'B')},
      {"  x", A("%3c", 'x'), W(u"%3c", u'x')},
  };
  ExpectRows(rows, std::size(rows));
}

TEST(Wsprintf, CrossingWidthsConvertsUtf8AndUtf16) {
  const Row rows[] = {
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", A("%S", u"\u00E9\u20AC\U0001F600"),
       W(u"%S", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80")},
      {"\xC3\xA9", A("%C", u'\u00E9'), W(u"%c", u'\u00E9')},
      // Ill-formed input becomes U+FFFD, never a read past the string.
      {"a\xEF\xBF\xBD"
       "b",
       A("%S",
         u"a\xD800"
         "b"),
       W(u"%S",
         "a\xFF"
         "b")},
      {"\xEF\xBF\xBD", A("%S", u"\xDC00"), W(u"%S", "\xE2\x82")},
  };
  ExpectRows(rows, std::size(rows));
  // Precision counts the argument's own units and never splits a character.
  EXPECT_EQ(W(u"[%.1S]", "\xC3\xA9z"), "[]");
  EXPECT_EQ(W(u"[%.2S]", "\xC3\xA9z"), "[\xC3\xA9]");
  EXPECT_EQ(A("[%.1S]", u"\U0001F600"), "[]");
}

TEST(Wsprintf, UnsupportedConversionPrintsItselfAndConsumesNoArgument) {
  EXPECT_EQ(A("%f %d", 7), "f 7");
  EXPECT_EQ(W(u"%5.2f %d", 7), "f 7");
  EXPECT_EQ(A("%lld", 5LL), "ld");  // "ll" is not a size here
  EXPECT_EQ(A("%*d", 3), "*d");
  EXPECT_EQ(A("end %"), "end ");
}

TEST(Wsprintf, OutputStopsAt1023CharactersAndIsTerminated) {
  const std::string longText(3000, 'q');
  char out[1100];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(wsprintfA(out, "%s%s", longText.c_str(), "tail"), 1023);
  EXPECT_EQ(out[1023], '\0');
  EXPECT_EQ(out[1024], '#');
  EXPECT_EQ(std::string(out, 1023), std::string(1023, 'q'));

  WCHAR wout[1100];
  std::fill(std::begin(wout), std::end(wout), u'#');
  EXPECT_EQ(wsprintfW(wout, u"%1500d", 1), 1023);
  EXPECT_EQ(wout[1023], 0);
  EXPECT_EQ(wout[1024], u'#');

  // Absurd widths and precisions are clipped, not overflowed.
  EXPECT_EQ(wsprintfA(out, "%99999999999999999999d|%.99999999999999d", 1, 2), 1023);
  EXPECT_EQ(wsprintfA(out, "%-2000s|", "x"), 1023);
}

TEST(Wsprintf, NullArgumentsAreRefused) {
  char out[8] = "xxxxxxx";
  EXPECT_EQ(wsprintfA(out, nullptr), 0);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(wsprintfA(nullptr, "abc"), 0);
  WCHAR wout[4] = {u'x', u'x', u'x', 0};
  EXPECT_EQ(wsprintfW(wout, nullptr), 0);
  EXPECT_EQ(wout[0], 0);
}

}  // namespace
