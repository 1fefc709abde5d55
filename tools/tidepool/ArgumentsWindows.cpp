#include <windows.h>
#include <shellapi.h>

#include "Arguments.h"

namespace tidepool {

std::vector<std::string> Utf8Arguments(int argc, char **argv) {
  int count = 0;
  LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? static_cast<size_t>(bytes) : 1, '\0');
    if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), bytes, nullptr, nullptr);
    text.resize(text.size() - 1);
    out.push_back(std::move(text));
  }
  LocalFree(wide);
  return out;
}

}  // namespace tidepool
