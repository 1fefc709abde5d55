// qtinstall: writes (or removes) the registry entries that name the folder of
// the QuickTime-style runtime, under HKEY_LOCAL_MACHINE\SOFTWARE\Apple
// Computer, Inc.\QuickTime: "QTSysDir" and "QuickTime.qts folder", both the
// folder with a trailing separator, because readers append file names to it
// directly.
//
//   qtinstall [folder]     folder defaults to ../QuickTime beside this program
//   qtinstall --remove     deletes both values
//
// The folder must hold "QuickTime.qts". Exit status 0 on success, 1 on a
// usage error or a missing runtime, 2 when the registry refuses the change.
#include <windows.h>
#include <winreg.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

constexpr const char16_t *kKeyPath = u"SOFTWARE\\Apple Computer, Inc.\\QuickTime";
constexpr const char16_t *kValueNames[] = {u"QTSysDir", u"QuickTime.qts folder"};

std::u16string Widen(const std::string &utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::u16string wide(size_t(n > 0 ? n : 0), u'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), reinterpret_cast<LPWSTR>(wide.data()), n);
  return wide;
}

std::filesystem::path DefaultFolder(const char *argv0) {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) self = std::filesystem::absolute(argv0, ec);
  return self.parent_path().parent_path() / "QuickTime";
}

int Remove() {
  HKEY key = nullptr;
  LSTATUS s = RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(kKeyPath), 0, KEY_SET_VALUE, &key);
  if (s == ERROR_FILE_NOT_FOUND) return 0;
  if (s != ERROR_SUCCESS) {
    std::fprintf(stderr, "qtinstall: cannot open the QuickTime key (%ld)\n", long(s));
    return 2;
  }
  int status = 0;
  for (const char16_t *name : kValueNames) {
    s = RegDeleteValueW(key, reinterpret_cast<LPCWSTR>(name));
    if (s != ERROR_SUCCESS && s != ERROR_FILE_NOT_FOUND) status = 2;
  }
  RegCloseKey(key);
  return status;
}

int Install(std::filesystem::path folder) {
  std::error_code ec;
  folder = std::filesystem::weakly_canonical(folder, ec);
  if (ec || !std::filesystem::is_regular_file(folder / "QuickTime.qts", ec)) {
    std::fprintf(stderr, "qtinstall: no QuickTime.qts in %s\n", folder.string().c_str());
    return 1;
  }
  std::string text = folder.string();
  if (text.empty() || (text.back() != '/' && text.back() != '\\')) text += '/';
  std::u16string wide = Widen(text);
  HKEY key = nullptr;
  LSTATUS s = RegCreateKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(kKeyPath), 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key, nullptr);
  if (s != ERROR_SUCCESS) {
    std::fprintf(stderr, "qtinstall: cannot create the QuickTime key (%ld)\n", long(s));
    return 2;
  }
  int status = 0;
  for (const char16_t *name : kValueNames) {
    s = RegSetValueExW(key, reinterpret_cast<LPCWSTR>(name), 0, REG_SZ, reinterpret_cast<const BYTE *>(wide.c_str()),
                       DWORD((wide.size() + 1) * sizeof(char16_t)));
    if (s != ERROR_SUCCESS) {
      std::fprintf(stderr, "qtinstall: cannot write a value (%ld)\n", long(s));
      status = 2;
    }
  }
  RegCloseKey(key);
  if (status == 0) std::printf("QTSysDir = %s\n", text.c_str());
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 2 || (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0))) {
    std::fprintf(stderr, "usage: qtinstall [folder | --remove]\n");
    return 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "--remove") == 0) return Remove();
  return Install(argc == 2 ? std::filesystem::path(argv[1]) : DefaultFolder(argv[0]));
}
