#include "ToolSetup.h"

#include <windows.h>

#include <vector>

#include "quilltrace.h"

namespace tidepool {
namespace {

const WCHAR kQuickTimeKey[] = TEXT("SOFTWARE\\Apple Computer, Inc.\\QuickTime");
const WCHAR kInstallKey[] = TEXT("SOFTWARE\\Tidepool");

std::string ToUtf8(const WCHAR *text, int length) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::basic_string<WCHAR> ReadQTSysDir() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kQuickTimeKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return {};
  WCHAR value[MAX_PATH + 1] = {};
  DWORD bytes = MAX_PATH * sizeof(WCHAR);
  const LONG rc = RegQueryValueExW(key, TEXT("QTSysDir"), nullptr, nullptr, reinterpret_cast<BYTE *>(value), &bytes);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? std::basic_string<WCHAR>(value) : std::basic_string<WCHAR>();
}

// Whether the installer put this tool's copy in place: it registers the
// runtime itself (or keeps one that was registered before), and a tool run
// later must not write the machine's registry behind its back.
bool Installed() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstallKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  const LONG rc = RegQueryValueExW(key, TEXT("InstallFolder"), nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

// "<folder of the executable>/../QuickTime/", or empty.
std::basic_string<WCHAR> DefaultQuickTimeFolder() {
  std::vector<WCHAR> path(4096);
  const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return {};
  std::basic_string<WCHAR> exe(path.data(), n);
  const size_t cut = exe.find_last_of(TEXT("\\/"));
  if (cut == std::basic_string<WCHAR>::npos) return {};
  const WCHAR separator = exe[cut];
  std::basic_string<WCHAR> folder = exe.substr(0, cut + 1);
  folder += TEXT("..");
  folder += separator;
  folder += TEXT("QuickTime");
  folder += separator;
  return folder;
}

}  // namespace

std::string EnsureQuickTimeRegistered() {
  std::basic_string<WCHAR> current = ReadQTSysDir();
  if (!current.empty()) return ToUtf8(current.c_str(), static_cast<int>(current.size()));
  if (Installed()) return {};
  const std::basic_string<WCHAR> folder = DefaultQuickTimeFolder();
  if (folder.empty()) return {};
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kQuickTimeKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return {};
  }
  const LONG rc = RegSetValueExW(key, TEXT("QTSysDir"), 0, REG_SZ, reinterpret_cast<const BYTE *>(folder.c_str()),
                                 static_cast<DWORD>((folder.size() + 1) * sizeof(WCHAR)));
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return {};
  return ToUtf8(folder.c_str(), static_cast<int>(folder.size()));
}

bool SendTraceToStandardError() {
  SetEnvironmentVariableA("QUILLTRACE_FILE", "stderr");
  HMODULE library = GetModuleHandleW(TEXT("quilltrace.dll"));
  if (library == nullptr) return false;
  auto configure = reinterpret_cast<void (*)()>(GetProcAddress(library, "QuillTraceConfigure"));
  if (configure == nullptr) return false;
  configure();
  return true;
}

}  // namespace tidepool
