// Helpers for the engine tests: a private registry store and temp folder per
// test, the runtime's registry values, the scripted runtime's call log and
// the trace library's capture.
#pragma once

#include <unistd.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quilltrace.h"

namespace enginetest {

inline std::basic_string<WCHAR> Wide(const std::string &s) {
  std::basic_string<WCHAR> w;
  for (unsigned char c : s) w += static_cast<WCHAR>(c);  // test paths are ASCII
  return w;
}

inline std::string Narrow(const std::basic_string<WCHAR> &w) {
  std::string s;
  for (WCHAR c : w) s += static_cast<char>(c);
  return s;
}

// Writes (or with an empty value deletes nothing and writes "") a string
// value under HKLM\SOFTWARE\Apple Computer, Inc.\QuickTime.
inline void SetQuickTimeValue(const char *name, const std::string &value, bool terminate = true) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Apple Computer, Inc.\\QuickTime"), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  std::basic_string<WCHAR> w = Wide(value);
  const DWORD bytes = static_cast<DWORD>((w.size() + (terminate ? 1 : 0)) * sizeof(WCHAR));
  ASSERT_EQ(RegSetValueExW(key, Wide(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(w.c_str()), bytes),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

// The trace library's capture, reached through the loaded library.
class TraceCapture {
 public:
  TraceCapture() {
    HMODULE lib = GetModuleHandleW(TEXT("quilltrace.dll"));
    if (lib == nullptr) return;
    begin_ = reinterpret_cast<PFN_QuillTraceCaptureBegin>(
        reinterpret_cast<void (*)()>(GetProcAddress(lib, "QuillTraceCaptureBegin")));
    take_ = reinterpret_cast<PFN_QuillTraceCaptureTake>(
        reinterpret_cast<void (*)()>(GetProcAddress(lib, "QuillTraceCaptureTake")));
    end_ = reinterpret_cast<PFN_QuillTraceCaptureEnd>(
        reinterpret_cast<void (*)()>(GetProcAddress(lib, "QuillTraceCaptureEnd")));
    if (begin_) begin_();
  }
  ~TraceCapture() {
    if (end_) end_();
  }
  bool Available() const { return begin_ && take_ && end_; }
  std::string Take() { return take_ ? QuillTraceTakeCaptured(take_) : std::string(); }

 private:
  PFN_QuillTraceCaptureBegin begin_ = nullptr;
  PFN_QuillTraceCaptureTake take_ = nullptr;
  PFN_QuillTraceCaptureEnd end_ = nullptr;
};

inline std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A fresh temp folder and registry store; the runtime variables of the
// scripted runtime are cleared. Restores "Path" afterwards.
class EngineEnvironment {
 public:
  EngineEnvironment() {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info ? info->test_suite_name() : "engine") + "_" + (info ? info->name() : "x");
    for (char &c : name) {
      if (c == '/') c = '_';
    }
    dir_ = std::filesystem::temp_directory_path() / ("tp_h6_" + std::to_string(::getpid()) + "_" + name);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    setenv("TP_REGISTRY_FILE", (dir_ / "registry.reg").c_str(), 1);
    setenv("FAKEQT_LOG", (dir_ / "calls.log").c_str(), 1);
    unsetenv("FAKEQT_FAIL");
    unsetenv("FAKEQT_TRACKS");
    const char *path = std::getenv("Path");
    hadPath_ = path != nullptr;
    if (path) oldPath_ = path;
  }
  ~EngineEnvironment() {
    if (hadPath_) {
      setenv("Path", oldPath_.c_str(), 1);
    } else {
      unsetenv("Path");
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::filesystem::path &Dir() const { return dir_; }
  // Runtime calls logged by the scripted runtime, one selector (hex) a line.
  std::vector<std::string> Calls() const {
    std::ifstream in(dir_ / "calls.log");
    std::stringstream s;
    s << in.rdbuf();
    return Lines(s.str());
  }
  void ClearCalls() const { std::filesystem::remove(dir_ / "calls.log"); }
  std::string WriteFile(const std::string &name, const std::string &bytes) const {
    std::ofstream out(dir_ / name, std::ios::binary);
    out << bytes;
    return (dir_ / name).string();
  }

 private:
  std::filesystem::path dir_;
  bool hadPath_ = false;
  std::string oldPath_;
};

inline int CountOf(const std::vector<std::string> &v, const std::string &s) {
  int n = 0;
  for (const auto &x : v) n += x == s;
  return n;
}

}  // namespace enginetest
