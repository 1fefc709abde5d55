// The filter mapper: registration records land in the registry, a new
// registration replaces the old one, unregistering removes it, and bad
// records are refused before anything is written.
#include <windows.h>
#include <dshow.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// {5D2B7E90-4A1C-4B3E-9F60-0A1B2C3D4E5F}
TP_SDK_GUID(CLSID_MappedFilter, 0x5D2B7E90, 0x4A1C, 0x4B3E, 0x9F, 0x60, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F);
const std::u16string kInstanceKey =
    u"CLSID\\{083863F1-70DE-11D0-BD40-00A0C911CE86}\\Instance\\{5D2B7E90-4A1C-4B3E-9F60-0A1B2C3D4E5F}";

class FilterMapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    if (const char *old = getenv("TP_REGISTRY_FILE")) saved_ = old;
    dir_ = std::filesystem::temp_directory_path() / ("tp_mapper_" + std::to_string(getpid()) + "_" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    ASSERT_TRUE(SetEnvironmentVariableA("TP_REGISTRY_FILE", (dir_ / "registry.reg").c_str()));
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                               reinterpret_cast<void **>(&mapper_)),
              S_OK);
  }
  void TearDown() override {
    if (mapper_) mapper_->Release();
    SetEnvironmentVariableA("TP_REGISTRY_FILE", saved_.empty() ? nullptr : saved_.c_str());
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    CoUninitialize();
  }
  static bool KeyExists(const std::u16string &path) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
  }
  static std::u16string ReadString(const std::u16string &path, LPCWSTR name) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return u"<no key>";
    WCHAR buf[256] = {};
    DWORD size = sizeof buf - sizeof(WCHAR), type = 0;
    LSTATUS st = RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE *>(buf), &size);
    RegCloseKey(k);
    return st == ERROR_SUCCESS ? std::u16string(buf) : u"<no value>";
  }
  static DWORD ReadDword(const std::u16string &path, LPCWSTR name) {
    HKEY k = nullptr;
    DWORD v = 0xFFFFFFFF, size = sizeof v;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return v;
    RegQueryValueExW(k, name, nullptr, nullptr, reinterpret_cast<BYTE *>(&v), &size);
    RegCloseKey(k);
    return v;
  }

  IFilterMapper2 *mapper_ = nullptr;
  std::filesystem::path dir_;
  std::string saved_;
};

TEST_F(FilterMapperTest, RegisterFilter_WritesTheRecordAndReplacesAnOldOne) {
  const REGPINTYPES audio = {&MEDIATYPE_Audio, &MEDIASUBTYPE_NULL};
  const REGPINTYPES video = {&MEDIATYPE_Video, &MEDIASUBTYPE_NULL};
  REGFILTERPINS pins[2] = {
      {const_cast<LPWSTR>(u"Audio"), TRUE, TRUE, FALSE, FALSE, &CLSID_NULL, u"Input", 1, &audio},
      {const_cast<LPWSTR>(u"Video"), TRUE, TRUE, FALSE, FALSE, &CLSID_NULL, u"Input", 1, &video},
  };
  REGFILTER2 rf2{};
  rf2.dwVersion = 1;
  rf2.dwMerit = MERIT_NORMAL;
  rf2.cPins = 2;
  rf2.rgPins = pins;
  IMoniker *moniker = reinterpret_cast<IMoniker *>(1);
  ASSERT_EQ(mapper_->RegisterFilter(CLSID_MappedFilter, u"Mapped", &moniker, nullptr, nullptr, &rf2), S_OK);
  EXPECT_EQ(moniker, nullptr);
  EXPECT_EQ(ReadString(kInstanceKey, u"FriendlyName"), u"Mapped");
  EXPECT_EQ(ReadString(kInstanceKey, u"CLSID"), u"{5D2B7E90-4A1C-4B3E-9F60-0A1B2C3D4E5F}");
  EXPECT_EQ(ReadDword(kInstanceKey, u"Merit"), static_cast<DWORD>(MERIT_NORMAL));
  EXPECT_EQ(ReadString(kInstanceKey + u"\\Pins\\1", u"Name"), u"Video");
  EXPECT_EQ(ReadDword(kInstanceKey + u"\\Pins\\1", u"Flags"),
            static_cast<DWORD>(REG_PINFLAG_B_RENDERER | REG_PINFLAG_B_OUTPUT));
  EXPECT_EQ(ReadString(kInstanceKey + u"\\Pins\\0\\Types\\0", u"Major"), u"{73647561-0000-0010-8000-00AA00389B71}");

  rf2.cPins = 1;
  ASSERT_EQ(mapper_->RegisterFilter(CLSID_MappedFilter, u"Again", nullptr, nullptr, nullptr, &rf2), S_OK);
  EXPECT_EQ(ReadString(kInstanceKey, u"FriendlyName"), u"Again");
  EXPECT_FALSE(KeyExists(kInstanceKey + u"\\Pins\\1")) << "the old record's pins must go";

  EXPECT_EQ(mapper_->UnregisterFilter(nullptr, nullptr, CLSID_MappedFilter), S_OK);
  EXPECT_FALSE(KeyExists(kInstanceKey));
  EXPECT_EQ(mapper_->UnregisterFilter(nullptr, nullptr, CLSID_MappedFilter), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(FilterMapperTest, RegisterFilter_RefusesBadRecordsBeforeWriting) {
  REGFILTER2 rf2{};
  EXPECT_EQ(mapper_->RegisterFilter(CLSID_MappedFilter, u"x", nullptr, nullptr, nullptr, nullptr), E_POINTER);
  rf2.dwVersion = 3;
  EXPECT_EQ(mapper_->RegisterFilter(CLSID_MappedFilter, u"x", nullptr, nullptr, nullptr, &rf2), E_INVALIDARG);
  rf2.dwVersion = 2;
  rf2.cPins2 = 1;
  rf2.rgPins2 = nullptr;
  EXPECT_EQ(mapper_->RegisterFilter(CLSID_MappedFilter, u"x", nullptr, nullptr, nullptr, &rf2), E_POINTER);
  REGFILTERPINS2 pin{};
  pin.nMediaTypes = 100000;
  rf2.rgPins2 = &pin;
  EXPECT_EQ(mapper_->RegisterFilter(CLSID_MappedFilter, u"x", nullptr, nullptr, nullptr, &rf2), E_INVALIDARG);
  rf2.cPins2 = 0xFFFFFFFF;
  EXPECT_EQ(mapper_->RegisterFilter(CLSID_MappedFilter, u"x", nullptr, nullptr, nullptr, &rf2), E_INVALIDARG);
  EXPECT_FALSE(KeyExists(kInstanceKey));
}

// The old interface registers in steps into the same entry; what it cannot
// attach to (a pin of no filter, a type of no pin) is refused.
TEST_F(FilterMapperTest, OldMapper_RegistersInStepsIntoTheSameEntry) {
  IFilterMapper *old = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                             reinterpret_cast<void **>(&old)),
            S_OK);
  EXPECT_EQ(old->RegisterPin(CLSID_MappedFilter, u"Audio", TRUE, TRUE, FALSE, FALSE, CLSID_NULL, u"Input"),
            VFW_E_NOT_FOUND);
  ASSERT_EQ(old->RegisterFilter(CLSID_MappedFilter, u"Old", MERIT_UNLIKELY), S_OK);
  EXPECT_EQ(old->RegisterPinType(CLSID_MappedFilter, u"Audio", MEDIATYPE_Audio, GUID_NULL), VFW_E_NOT_FOUND);
  ASSERT_EQ(old->RegisterPin(CLSID_MappedFilter, u"Audio", TRUE, TRUE, FALSE, FALSE, CLSID_NULL, u"Input"), S_OK);
  ASSERT_EQ(old->RegisterPin(CLSID_MappedFilter, u"Video", FALSE, TRUE, TRUE, TRUE, CLSID_NULL, u"Input"), S_OK);
  ASSERT_EQ(old->RegisterPinType(CLSID_MappedFilter, u"audio", MEDIATYPE_Audio, GUID_NULL), S_OK);
  ASSERT_EQ(old->RegisterPinType(CLSID_MappedFilter, u"Video", MEDIATYPE_Video, MEDIASUBTYPE_RGB32), S_OK);
  ASSERT_EQ(old->RegisterPinType(CLSID_MappedFilter, u"Video", MEDIATYPE_Video, MEDIASUBTYPE_YV12), S_OK);
  EXPECT_EQ(ReadString(kInstanceKey, u"FriendlyName"), u"Old");
  EXPECT_EQ(ReadDword(kInstanceKey, u"Merit"), static_cast<DWORD>(MERIT_UNLIKELY));
  EXPECT_EQ(ReadString(kInstanceKey + u"\\Pins\\0", u"Name"), u"Audio");
  EXPECT_EQ(ReadDword(kInstanceKey + u"\\Pins\\1", u"Flags"),
            static_cast<DWORD>(REG_PINFLAG_B_OUTPUT | REG_PINFLAG_B_ZERO | REG_PINFLAG_B_MANY));
  EXPECT_EQ(ReadString(kInstanceKey + u"\\Pins\\1\\Types\\1", u"Minor"), u"{32315659-0000-0010-8000-00AA00389B71}");

  // A pin registered again starts without its old types; removing a pin
  // keeps the others.
  ASSERT_EQ(old->RegisterPin(CLSID_MappedFilter, u"Video", TRUE, TRUE, FALSE, FALSE, CLSID_NULL, u"Input"), S_OK);
  EXPECT_FALSE(KeyExists(kInstanceKey + u"\\Pins\\1\\Types\\0"));
  EXPECT_EQ(old->UnregisterPin(CLSID_MappedFilter, u"Audio"), S_OK);
  EXPECT_FALSE(KeyExists(kInstanceKey + u"\\Pins\\0"));
  EXPECT_EQ(ReadString(kInstanceKey + u"\\Pins\\1", u"Name"), u"Video");

  // Either interface removes what the other wrote.
  EXPECT_EQ(mapper_->UnregisterFilter(nullptr, nullptr, CLSID_MappedFilter), S_OK);
  EXPECT_EQ(old->UnregisterFilter(CLSID_MappedFilter), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  old->Release();
}

}  // namespace
