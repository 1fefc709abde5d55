// advapi32's registry functions over the file store (RegistryStore).
//
// An HKEY is either one of the predefined roots or a pointer to an OpenKey
// record, which names a key by its full path. The record is checked against
// the table of open records before use, so a stale or made-up handle gives
// ERROR_INVALID_HANDLE instead of a crash. When the key behind an open
// handle has been deleted (by this or another process), operations on the
// handle fail with ERROR_KEY_DELETED; if a key of the same path is created
// again, the handle reaches the new key.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <unordered_set>

#include "win32/CodePage.h"
#include "win32/RegistryStore.h"
#include "win32/RegistryTree.h"

namespace tp::win32 {
namespace {

struct OpenKey {
  std::u16string path;
};

// Never destroyed: handles may be closed by other modules' destructors
// while the process exits.
std::mutex &HandleMutex() {
  static auto *m = new std::mutex;  // leaf lock: guards HandleTable() only
  return *m;
}
std::unordered_set<OpenKey *> &HandleTable() {
  static auto *table = new std::unordered_set<OpenKey *>;
  return *table;
}

std::u16string_view PredefinedRoot(HKEY key) {
  switch (reinterpret_cast<ULONG_PTR>(key)) {
    case static_cast<ULONG_PTR>(static_cast<LONG>(0x80000000)):
      return u"HKEY_CLASSES_ROOT";
    case static_cast<ULONG_PTR>(static_cast<LONG>(0x80000001)):
      return u"HKEY_CURRENT_USER";
    case static_cast<ULONG_PTR>(static_cast<LONG>(0x80000002)):
      return u"HKEY_LOCAL_MACHINE";
    case static_cast<ULONG_PTR>(static_cast<LONG>(0x80000003)):
      return u"HKEY_USERS";
    case static_cast<ULONG_PTR>(static_cast<LONG>(0x80000005)):
      return u"HKEY_CURRENT_CONFIG";
    default:
      return {};
  }
}

// The full path of the key behind `key`, or nothing for an invalid handle.
std::optional<std::u16string> PathOf(HKEY key) {
  if (auto root = PredefinedRoot(key); !root.empty()) return std::u16string(root);
  std::lock_guard lock(HandleMutex());
  auto *record = reinterpret_cast<OpenKey *>(key);
  if (!HandleTable().count(record)) return std::nullopt;
  return record->path;
}

LONG NewHandle(std::u16string path, PHKEY result) {
  auto *record = new (std::nothrow) OpenKey{std::move(path)};
  if (!record) return ERROR_NOT_ENOUGH_MEMORY;
  std::lock_guard lock(HandleMutex());
  HandleTable().insert(record);
  *result = reinterpret_cast<HKEY>(record);
  return ERROR_SUCCESS;
}

// Joins a subkey path to a base path: trailing "\" is allowed, a leading or
// doubled one is not, nor a name the store cannot hold.
LONG JoinPath(const std::u16string &base, std::u16string_view sub, std::u16string &out) {
  out = base;
  if (!sub.empty() && sub.back() == u'\\') sub.remove_suffix(1);
  if (sub.empty()) return ERROR_SUCCESS;
  size_t start = 0;
  while (true) {
    const size_t end = sub.find(u'\\', start);
    std::u16string_view name = sub.substr(start, end == std::u16string_view::npos ? end : end - start);
    if (name.empty()) return ERROR_BAD_PATHNAME;
    if (!RegistryTree::IsValidKeyName(name)) return ERROR_INVALID_PARAMETER;
    out += u"\\";
    out += name;
    if (end == std::u16string_view::npos) return ERROR_SUCCESS;
    start = end + 1;
  }
}

bool IsRootPath(std::u16string_view path) { return path.find(u'\\') == std::u16string_view::npos; }

// Resolves handle + subkey to a full path.
LONG Resolve(HKEY key, LPCWSTR subKey, std::u16string &path) {
  auto base = PathOf(key);
  if (!base) return ERROR_INVALID_HANDLE;
  return JoinPath(*base, WideView(subKey), path);
}

// The key for an operation on an open handle: not found because the key was
// deleted under the handle is ERROR_KEY_DELETED.
LONG KeyOfHandle(const RegistryTree &tree, const std::u16string &path, const RegistryKey *&key) {
  key = tree.Find(path);
  return key ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

std::vector<BYTE> Bytes(const void *data, size_t size) {
  const auto *p = static_cast<const BYTE *>(data);
  return std::vector<BYTE>(p, p + size);
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Hands value data to a caller with RegQueryValueEx's conventions.
LONG DeliverData(DWORD type, const std::vector<BYTE> &data, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpType) *lpType = type;
  if (!lpcbData) return ERROR_SUCCESS;
  const DWORD size = static_cast<DWORD>(data.size());
  if (!lpData) {
    *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (size) std::memcpy(lpData, data.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LONG QueryValue(HKEY hKey, std::u16string_view name, DWORD &type, std::vector<BYTE> &data) {
  auto path = PathOf(hKey);
  if (!path) return ERROR_INVALID_HANDLE;
  return RegistryStore::Read([&](const RegistryTree &tree) {
    const RegistryKey *key = nullptr;
    if (LONG rc = KeyOfHandle(tree, *path, key); rc != ERROR_SUCCESS) return rc;
    const RegistryValue *value = RegistryTree::FindValue(*key, name);
    if (!value) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    type = value->type;
    data = value->data;
    return static_cast<LONG>(ERROR_SUCCESS);
  });
}

LONG SetValue(HKEY hKey, std::u16string_view name, DWORD type, std::vector<BYTE> data) {
  if (!RegistryTree::IsValidValueName(name) || data.size() > RegistryTree::kMaxValueBytes)
    return ERROR_INVALID_PARAMETER;
  auto path = PathOf(hKey);
  if (!path) return ERROR_INVALID_HANDLE;
  return RegistryStore::Modify([&](RegistryTree &tree, bool &changed) {
    RegistryKey *key = tree.Find(*path);
    if (!key) return static_cast<LONG>(ERROR_KEY_DELETED);
    RegistryTree::SetValue(*key, name, type, std::move(data));
    changed = true;
    return static_cast<LONG>(ERROR_SUCCESS);
  });
}

std::vector<BYTE> Utf16Bytes(std::u16string_view text) {
  std::vector<BYTE> out(text.size() * 2);
  for (size_t i = 0; i < text.size(); ++i) {
    out[2 * i] = static_cast<BYTE>(text[i] & 0xFF);
    out[2 * i + 1] = static_cast<BYTE>(text[i] >> 8);
  }
  return out;
}

std::u16string Utf16Text(const std::vector<BYTE> &data) {
  std::u16string out(data.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  return out;
}

// Copies a name into a caller's buffer of *count characters (terminator
// included); on success *count is the length without the terminator.
LONG DeliverName(const std::u16string &name, LPWSTR buffer, LPDWORD count) {
  if (!buffer || !count) return ERROR_INVALID_PARAMETER;
  if (*count <= name.size()) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.data(), name.size() * sizeof(char16_t));
  buffer[name.size()] = 0;
  *count = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

LONG DeleteKey(HKEY hKey, LPCWSTR lpSubKey, bool wholeTree) {
  std::u16string path;
  if (LONG rc = Resolve(hKey, lpSubKey, path); rc != ERROR_SUCCESS) return rc;
  auto base = PathOf(hKey);
  return RegistryStore::Modify([&](RegistryTree &tree, bool &changed) -> LONG {
    if (!tree.Find(*base)) return ERROR_KEY_DELETED;
    if (!tree.Find(path)) return ERROR_FILE_NOT_FOUND;
    if (IsRootPath(path)) return ERROR_ACCESS_DENIED;
    if (!wholeTree && tree.HasSubkeys(path)) return ERROR_ACCESS_DENIED;
    tree.EraseTree(path);
    changed = true;
    return ERROR_SUCCESS;
  });
}

}  // namespace
}  // namespace tp::win32

using namespace tp::win32;

EXTERN_C LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (!PredefinedRoot(hKey).empty()) return ERROR_SUCCESS;
  auto *record = reinterpret_cast<OpenKey *>(hKey);
  {
    std::lock_guard lock(HandleMutex());
    if (!HandleTable().erase(record)) return ERROR_INVALID_HANDLE;
  }
  delete record;
  return ERROR_SUCCESS;
}

EXTERN_C LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                      PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  std::u16string path;
  if (LONG rc = Resolve(hKey, lpSubKey, path); rc != ERROR_SUCCESS) return rc;
  auto base = PathOf(hKey);
  std::u16string found;
  LONG rc = RegistryStore::Read([&](const RegistryTree &tree) -> LONG {
    if (!tree.Find(*base)) return ERROR_KEY_DELETED;
    const RegistryKey *key = tree.Find(path);
    if (!key) return ERROR_FILE_NOT_FOUND;
    found = key->path;
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  return NewHandle(std::move(found), phkResult);
}

EXTERN_C LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  const std::u16string sub = Utf8ToUtf16(lpSubKey ? lpSubKey : "");
  return RegOpenKeyExW(hKey, lpSubKey ? sub.c_str() : nullptr, ulOptions, samDesired, phkResult);
}

EXTERN_C LSTATUS WINAPI RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  if (!lpSubKey || !*lpSubKey) {
    // The old call hands back the same handle for an empty subkey.
    if (!PathOf(hKey)) return ERROR_INVALID_HANDLE;
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  return RegOpenKeyExW(hKey, lpSubKey, 0, MAXIMUM_ALLOWED, phkResult);
}

EXTERN_C LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                        REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                        LPDWORD lpdwDisposition) {
  if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  std::u16string path;
  if (LONG rc = Resolve(hKey, lpSubKey, path); rc != ERROR_SUCCESS) return rc;
  auto base = PathOf(hKey);
  std::u16string found;
  bool created = false;
  LONG rc = RegistryStore::Modify([&](RegistryTree &tree, bool &changed) -> LONG {
    if (!tree.Find(*base)) return ERROR_KEY_DELETED;
    RegistryKey *key = tree.Create(path, &created);
    if (!key) return ERROR_INVALID_PARAMETER;
    found = key->path;
    changed = created;
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return NewHandle(std::move(found), phkResult);
}

EXTERN_C LSTATUS WINAPI RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  if (!lpSubKey || !*lpSubKey) {
    if (!PathOf(hKey)) return ERROR_INVALID_HANDLE;
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  return RegCreateKeyExW(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED, nullptr, phkResult,
                         nullptr);
}

EXTERN_C LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                         LPBYTE lpData, LPDWORD lpcbData) {
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  DWORD type = 0;
  std::vector<BYTE> data;
  if (LONG rc = QueryValue(hKey, WideView(lpValueName), type, data); rc != ERROR_SUCCESS) return rc;
  return DeliverData(type, data, lpType, lpData, lpcbData);
}

EXTERN_C LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                         LPBYTE lpData, LPDWORD lpcbData) {
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  DWORD type = 0;
  std::vector<BYTE> data;
  const std::u16string name = Utf8ToUtf16(lpValueName ? lpValueName : "");
  if (LONG rc = QueryValue(hKey, name, type, data); rc != ERROR_SUCCESS) return rc;
  if (IsStringType(type)) {
    // Strings reach the narrow caller in the ANSI code page (UTF-8).
    const std::string narrow = Utf16ToUtf8(Utf16Text(data));
    data = Bytes(narrow.data(), narrow.size());
  }
  return DeliverData(type, data, lpType, lpData, lpcbData);
}

EXTERN_C LSTATUS WINAPI RegQueryValueW(HKEY hKey, LPCWSTR lpSubKey, LPWSTR lpData, PLONG lpcbData) {
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  HKEY key = hKey;
  bool opened = false;
  if (lpSubKey && *lpSubKey) {
    if (LONG rc = RegOpenKeyExW(hKey, lpSubKey, 0, KEY_QUERY_VALUE, &key); rc != ERROR_SUCCESS) return rc;
    opened = true;
  }
  DWORD type = 0;
  std::vector<BYTE> data;
  LONG rc = QueryValue(key, u"", type, data);
  if (opened) RegCloseKey(key);
  // The old call answers an unset default value with an empty string.
  if (rc == ERROR_FILE_NOT_FOUND) {
    data.assign(2, 0);
    rc = ERROR_SUCCESS;
  }
  if (rc != ERROR_SUCCESS) return rc;
  if (!lpcbData) return ERROR_SUCCESS;
  if (*lpcbData < 0) return ERROR_INVALID_PARAMETER;
  DWORD size = static_cast<DWORD>(*lpcbData);
  rc = DeliverData(REG_SZ, data, nullptr, reinterpret_cast<LPBYTE>(lpData), &size);
  *lpcbData = static_cast<LONG>(size);
  return rc;
}

EXTERN_C LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                                       DWORD cbData) {
  if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
  return SetValue(hKey, WideView(lpValueName), dwType, Bytes(lpData, lpData ? cbData : 0));
}

EXTERN_C LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                                       DWORD cbData) {
  if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
  std::vector<BYTE> data = Bytes(lpData, lpData ? cbData : 0);
  if (IsStringType(dwType))
    data = Utf16Bytes(Utf8ToUtf16(std::string_view(reinterpret_cast<const char *>(data.data()), data.size())));
  return SetValue(hKey, Utf8ToUtf16(lpValueName ? lpValueName : ""), dwType, std::move(data));
}

EXTERN_C LSTATUS WINAPI RegSetValueW(HKEY hKey, LPCWSTR lpSubKey, DWORD dwType, LPCWSTR lpData, DWORD cbData) {
  if (dwType != REG_SZ || !lpData) return ERROR_INVALID_PARAMETER;
  HKEY key = hKey;
  bool opened = false;
  if (lpSubKey && *lpSubKey) {
    if (LONG rc = RegCreateKeyExW(hKey, lpSubKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
        rc != ERROR_SUCCESS)
      return rc;
    opened = true;
  }
  // The length comes from the string itself, terminator included.
  std::vector<BYTE> data = Utf16Bytes(WideView(lpData));
  data.push_back(0);
  data.push_back(0);
  LONG rc = SetValue(key, u"", REG_SZ, std::move(data));
  if (opened) RegCloseKey(key);
  return rc;
}

EXTERN_C LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  return DeleteKey(hKey, lpSubKey, false);
}

EXTERN_C LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  if (lpSubKey && *lpSubKey) return DeleteKey(hKey, lpSubKey, true);
  // No subkey: everything below the key and its values go, the key stays.
  auto path = PathOf(hKey);
  if (!path) return ERROR_INVALID_HANDLE;
  return RegistryStore::Modify([&](RegistryTree &tree, bool &changed) -> LONG {
    RegistryKey *key = tree.Find(*path);
    if (!key) return ERROR_KEY_DELETED;
    for (const auto &child : tree.Subkeys(*path)) tree.EraseTree(*path + u"\\" + child);
    key = tree.Find(*path);
    key->values.clear();
    changed = true;
    return ERROR_SUCCESS;
  });
}

EXTERN_C LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  auto path = PathOf(hKey);
  if (!path) return ERROR_INVALID_HANDLE;
  const std::u16string_view name = WideView(lpValueName);
  return RegistryStore::Modify([&](RegistryTree &tree, bool &changed) -> LONG {
    RegistryKey *key = tree.Find(*path);
    if (!key) return ERROR_KEY_DELETED;
    if (!RegistryTree::EraseValue(*key, name)) return ERROR_FILE_NOT_FOUND;
    changed = true;
    return ERROR_SUCCESS;
  });
}

EXTERN_C LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                      LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
  auto path = PathOf(hKey);
  if (!path) return ERROR_INVALID_HANDLE;
  std::u16string name;
  LONG rc = RegistryStore::Read([&](const RegistryTree &tree) -> LONG {
    if (!tree.Find(*path)) return ERROR_KEY_DELETED;
    // Subkeys in case-insensitive name order, as the Windows registry keeps them.
    std::vector<std::u16string> names = tree.Subkeys(*path);
    if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
    name = std::move(names[dwIndex]);
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  if (LONG r = DeliverName(name, lpName, lpcchName); r != ERROR_SUCCESS) return r;
  if (lpClass && lpcchClass && *lpcchClass) {
    lpClass[0] = 0;
    *lpcchClass = 0;
  }
  if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{};
  return ERROR_SUCCESS;
}

EXTERN_C LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  auto path = PathOf(hKey);
  if (!path) return ERROR_INVALID_HANDLE;
  RegistryValue value;
  LONG rc = RegistryStore::Read([&](const RegistryTree &tree) -> LONG {
    const RegistryKey *key = nullptr;
    if (LONG r = KeyOfHandle(tree, *path, key); r != ERROR_SUCCESS) return r;
    if (dwIndex >= key->values.size()) return ERROR_NO_MORE_ITEMS;
    value = key->values[dwIndex];
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  if (LONG r = DeliverName(value.name, lpValueName, lpcchValueName); r != ERROR_SUCCESS) return r;
  return DeliverData(value.type, value.data, lpType, lpData, lpcbData);
}
