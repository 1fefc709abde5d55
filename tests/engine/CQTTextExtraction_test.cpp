// A text sample's cue text: its length prefix honoured (never read past),
// UTF-8 and UTF-16 (with a byte order mark, surrogate pairs, lone
// surrogates replaced), QuickTime's carriage returns as "\n", the style
// records after the text left out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/CQTTextExtraction.h"

namespace {

std::vector<BYTE> Sample(const std::string &text, const std::string &after = "") {
  std::vector<BYTE> s = {static_cast<BYTE>(text.size() >> 8), static_cast<BYTE>(text.size())};
  s.insert(s.end(), text.begin(), text.end());
  s.insert(s.end(), after.begin(), after.end());
  return s;
}

TEST(CQTTextExtraction, SampleText_DecodesWhatTheLengthCovers) {
  struct Case {
    const char *name;
    std::vector<BYTE> sample;
    std::string text;
  } cases[] = {
      {"utf8 with a style record", Sample("Hello world", std::string("\0\0\0\x0estyl", 8) + "xxxxxx"), "Hello world"},
      {"carriage returns", Sample("one\rtwo\r\nthree"), "one\ntwo\nthree"},
      {"utf8 byte order mark", Sample("\xEF\xBB\xBF\xD0\x9F\xD1\x80"), "\xD0\x9F\xD1\x80"},
      {"utf16 with a pair and a lone surrogate", Sample(std::string("\xFE\xFF\x00\x41\xD8\x3D\xDE\x00\xDC\x00", 10)),
       "A\xF0\x9F\x98\x80\xEF\xBF\xBD"},
      {"empty (a gap between cues)", Sample(""), ""},
      {"length past the sample", {0x00, 0x09, 'a', 'b'}, ""},
      {"shorter than the length field", {0x00}, ""},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(CQTTextExtraction::SampleText(c.sample.data(), c.sample.size()), c.text) << c.name;
  }
  EXPECT_EQ(CQTTextExtraction::SampleText(nullptr, 10), "");
}

}  // namespace
