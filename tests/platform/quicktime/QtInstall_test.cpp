// qtinstall writes the registry values that tell the engine where the
// runtime is, with the trailing separator the engine relies on.
#include <gtest/gtest.h>

#include <windows.h>
#include <winreg.h>

#include "support/FfmpegTools.h"

namespace tp::test {
namespace {

std::string Tool() { return std::string(TP_BUILD_DIR) + "/bin/qtinstall"; }

// Reads one value of the QuickTime key from the registry store `file`.
bool ReadValue(const std::string &file, const char16_t *name, std::string *out) {
  std::u16string wfile(file.begin(), file.end());  // temp paths are ASCII
  SetEnvironmentVariableW(u"TP_REGISTRY_FILE", reinterpret_cast<LPCWSTR>(wfile.c_str()));
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Apple Computer, Inc.\\QuickTime", 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS)
    return false;
  char16_t buf[1024] = {};
  DWORD size = sizeof buf - sizeof(char16_t), type = 0;
  LSTATUS s =
      RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(name), nullptr, &type, reinterpret_cast<BYTE *>(buf), &size);
  RegCloseKey(key);
  if (s != ERROR_SUCCESS || type != REG_SZ) return false;
  out->clear();
  for (const char16_t *p = buf; *p; ++p) out->push_back(char(*p));
  return true;
}

// The tests point this process's registry at their own store; put it back.
class QtInstallTest : public ::testing::Test {
 protected:
  void TearDown() override { SetEnvironmentVariableW(u"TP_REGISTRY_FILE", nullptr); }
};

TEST_F(QtInstallTest, WritesBothFolderValuesWithATrailingSeparator) {
  ff::TempDir dir;
  std::string store = dir.File("registry.reg");
  std::string env = "TP_REGISTRY_FILE=" + ff::ShellQuote(store) + " ";
  std::string runtimeDir = std::string(TP_BUILD_DIR) + "/QuickTime";
  ASSERT_EQ(ff::RunCommand(env + ff::ShellQuote(Tool()) + " " + ff::ShellQuote(runtimeDir) + " >/dev/null"), 0);
  std::string value;
  ASSERT_TRUE(ReadValue(store, u"QTSysDir", &value));
  EXPECT_EQ(value.back(), '/');
  EXPECT_EQ(ff::ReadFileBytes(value + "QuickTime.qts").empty(), false) << "folder + file name names the runtime";
  std::string folder;
  ASSERT_TRUE(ReadValue(store, u"QuickTime.qts folder", &folder));
  EXPECT_EQ(folder, value);

  ASSERT_EQ(ff::RunCommand(env + ff::ShellQuote(Tool()) + " --remove"), 0);
  EXPECT_FALSE(ReadValue(store, u"QTSysDir", &value));
}

TEST_F(QtInstallTest, AFolderWithoutTheRuntimeIsRefused) {
  ff::TempDir dir;
  std::string store = dir.File("registry.reg");
  std::string env = "TP_REGISTRY_FILE=" + ff::ShellQuote(store) + " ";
  EXPECT_EQ(ff::RunCommand(env + ff::ShellQuote(Tool()) + " " + ff::ShellQuote(dir.path()) + " 2>/dev/null"), 1);
  std::string value;
  EXPECT_FALSE(ReadValue(store, u"QTSysDir", &value));
}

}  // namespace
}  // namespace tp::test
