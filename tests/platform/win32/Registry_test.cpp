#include <windows.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/FfmpegTools.h"

namespace {

namespace fs = std::filesystem;
using tp::test::ff::ReadFileText;

void WriteText(const fs::path &p, const std::string &text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<BYTE> WideBytes(const std::u16string &s, bool terminator = true) {
  std::vector<BYTE> out((s.size() + (terminator ? 1 : 0)) * 2, 0);
  std::memcpy(out.data(), s.data(), s.size() * 2);
  return out;
}

// Each test gets a store file of its own in a fresh folder.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tp_registry_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    if (const char *old = getenv("TP_REGISTRY_FILE")) saved_ = old;
    UseFile(dir_ / "registry.reg");
  }
  void TearDown() override {
    SetEnvironmentVariableA("TP_REGISTRY_FILE", saved_.empty() ? nullptr : saved_.c_str());
    fs::remove_all(dir_);
  }
  void UseFile(const fs::path &p) {
    file_ = p;
    ASSERT_TRUE(SetEnvironmentVariableA("TP_REGISTRY_FILE", p.c_str()));
  }
  // Switches to a copy of the store, so the next read parses the file text
  // rather than anything remembered from the writes.
  void Reload() {
    const fs::path copy = dir_ / ("copy" + std::to_string(++copies_) + ".reg");
    fs::copy_file(file_, copy);
    UseFile(copy);
  }
  HKEY Create(HKEY root, const char16_t *path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }
  LONG SetString(HKEY key, const char16_t *name, const std::u16string &value) {
    auto bytes = WideBytes(value);
    return RegSetValueExW(key, name, 0, REG_SZ, bytes.data(), static_cast<DWORD>(bytes.size()));
  }
  std::u16string GetString(HKEY key, const char16_t *name) {
    WCHAR buf[512] = {};
    DWORD size = sizeof buf;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(buf), &size), ERROR_SUCCESS);
    return std::u16string(buf);
  }

  fs::path dir_;
  fs::path file_;
  std::string saved_;
  int copies_ = 0;
};

TEST_F(RegistryTest, SetAndQuery_RoundTripEveryTypeThroughTheFile) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Tidepool Test\\Types"));
  const DWORD number = 0x2A;
  const BYTE binary[] = {0x00, 0x01, 0xFE, 0xFF};
  const std::u16string multi(u"one\0two\0\0", 9);
  const std::vector<BYTE> unterminated = WideBytes(u"no end", false);
  const std::vector<BYTE> awkward = WideBytes(u"line\nbreak \"quoted\" back\\slash \u00e9\u4e2d");
  ASSERT_EQ(SetString(key, TEXT("Text"), u"C:\\Program Files\\\"x\""), ERROR_SUCCESS);
  auto expand = WideBytes(u"%SystemRoot%\\x");
  ASSERT_EQ(RegSetValueExW(key, TEXT("Expand"), 0, REG_EXPAND_SZ, expand.data(), DWORD(expand.size())), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, TEXT("Number"), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), 4),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, TEXT("Binary"), 0, REG_BINARY, binary, sizeof binary), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, TEXT("Multi"), 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(multi.data()),
                           DWORD(multi.size() * 2)),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, TEXT("Unterminated"), 0, REG_SZ, unterminated.data(), DWORD(unterminated.size())),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, TEXT("Awkward"), 0, REG_SZ, awkward.data(), DWORD(awkward.size())), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, TEXT(""), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, TEXT("Empty"), 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  RegCloseKey(key);
  Reload();

  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Tidepool Test\\Types"), 0, KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  struct Expect {
    const char16_t *name;
    DWORD type;
    std::vector<BYTE> data;
  };
  const Expect expected[] = {
      {u"Text", REG_SZ, WideBytes(u"C:\\Program Files\\\"x\"")},
      {u"Expand", REG_EXPAND_SZ, expand},
      {u"Number", REG_DWORD, {0x2A, 0, 0, 0}},
      {u"Binary", REG_BINARY, {binary, binary + 4}},
      {u"Multi", REG_MULTI_SZ, WideBytes(multi, false)},
      {u"Unterminated", REG_SZ, unterminated},
      {u"Awkward", REG_SZ, awkward},
      {u"", REG_DWORD, {0x2A, 0, 0, 0}},
      {u"Empty", REG_BINARY, {}},
  };
  for (const auto &e : expected) {
    SCOPED_TRACE(std::string(e.name, e.name + std::char_traits<char16_t>::length(e.name)));
    BYTE buf[256];
    DWORD size = sizeof buf, type = 0;
    ASSERT_EQ(RegQueryValueExW(key, e.name, nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, e.type);
    EXPECT_EQ(std::vector<BYTE>(buf, buf + size), e.data);
  }
  RegCloseKey(key);
}

TEST_F(RegistryTest, StoreFile_IsAHumanReadableExport) {
  HKEY key = Create(HKEY_CLASSES_ROOT, TEXT("CLSID\\{00000000-0000-0000-0000-000000000001}\\InprocServer32"));
  ASSERT_EQ(SetString(key, nullptr, u"/opt/tide pool/Tidepool.ax"), ERROR_SUCCESS);
  ASSERT_EQ(SetString(key, TEXT("ThreadingModel"), u"Both"), ERROR_SUCCESS);
  ASSERT_EQ(SetString(key, TEXT("Quote\"And\\Slash"), u"a\\b\"c"), ERROR_SUCCESS);
  const DWORD n = 42;
  ASSERT_EQ(RegSetValueExW(key, TEXT("Count"), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&n), 4), ERROR_SUCCESS);
  const BYTE bin[] = {0xde, 0xad};
  ASSERT_EQ(RegSetValueExW(key, TEXT("Bin"), 0, REG_BINARY, bin, 2), ERROR_SUCCESS);
  RegCloseKey(key);

  const std::string text = ReadFileText(file_);
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u) << text;
  EXPECT_NE(text.find("[HKEY_CLASSES_ROOT\\CLSID\\{00000000-0000-0000-0000-000000000001}\\InprocServer32]\n"
                      "@=\"/opt/tide pool/Tidepool.ax\"\n"
                      "\"ThreadingModel\"=\"Both\"\n"
                      "\"Quote\\\"And\\\\Slash\"=\"a\\\\b\\\"c\"\n"
                      "\"Count\"=dword:0000002a\n"
                      "\"Bin\"=hex:de,ad\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[HKEY_CLASSES_ROOT\\CLSID]\n"), std::string::npos) << "parents are keys too";
}

TEST_F(RegistryTest, Names_AreCaseInsensitiveAndKeepTheirCase) {
  HKEY key = Create(HKEY_CURRENT_USER, TEXT("Software\\MixedCase\\Sub"));
  ASSERT_EQ(SetString(key, TEXT("ThreadingModel"), u"Both"), ERROR_SUCCESS);
  ASSERT_EQ(SetString(key, TEXT("THREADINGMODEL"), u"Apartment"), ERROR_SUCCESS);
  RegCloseKey(key);

  HKEY again = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, TEXT("SOFTWARE\\mixedcase\\SUB"), 0, nullptr, 0, KEY_READ, nullptr,
                            &again, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(GetString(again, TEXT("threadingmodel")), u"Apartment");
  WCHAR name[64];
  DWORD cch = 64, type = 0;
  ASSERT_EQ(RegEnumValueW(again, 0, name, &cch, nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"ThreadingModel") << "the first spelling stays";
  EXPECT_EQ(RegEnumValueW(again, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  RegCloseKey(again);

  HKEY parent = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("software\\MIXEDCASE"), 0, KEY_READ, &parent), ERROR_SUCCESS);
  cch = 64;
  ASSERT_EQ(RegEnumKeyExW(parent, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"Sub");
  EXPECT_EQ(cch, 3u);
  RegCloseKey(parent);
}

TEST_F(RegistryTest, Query_MissingAndSizing) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Sizes"));
  ASSERT_EQ(SetString(key, TEXT("QTSysDir"), u"/opt/qt/"), ERROR_SUCCESS);  // 9 chars with terminator
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(key, TEXT("Missing"), nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);

  // A null buffer asks for the size (and the type).
  ASSERT_EQ(RegQueryValueExW(key, TEXT("QTSysDir"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 18u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

  BYTE small[10];
  size = sizeof small;
  type = 0;
  EXPECT_EQ(RegQueryValueExW(key, TEXT("QTSysDir"), nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 18u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

  BYTE exact[18];
  size = sizeof exact;
  ASSERT_EQ(RegQueryValueExW(key, TEXT("QTSysDir"), nullptr, nullptr, exact, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(exact)), u"/opt/qt/");
  EXPECT_EQ(RegQueryValueExW(key, TEXT("QTSysDir"), nullptr, nullptr, exact, nullptr), ERROR_INVALID_PARAMETER);

  HKEY missing = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Nope"), 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  RegCloseKey(key);
}

TEST_F(RegistryTest, Query_NarrowCallerGetsUtf8) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Apple Computer, Inc.\\QuickTime"));
  ASSERT_EQ(SetString(key, TEXT("QTSysDir"), u"/opt/caf\u00e9/"), ERROR_SUCCESS);
  RegCloseKey(key);
  HKEY narrow = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Apple Computer, Inc.\\QuickTime", 0, KEY_QUERY_VALUE, &narrow),
            ERROR_SUCCESS);
  char buf[64];
  DWORD size = sizeof buf, type = 0;
  ASSERT_EQ(RegQueryValueExA(narrow, "QTSysDir", nullptr, &type, reinterpret_cast<BYTE *>(buf), &size), ERROR_SUCCESS);
  EXPECT_STREQ(buf, "/opt/caf\xc3\xa9/");
  EXPECT_EQ(size, 12u);
  RegCloseKey(narrow);
}

TEST_F(RegistryTest, Delete_FollowsWindowsRules) {
  HKEY ext = Create(HKEY_CLASSES_ROOT, TEXT("Media Type\\Extensions\\.mov"));
  ASSERT_EQ(SetString(ext, TEXT("Source Filter"), u"{x}"), ERROR_SUCCESS);
  RegCloseKey(Create(HKEY_CLASSES_ROOT, TEXT("Media Type\\Extensions\\.mp4")));

  HKEY parent = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, TEXT("Media Type\\Extensions"), 0, KEY_ALL_ACCESS, &parent),
            ERROR_SUCCESS);
  // A key with subkeys stays; a key with values goes.
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, TEXT("Media Type")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(parent, TEXT(".MOV")), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(parent, TEXT(".mov")), ERROR_FILE_NOT_FOUND);

  // The handle to the deleted key now reports it.
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(ext, TEXT("Source Filter"), nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(SetString(ext, TEXT("Source Filter"), u"{y}"), ERROR_KEY_DELETED);
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExW(ext, TEXT("child"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(ext), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteValueW(parent, TEXT("nothing")), ERROR_FILE_NOT_FOUND);
  RegCloseKey(parent);

  EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, TEXT("Media Type")), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, TEXT("Media Type\\Extensions\\.mp4"), 0, KEY_READ, &sub),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, TEXT("")), ERROR_ACCESS_DENIED) << "a root cannot be deleted";
}

TEST_F(RegistryTest, EnumKeys_InNameOrderWithWindowsSizing) {
  HKEY base = Create(HKEY_CURRENT_USER, TEXT("Software\\Enum"));
  for (const char16_t *n : {u"b", u"A", u"c", u"aa"}) RegCloseKey(Create(base, n));
  RegCloseKey(Create(base, TEXT("A\\deeper")));
  std::vector<std::u16string> names;
  WCHAR buf[16];
  for (DWORD i = 0;; ++i) {
    DWORD cch = 16;
    LONG rc = RegEnumKeyExW(base, i, buf, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    names.emplace_back(buf, cch);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"A", u"aa", u"b", u"c"}));
  DWORD cch = 2;  // "aa" needs 3 with its terminator
  EXPECT_EQ(RegEnumKeyExW(base, 1, buf, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  RegCloseKey(base);
}

TEST_F(RegistryTest, OldCalls_DefaultValueAndSameHandle) {
  ASSERT_EQ(RegSetValueW(HKEY_CLASSES_ROOT, TEXT("CLSID\\{abc}"), REG_SZ, TEXT("Tidepool"), 0), ERROR_SUCCESS);
  WCHAR buf[32];
  LONG size = sizeof buf;
  ASSERT_EQ(RegQueryValueW(HKEY_CLASSES_ROOT, TEXT("CLSID\\{abc}"), buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(buf), u"Tidepool");
  EXPECT_EQ(size, 18);
  // An unset default value reads as an empty string.
  size = sizeof buf;
  ASSERT_EQ(RegQueryValueW(HKEY_CLASSES_ROOT, TEXT("CLSID"), buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 2);

  HKEY same = nullptr;
  ASSERT_EQ(RegOpenKeyW(HKEY_CLASSES_ROOT, nullptr, &same), ERROR_SUCCESS);
  EXPECT_EQ(same, HKEY_CLASSES_ROOT);
  HKEY created = nullptr;
  ASSERT_EQ(RegCreateKeyW(HKEY_CLASSES_ROOT, TEXT("CLSID\\{abc}\\InprocServer32"), &created), ERROR_SUCCESS);
  RegCloseKey(created);
}

TEST_F(RegistryTest, BadHandlesAndPaths_AreRefused) {
  int notAKey = 0;
  HKEY bogus = reinterpret_cast<HKEY>(&notAKey);
  HKEY out = nullptr;
  EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(bogus, TEXT("x"), 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
  HKEY key = Create(HKEY_CURRENT_USER, TEXT("Software\\Handles"));
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE) << "closed twice";
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("\\Software"), 0, KEY_READ, &out), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, TEXT("Software\\\\Double"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out,
                            nullptr),
            ERROR_BAD_PATHNAME);
  const std::u16string tooLong(300, u'x');
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, tooLong.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software"), 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, CorruptStore_BadLinesSkippedGoodOnesKept) {
  std::string text =
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good]\n"
      "\"A\"=\"kept\"\n"
      "\"B\"=dword:zzzz\n"
      "\"C\"=hex:0g,11\n"
      "\"D\"=hex(2):41,00,\\\n"
      "  00,00\n"
      "\"Unterminated=\"x\n"
      "garbage line\n"
      "[NOT_A_ROOT\\X]\n"
      "\"E\"=\"orphan\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good\\\\Empty]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good]\n"
      "\"F\"=dword:1\n";
  text += "\"Huge\"=hex:" + std::string(3u << 20, '0') + "\n";  // far past the bound for one value
  text += std::string("\0\xff\xfe[\n", 5);
  WriteText(file_, text);

  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Good"), 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(GetString(key, TEXT("A")), u"kept");
  BYTE buf[8];
  DWORD size = sizeof buf, type = 0;
  ASSERT_EQ(RegQueryValueExW(key, TEXT("D"), nullptr, &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(size, 4u);
  size = sizeof buf;
  ASSERT_EQ(RegQueryValueExW(key, TEXT("F"), nullptr, &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(buf[0], 1);
  for (const char16_t *bad : {u"B", u"C", u"E", u"Huge"})
    EXPECT_EQ(RegQueryValueExW(key, bad, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);

  // A change rewrites the file with the good entries only.
  key = Create(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Good"));
  ASSERT_EQ(SetString(key, TEXT("G"), u"new"), ERROR_SUCCESS);
  RegCloseKey(key);
  const std::string rewritten = ReadFileText(file_);
  EXPECT_NE(rewritten.find("\"A\"=\"kept\""), std::string::npos);
  EXPECT_EQ(rewritten.find("garbage"), std::string::npos);
  EXPECT_LT(rewritten.size(), 1000u);
}

TEST_F(RegistryTest, ManyValuesInOneKey_ReadInLinearTime) {
  // 100,000 names, each given twice: a lookup per line would take minutes.
  std::string text = "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Big]\n";
  for (int round = 0; round < 2; ++round)
    for (int i = 0; i < 100000; ++i) text += "\"v" + std::to_string(i) + "\"=dword:" + std::to_string(round) + "\n";
  WriteText(file_, text);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Big"), 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD v = 9, size = 4;
  ASSERT_EQ(RegQueryValueExW(key, TEXT("V99999"), nullptr, nullptr, reinterpret_cast<BYTE *>(&v), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(v, 1u) << "the later line wins";
  WCHAR name[16];
  DWORD cch = 16;
  EXPECT_EQ(RegEnumValueW(key, 100000, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
}

TEST_F(RegistryTest, DamagedStores_NeverCrashTheReader) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Damage\\Sub"));
  ASSERT_EQ(SetString(key, TEXT("Text"), u"value \"quoted\" \u00e9"), ERROR_SUCCESS);
  const BYTE bin[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  ASSERT_EQ(RegSetValueExW(key, TEXT("Bin"), 0, REG_MULTI_SZ, bin, sizeof bin), ERROR_SUCCESS);
  RegCloseKey(key);
  const std::string good = ReadFileText(file_);

  // Deterministic damage: flipped, dropped and inserted bytes, and cuts.
  unsigned state = 12345;
  auto next = [&] {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  };
  for (int round = 0; round < 150; ++round) {
    std::string text = good;
    for (int edits = 1 + next() % 4; edits > 0 && !text.empty(); --edits) {
      const size_t at = next() % text.size();
      switch (next() % 4) {
        case 0:
          text[at] = static_cast<char>(next());
          break;
        case 1:
          text.erase(at, 1 + next() % 8);
          break;
        case 2:
          text.insert(at, 1, "[]\\\"=@,:\n\0"[next() % 10]);
          break;
        default:
          text.resize(at);
          break;
      }
    }
    WriteText(dir_ / "damaged.reg", text);
    UseFile(dir_ / "damaged.reg");
    HKEY k = nullptr;
    const LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Damage\\Sub"), 0, KEY_READ, &k);
    ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND || rc == ERROR_REGISTRY_CORRUPT) << rc;
    if (rc != ERROR_SUCCESS) continue;
    BYTE buf[64];
    for (DWORD i = 0;; ++i) {
      WCHAR name[64];
      DWORD cch = 64, size = sizeof buf;
      const LONG r = RegEnumValueW(k, i, name, &cch, nullptr, nullptr, buf, &size);
      if (r == ERROR_NO_MORE_ITEMS) break;
      ASSERT_TRUE(r == ERROR_SUCCESS || r == ERROR_MORE_DATA) << r;
    }
    RegCloseKey(k);
  }
}

TEST_F(RegistryTest, ForeignFile_IsNeverOverwritten) {
  const std::string foreign = "PATH=/usr/bin\nnot a registry\n";
  WriteText(file_, foreign);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE"), 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\X"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
      ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(ReadFileText(file_), foreign);
}

TEST_F(RegistryTest, Reads_SeeChangesMadeByOthers) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Shared"));
  ASSERT_EQ(SetString(key, TEXT("V"), u"mine"), ERROR_SUCCESS);
  EXPECT_EQ(GetString(key, TEXT("V")), u"mine");
  // Another process replaces the file (same size, so only its identity tells).
  const fs::path other = dir_ / "other.reg";
  std::string text = ReadFileText(file_);
  const size_t at = text.find("mine");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 4, "them");
  WriteText(other, text);
  fs::rename(other, file_);
  EXPECT_EQ(GetString(key, TEXT("V")), u"them");
  RegCloseKey(key);
}

TEST_F(RegistryTest, DefaultLocation_UsesTheDataFolder) {
  const fs::path data = dir_ / "data";
  ASSERT_TRUE(SetEnvironmentVariableA("TP_REGISTRY_FILE", nullptr));
  std::string savedXdg;
  if (const char *x = getenv("XDG_DATA_HOME")) savedXdg = x;
  ASSERT_TRUE(SetEnvironmentVariableA("XDG_DATA_HOME", data.c_str()));
  HKEY key = Create(HKEY_CURRENT_USER, TEXT("Software\\Where"));
  RegCloseKey(key);
  SetEnvironmentVariableA("XDG_DATA_HOME", savedXdg.empty() ? nullptr : savedXdg.c_str());
  EXPECT_NE(ReadFileText(data / "tidepool" / "registry.reg").find("[HKEY_CURRENT_USER\\Software\\Where]"),
            std::string::npos);
}

}  // namespace
