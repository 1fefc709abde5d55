// GetEnvironmentVariableW/A and SetEnvironmentVariableW/A over the process
// environment, with Windows' size conventions.
#include "win32/Environment.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "win32/CodePage.h"

namespace tp::win32 {
namespace {

std::mutex &EnvironmentMutex() {
  static auto *m = new std::mutex;  // leaf lock: see Environment.h; never destroyed
  return *m;
}

// The environment cannot hold a name with "=" or an empty name.
bool IsUsableName(const std::string &name) { return !name.empty() && name.find('=') == std::string::npos; }

// Copies `value` (without terminator, `length` units) with Windows' result:
// the length without terminator when it fits, else the size needed with it.
template <class Unit>
DWORD DeliverValue(const Unit *value, size_t length, Unit *buffer, DWORD size) {
  if (length + 1 > size || !buffer) {
    if (length + 1 > 0xFFFFFFFFu) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    return static_cast<DWORD>(length + 1);
  }
  std::memcpy(buffer, value, length * sizeof(Unit));
  buffer[length] = 0;
  if (length == 0) SetLastError(ERROR_SUCCESS);  // set but empty, told apart from a failure
  return static_cast<DWORD>(length);
}

}  // namespace

std::optional<std::string> ReadEnvironment(const char *name) {
  std::lock_guard lock(EnvironmentMutex());
  const char *v = std::getenv(name);
  if (!v) return std::nullopt;
  return std::string(v);
}

namespace {

BOOL WriteEnvironment(const std::string &name, const std::optional<std::string> &value) {
  if (!IsUsableName(name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard lock(EnvironmentMutex());
  const int rc = value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  if (rc != 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return TRUE;
}

}  // namespace
}  // namespace tp::win32

using tp::win32::ReadEnvironment;

EXTERN_C DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::string name = tp::win32::Utf16ToUtf8(tp::win32::WideView(lpName));
  std::optional<std::string> value;
  if (!name.empty() && name.find('=') == std::string::npos) value = ReadEnvironment(name.c_str());
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  const std::u16string wide = tp::win32::Utf8ToUtf16(*value);
  return tp::win32::DeliverValue(wide.data(), wide.size(), lpBuffer, nSize);
}

EXTERN_C DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::optional<std::string> value;
  if (*lpName && !std::strchr(lpName, '=')) value = ReadEnvironment(lpName);
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  return tp::win32::DeliverValue(value->data(), value->size(), lpBuffer, nSize);
}

EXTERN_C BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::optional<std::string> value;
  if (lpValue) value = tp::win32::Utf16ToUtf8(tp::win32::WideView(lpValue));
  return tp::win32::WriteEnvironment(tp::win32::Utf16ToUtf8(tp::win32::WideView(lpName)), value);
}

EXTERN_C BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::optional<std::string> value;
  if (lpValue) value = std::string(lpValue);
  return tp::win32::WriteEnvironment(lpName, value);
}
