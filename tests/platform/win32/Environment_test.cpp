#include <windows.h>

#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

namespace {

// Each test works on variables of its own and removes them afterwards.
class EnvironmentTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetEnvironmentVariableW(TEXT("TP_ENV_TEST"), nullptr);
    SetEnvironmentVariableA("TP_ENV_TEST_A", nullptr);
  }
};

TEST_F(EnvironmentTest, Get_ReturnsLengthOrSizeNeeded) {
  ASSERT_TRUE(SetEnvironmentVariableW(TEXT("TP_ENV_TEST"), TEXT("abc\u00e9\U0001F600")));
  WCHAR buf[16];
  // "abc", e-acute, and a surrogate pair: 6 UTF-16 units.
  EXPECT_EQ(GetEnvironmentVariableW(TEXT("TP_ENV_TEST"), buf, 16), 6u);
  EXPECT_EQ(std::u16string(buf), u"abc\u00e9\U0001F600");
  EXPECT_EQ(GetEnvironmentVariableW(TEXT("TP_ENV_TEST"), buf, 7), 6u) << "exactly room for the terminator";
  buf[0] = u'#';
  EXPECT_EQ(GetEnvironmentVariableW(TEXT("TP_ENV_TEST"), buf, 6), 7u) << "too small: size with terminator";
  EXPECT_EQ(buf[0], u'#') << "nothing written when it does not fit";
  EXPECT_EQ(GetEnvironmentVariableW(TEXT("TP_ENV_TEST"), nullptr, 0), 7u);
  EXPECT_STREQ(getenv("TP_ENV_TEST"), "abc\xc3\xa9\xf0\x9f\x98\x80") << "stored as UTF-8";

  char narrow[4];
  ASSERT_TRUE(SetEnvironmentVariableA("TP_ENV_TEST_A", "xyz"));
  EXPECT_EQ(GetEnvironmentVariableA("TP_ENV_TEST_A", narrow, 4), 3u);
  EXPECT_STREQ(narrow, "xyz");
  EXPECT_EQ(GetEnvironmentVariableA("TP_ENV_TEST_A", narrow, 3), 4u);
}

TEST_F(EnvironmentTest, Get_MissingAndDeleted) {
  WCHAR buf[8];
  SetLastError(0);
  EXPECT_EQ(GetEnvironmentVariableW(TEXT("TP_ENV_TEST"), buf, 8), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
  ASSERT_TRUE(SetEnvironmentVariableW(TEXT("TP_ENV_TEST"), TEXT("v")));
  ASSERT_TRUE(SetEnvironmentVariableW(TEXT("TP_ENV_TEST"), nullptr));
  EXPECT_EQ(GetEnvironmentVariableW(TEXT("TP_ENV_TEST"), buf, 8), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
  EXPECT_EQ(getenv("TP_ENV_TEST"), nullptr);

  // Set but empty: 0 as well, but not an error.
  ASSERT_TRUE(SetEnvironmentVariableW(TEXT("TP_ENV_TEST"), TEXT("")));
  SetLastError(ERROR_ENVVAR_NOT_FOUND);
  EXPECT_EQ(GetEnvironmentVariableW(TEXT("TP_ENV_TEST"), buf, 8), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(EnvironmentTest, LongValues_ReadWithTheSizeAskedFor) {
  // The movie session reads "Path" into 2,048 characters, then again with the
  // size it is told when the value is longer.
  std::u16string value;
  for (int i = 0; value.size() < 5000; ++i) value += u"/opt/folder" + std::u16string(1, u'a' + i % 26) + u";";
  ASSERT_TRUE(SetEnvironmentVariableW(TEXT("TP_ENV_TEST"), value.c_str()));
  std::u16string buf(2048, u'\0');
  const DWORD need = GetEnvironmentVariableW(TEXT("TP_ENV_TEST"), buf.data(), 2048);
  ASSERT_EQ(need, value.size() + 1);
  buf.assign(need, u'\0');
  ASSERT_EQ(GetEnvironmentVariableW(TEXT("TP_ENV_TEST"), buf.data(), need), value.size());
  EXPECT_EQ(buf.substr(0, value.size()), value);
}

TEST_F(EnvironmentTest, Names_AreCaseSensitiveAndValidated) {
  ASSERT_TRUE(SetEnvironmentVariableW(TEXT("TP_ENV_TEST"), TEXT("upper")));
  WCHAR buf[8];
  EXPECT_EQ(GetEnvironmentVariableW(TEXT("tp_env_test"), buf, 8), 0u);
  EXPECT_FALSE(SetEnvironmentVariableW(TEXT("A=B"), TEXT("x")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(SetEnvironmentVariableW(TEXT(""), TEXT("x")));
  EXPECT_FALSE(SetEnvironmentVariableW(nullptr, TEXT("x")));
  EXPECT_EQ(GetEnvironmentVariableW(nullptr, buf, 8), 0u);
}

TEST(SystemDirectory, FollowsVariableWithWindowsSizing) {
  std::string saved;
  if (const char *v = getenv("TP_SYSTEM_DIR")) saved = v;
  ASSERT_TRUE(SetEnvironmentVariableA("TP_SYSTEM_DIR", "/opt/sys"));
  char buf[16];
  EXPECT_EQ(GetSystemDirectoryA(buf, 16), 8u);
  EXPECT_STREQ(buf, "/opt/sys");
  EXPECT_EQ(GetSystemDirectoryA(buf, 8), 9u);
  WCHAR wide[16];
  EXPECT_EQ(GetSystemDirectoryW(wide, 16), 8u);
  EXPECT_EQ(std::u16string(wide), u"/opt/sys");
  EXPECT_EQ(GetSystemDirectoryW(nullptr, 0), 9u);
  ASSERT_TRUE(SetEnvironmentVariableA("TP_SYSTEM_DIR", nullptr));
  EXPECT_EQ(GetSystemDirectoryA(buf, 16), 8u);
  EXPECT_STREQ(buf, "/usr/lib");
  SetEnvironmentVariableA("TP_SYSTEM_DIR", saved.empty() ? nullptr : saved.c_str());
}

}  // namespace
