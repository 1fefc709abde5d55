// regstress <id> <milliseconds>: writes and deletes registry keys of its own
// (HKEY_CURRENT_USER\Software\TidepoolStress\P<id>\K0..K7) and one value of
// its own under ...\Shared, at random, until the time is up. Then prints
// what it last did to each, one line per key ("K3 1234", or "K3 -1" when
// deleted), plus "shared <n>" and "ops <n>". Exits 1 on any unexpected
// registry result.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::u16string Number(long long n) {
  std::string s = std::to_string(n);
  return std::u16string(s.begin(), s.end());
}

bool SetDword(HKEY key, const std::u16string &name, DWORD v) {
  return RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&v), 4) == ERROR_SUCCESS;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: regstress <id> <milliseconds>\n");
    return 2;
  }
  const int id = std::atoi(argv[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atol(argv[2]));
  const std::u16string base = u"Software\\TidepoolStress\\P" + Number(id);
  const std::u16string shared = u"Software\\TidepoolStress\\Shared";
  long long last[8];
  for (auto &l : last) l = -1;
  long long sharedLast = -1;
  unsigned state = 2463534242u + static_cast<unsigned>(id) * 7919u;
  long long ops = 0;
  for (long long i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    const int k = static_cast<int>(state % 8);
    const std::u16string path = base + u"\\K" + Number(k);
    if ((state >> 8) % 4 != 0) {
      HKEY key = nullptr;
      if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
          ERROR_SUCCESS) {
        std::fprintf(stderr, "create failed\n");
        return 1;
      }
      const std::u16string text = u"p" + Number(id) + u"-" + Number(i);
      const bool ok = SetDword(key, u"n", static_cast<DWORD>(i)) &&
                      RegSetValueExW(key, u"s", 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                                     static_cast<DWORD>((text.size() + 1) * 2)) == ERROR_SUCCESS;
      RegCloseKey(key);
      if (!ok) {
        std::fprintf(stderr, "set failed\n");
        return 1;
      }
      last[k] = i;
    } else {
      const LONG rc = RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
      if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        std::fprintf(stderr, "delete failed %d\n", static_cast<int>(rc));
        return 1;
      }
      last[k] = -1;
    }
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, shared.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
            ERROR_SUCCESS ||
        !SetDword(key, u"P" + Number(id), static_cast<DWORD>(i))) {
      std::fprintf(stderr, "shared failed\n");
      return 1;
    }
    RegCloseKey(key);
    sharedLast = i;
    ops = i + 1;
  }
  for (int k = 0; k < 8; ++k) std::printf("K%d %lld\n", k, last[k]);
  std::printf("shared %lld\nops %lld\n", sharedLast, ops);
  return 0;
}
