// Shared set-up for tests that build graphs: COM in the multithreaded
// apartment, a registry of the test's own, the graph test source module
// registered as a COM class (and, on request, as the source filter for file
// extensions), spec files for it, and a watchdog that ends a hung test.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include <unistd.h>

#include <gtest/gtest.h>

#include "GraphTestSource.h"

namespace tp::test {

// Aborts the process (with the test's name) when not dismissed in time, so
// that a deadlock fails the run instead of hanging it.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit) : m_thread([this, limit] { Watch(limit); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_done = true;
    }
    m_wake.notify_all();
    m_thread.join();
  }

 private:
  void Watch(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (!m_wake.wait_for(lock, limit, [this] { return m_done; })) {
      const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
      std::fprintf(stderr, "watchdog: %s hung for %lld s\n", info ? info->name() : "?",
                   static_cast<long long>(limit.count()));
      std::abort();
    }
  }
  std::mutex m_lock;
  std::condition_variable m_wake;
  bool m_done = false;
  std::thread m_thread;
};

inline std::u16string Widen(const std::string &s) { return std::u16string(s.begin(), s.end()); }

class GraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    if (const char *old = getenv("TP_REGISTRY_FILE")) m_savedRegistry = old;
    m_dir = std::filesystem::temp_directory_path() / ("tp_graph_" + std::to_string(getpid()) + "_" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(m_dir);
    ASSERT_TRUE(SetEnvironmentVariableA("TP_REGISTRY_FILE", (m_dir / "registry.reg").c_str()));
    const char *build = getenv("TP_BUILD_DIR");
    const std::string module = std::string(build ? build : TP_BUILD_DIR) + "/bin/tpgraphsource.dll";
    ASSERT_TRUE(std::filesystem::exists(module)) << module;
    ASSERT_TRUE(SetString(u"CLSID\\" + Braced(CLSID_GraphTestSource) + u"\\InprocServer32", nullptr, Widen(module)));
  }
  void TearDown() override {
    CoFreeUnusedLibraries();
    SetEnvironmentVariableA("TP_REGISTRY_FILE", m_savedRegistry.empty() ? nullptr : m_savedRegistry.c_str());
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
    CoUninitialize();
  }

  static std::u16string Braced(REFGUID g) {
    OLECHAR text[39];
    StringFromGUID2(g, text, 39);
    return std::u16string(text);
  }
  static bool SetString(const std::u16string &key, LPCWSTR name, const std::u16string &value) {
    HKEY k = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
        ERROR_SUCCESS) {
      return false;
    }
    const LSTATUS st = RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                                      static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
    RegCloseKey(k);
    return st == ERROR_SUCCESS;
  }
  // Makes the test source the source filter for files ending in `ext`.
  static bool RegisterExtension(const std::u16string &ext) {
    return SetString(u"Media Type\\Extensions\\" + ext, u"Source Filter", Braced(CLSID_GraphTestSource));
  }
  // Writes a spec file for the test source; its path.
  std::u16string WriteSpec(const std::string &name, const std::string &text) {
    const std::filesystem::path path = m_dir / name;
    std::ofstream(path) << text;
    return Widen(path.string());
  }
  std::filesystem::path Dir() const { return m_dir; }

 private:
  std::string m_savedRegistry;
  std::filesystem::path m_dir;
};

}  // namespace tp::test
