// COM apartments, activation (built-in classes and in-process servers found
// through the registry), unloading of unused servers, and GUID text.
#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <strmif.h>
#include <uuids.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

// {6B1E3C52-1D2A-4C59-9E3B-7A4C2D1E0F01}, the class of the test server.
TP_SDK_GUID(CLSID_TpTestObject, 0x6B1E3C52, 0x1D2A, 0x4C59, 0x9E, 0x3B, 0x7A, 0x4C, 0x2D, 0x1E, 0x0F, 0x01);
constexpr char16_t kTestClsidText[] = u"{6B1E3C52-1D2A-4C59-9E3B-7A4C2D1E0F01}";

std::u16string Widen(const std::string &s) { return std::u16string(s.begin(), s.end()); }

TEST(CoInitialize, CountsPerThreadAndRefusesAModeChange) {
  std::thread([] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();
    // Fully uninitialised: a new mode may be chosen.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
    CoUninitialize();  // unbalanced: ignored
  }).join();
}

TEST(CoCreateInstance, NeedsCom) {
  std::thread([] {
    IMemAllocator *a = reinterpret_cast<IMemAllocator *>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                               reinterpret_cast<void **>(&a)),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(a, nullptr);
  }).join();
}

TEST(CoCreateInstance, ImplicitMultithreadedApartmentServesOtherThreads) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  std::thread([] {
    IMemAllocator *a = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                               reinterpret_cast<void **>(&a)),
              S_OK);
    if (a) a->Release();
  }).join();
  CoUninitialize();
}

class CoActivationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    if (const char *old = getenv("TP_REGISTRY_FILE")) savedRegistry_ = old;
    dir_ = std::filesystem::temp_directory_path() / ("tp_coactivation_" + std::to_string(getpid()) + "_" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    ASSERT_TRUE(SetEnvironmentVariableA("TP_REGISTRY_FILE", (dir_ / "registry.reg").c_str()));
    const char *build = getenv("TP_BUILD_DIR");
    serverPath_ = std::string(build ? build : TP_BUILD_DIR) + "/bin/tpcomserver.dll";
  }
  void TearDown() override {
    CoFreeUnusedLibraries();
    SetEnvironmentVariableA("TP_REGISTRY_FILE", savedRegistry_.empty() ? nullptr : savedRegistry_.c_str());
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    CoUninitialize();
  }
  void RegisterServer(const std::u16string &path) {
    std::u16string key = u"CLSID\\" + std::u16string(kTestClsidText) + u"\\InprocServer32";
    HKEY hkey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkey, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(hkey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(path.c_str()),
                             static_cast<DWORD>((path.size() + 1) * sizeof(char16_t))),
              ERROR_SUCCESS);
    RegCloseKey(hkey);
  }
  static LONG ServerObjects() {
    HMODULE m = GetModuleHandleA("tpcomserver.dll");
    if (!m) return -1;
    auto fn = reinterpret_cast<LONG (*)()>(reinterpret_cast<void *>(GetProcAddress(m, "TpTestServerObjects")));
    return fn ? fn() : -1;
  }

  std::filesystem::path dir_;
  std::string savedRegistry_;
  std::string serverPath_;
};

TEST_F(CoActivationTest, BuiltInAllocator_IsServedWithoutTheRegistry) {
  IUnknown *unk = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void **>(&unk)),
            S_OK);
  IMemAllocator *alloc = nullptr;
  EXPECT_EQ(unk->QueryInterface(IID_IMemAllocator, reinterpret_cast<void **>(&alloc)), S_OK);
  IPin *notAPin = reinterpret_cast<IPin *>(1);
  EXPECT_EQ(unk->QueryInterface(IID_IPin, reinterpret_cast<void **>(&notAPin)), E_NOINTERFACE);
  EXPECT_EQ(notAPin, nullptr);
  alloc->Release();
  unk->Release();

  IUnknown *outer = reinterpret_cast<IUnknown *>(&unk);  // never called
  EXPECT_EQ(CoCreateInstance(CLSID_MemoryAllocator, outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void **>(&unk)),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(unk, nullptr);
}

TEST_F(CoActivationTest, UnknownClass_IsNotRegistered) {
  IUnknown *unk = reinterpret_cast<IUnknown *>(1);
  EXPECT_EQ(CoCreateInstance(CLSID_TpTestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void **>(&unk)),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(unk, nullptr);
  EXPECT_EQ(CoCreateInstance(CLSID_TpTestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(CoActivationTest, RegisteredServer_IsLoadedAskedAndFreedWhenUnused) {
  RegisterServer(Widen(serverPath_));
  IPersist *object = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_TpTestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IPersist,
                             reinterpret_cast<void **>(&object)),
            S_OK);
  CLSID clsid{};
  EXPECT_EQ(object->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_TpTestObject);
  EXPECT_EQ(ServerObjects(), 1);  // the factory is gone, the object lives

  // In use: the server stays.
  CoFreeUnusedLibraries();
  EXPECT_NE(GetModuleHandleA("tpcomserver.dll"), nullptr);
  object->Release();
  EXPECT_EQ(ServerObjects(), 0);
  CoFreeUnusedLibraries();
  EXPECT_EQ(GetModuleHandleA("tpcomserver.dll"), nullptr);
}

TEST_F(CoActivationTest, ClassObject_OfARegisteredServer) {
  RegisterServer(Widen(serverPath_));
  IClassFactory *factory = nullptr;
  ASSERT_EQ(CoGetClassObject(CLSID_TpTestObject, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void **>(&factory)),
            S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  factory->Release();
  CoFreeUnusedLibraries();
  EXPECT_NE(GetModuleHandleA("tpcomserver.dll"), nullptr) << "a locked server was freed";
  IClassFactory *again = nullptr;
  ASSERT_EQ(CoGetClassObject(CLSID_TpTestObject, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void **>(&again)),
            S_OK);
  again->LockServer(FALSE);
  again->Release();
}

TEST_F(CoActivationTest, MissingOrBrokenServer_GivesAFailureNotACrash) {
  RegisterServer(Widen((dir_ / "no_such_module.dll").string()));
  IUnknown *unk = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_TpTestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                reinterpret_cast<void **>(&unk));
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(unk, nullptr);

  // A module without DllGetClassObject: the platform library itself.
  const char *build = getenv("TP_BUILD_DIR");
  RegisterServer(Widen(std::string(build ? build : TP_BUILD_DIR) + "/bin/libtpplatform.so"));
  EXPECT_EQ(CoCreateInstance(CLSID_TpTestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void **>(&unk)),
            CO_E_ERRORINDLL);
  EXPECT_EQ(unk, nullptr);

  RegisterServer(u"");
  EXPECT_EQ(CoCreateInstance(CLSID_TpTestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void **>(&unk)),
            REGDB_E_CLASSNOTREG);
}

TEST(GuidText, RoundTripsAndRejectsMalformedText) {
  OLECHAR text[39];
  ASSERT_EQ(StringFromGUID2(CLSID_MemoryAllocator, text, 39), 39);
  EXPECT_EQ(std::u16string(text), u"{1E651CC0-B199-11D0-8212-00C04FC32C45}");
  EXPECT_EQ(StringFromGUID2(CLSID_MemoryAllocator, text, 38), 0);

  CLSID parsed{};
  ASSERT_EQ(CLSIDFromString(u"{1e651cc0-b199-11d0-8212-00c04fc32c45}", &parsed), S_OK);
  EXPECT_EQ(parsed, CLSID_MemoryAllocator);
  for (const char16_t *bad : {u"{1E651CC0-B199-11D0-8212-00C04FC32C4}", u"{1E651CC0-B199-11D0-8212-00C04FC32C45",
                              u"1E651CC0-B199-11D0-8212-00C04FC32C45}", u"{1E651CC0-B199-11D0-8212-00C04FC32C45}x",
                              u"{1E651CC0XB199-11D0-8212-00C04FC32C45}", u"{"}) {
    EXPECT_EQ(CLSIDFromString(bad, &parsed), CO_E_CLASSSTRING) << std::string(bad, bad + 1);
  }
  LPOLESTR allocated = nullptr;
  ASSERT_EQ(StringFromCLSID(CLSID_TpTestObject, &allocated), S_OK);
  EXPECT_EQ(std::u16string(allocated), kTestClsidText);
  CoTaskMemFree(allocated);
}

}  // namespace
