// The in-process benchmarks' set-up of the runtime: ASCII paths widened to
// WCHAR, and a registry of the benchmark's own (a file in its scratch
// folder) whose QTSysDir names this build's runtime folder, so that a run
// never reads or writes the user's registry.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <string>

namespace bench {

inline std::basic_string<WCHAR> Wide(const std::string &s) {
  std::basic_string<WCHAR> w;
  for (unsigned char c : s) w += static_cast<WCHAR>(c);
  return w;
}

// Points TP_REGISTRY_FILE at FOLDER/registry.reg and names the runtime of
// this build (TP_QUICKTIME_DIR) there.
inline void UseOwnRegistry(const std::string &folder) {
  setenv("TP_REGISTRY_FILE", (folder + "/registry.reg").c_str(), 1);
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Apple Computer, Inc.\\QuickTime"), 0, nullptr, 0,
                      KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  const std::basic_string<WCHAR> value = Wide(std::string(TP_QUICKTIME_DIR) + "/");
  RegSetValueExW(key, TEXT("QTSysDir"), 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
  RegCloseKey(key);
}

}  // namespace bench
