// GetSystemDirectoryA/W: the folder named by the environment variable
// TP_SYSTEM_DIR, else "/usr/lib". Windows' return conventions: the length
// without terminator on success; the size needed, terminator included, when
// the buffer is too small (nothing is written then).
#include <windows.h>

#include <cstring>
#include <string>

#include "win32/CodePage.h"
#include "win32/Environment.h"

namespace {

std::string SystemDirectory() {
  auto dir = tp::win32::ReadEnvironment("TP_SYSTEM_DIR");
  return dir && !dir->empty() ? *dir : std::string("/usr/lib");
}

template <class Unit>
UINT Deliver(const std::basic_string<Unit> &text, Unit *buffer, UINT size) {
  if (text.size() + 1 > 0xFFFFFFFFu) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  if (!buffer || size < text.size() + 1) return static_cast<UINT>(text.size() + 1);
  std::memcpy(buffer, text.data(), text.size() * sizeof(Unit));
  buffer[text.size()] = 0;
  return static_cast<UINT>(text.size());
}

}  // namespace

EXTERN_C UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  return Deliver(SystemDirectory(), lpBuffer, uSize);
}

EXTERN_C UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  return Deliver(tp::win32::Utf8ToUtf16(SystemDirectory()), lpBuffer, uSize);
}
