// Dynamic libraries and module queries over the dynamic linker: LoadLibrary,
// FreeLibrary, GetProcAddress, GetModuleHandle(Ex), GetModuleFileName, and
// the module entry (an exported DllMain) at first load and last release.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "win32/ModuleTable.h"
#include "win32/Utf16.h"

using tp::win32::ModuleRecord;
using tp::win32::ModuleTable;

namespace {

HMODULE toHandle(ModuleRecord *record) { return reinterpret_cast<HMODULE>(record); }

typedef BOOL(WINAPI *DllEntryFn)(HINSTANCE, DWORD, LPVOID);

// The loader lock: serialises module entry calls and guards
// ModuleRecord::attached. Recursive, because an entry may itself call
// LoadLibrary or FreeLibrary. Lock order: it is taken only for modules that
// export an entry, never while the table lock is held and never across our
// own dlopen or dlclose (module constructors run inside the dynamic linker's
// lock and call LoadLibrary).
std::recursive_mutex &loaderLock() {
  static std::recursive_mutex *lock = new std::recursive_mutex;  // never destroyed: used from exit handlers
  return *lock;
}

DllEntryFn entryOf(ModuleRecord *record) {
  if (record->pseudo != nullptr || record->executable) return nullptr;
  return reinterpret_cast<DllEntryFn>(ModuleTable::instance().symbol(record, "DllMain"));
}

// Calls the entry with DLL_PROCESS_ATTACH unless it already ran. A module
// whose entry refuses is told DLL_PROCESS_DETACH at once, as on Windows; the
// caller then drops its reference.
bool attachModule(ModuleRecord *record) {
  DllEntryFn entry = entryOf(record);
  if (entry == nullptr) return true;
  std::lock_guard<std::recursive_mutex> lock(loaderLock());
  if (record->attached) return true;
  record->attached = true;  // set first: a LoadLibrary of itself from the entry must not re-enter it
  if (entry(toHandle(record), DLL_PROCESS_ATTACH, nullptr)) return true;
  entry(toHandle(record), DLL_PROCESS_DETACH, nullptr);
  record->attached = false;
  return false;
}

// Before FreeLibrary drops the last reference of ours: DLL_PROCESS_DETACH.
// A LoadLibrary racing with it adds its reference first (and then finds the
// module detached and attaches it again) or after (and sees no reference
// count of 1 here).
void detachBeforeLastRelease(ModuleRecord *record) {
  DllEntryFn entry = entryOf(record);
  if (entry == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(loaderLock());
  if (!record->attached || ModuleTable::instance().refs(record) != 1) return;
  record->attached = false;
  entry(toHandle(record), DLL_PROCESS_DETACH, nullptr);
}

// Takes the entry's answer for a reference the caller just took.
HMODULE attachedOrReleased(ModuleRecord *record) {
  if (attachModule(record)) return toHandle(record);
  ModuleTable::instance().release(record);
  SetLastError(ERROR_DLL_INIT_FAILED);
  return nullptr;
}

bool fileExists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

std::string directoryOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Where a bare file name is looked for, in order: the executable's folder, the
// current folder, then each folder of the process's search path.
std::vector<std::string> searchFolders() {
  std::vector<std::string> folders{directoryOf(tp::win32::executablePath()), "."};
  for (const char *variable : {"Path", "PATH"}) {
    const char *value = std::getenv(variable);
    if (value == nullptr) continue;
    const std::string list = tp::win32::toNativePath(value);
    // Windows-style lists use ";"; native ones ":".
    const char separator = list.find(';') != std::string::npos ? ';' : ':';
    size_t i = 0;
    while (i <= list.size()) {
      size_t j = list.find(separator, i);
      if (j == std::string::npos) j = list.size();
      if (j > i) folders.push_back(list.substr(i, j - i));
      i = j + 1;
    }
  }
  return folders;
}

HMODULE loadLibrary(const std::string &rawName) {
  ModuleTable &table = ModuleTable::instance();
  std::string name = tp::win32::toNativePath(rawName);
  if (name.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  const bool hasDirectory = name.find('/') != std::string::npos;
  const std::string base = hasDirectory ? name.substr(name.rfind('/') + 1) : name;
  if (base.find('.') == std::string::npos) name += ".dll";

  if (!hasDirectory) {
    // A module of that name that is already loaded is used as it is.
    if (ModuleRecord *record = table.findByName(name)) {
      if (!table.addRef(record, false)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
      }
      return attachedOrReleased(record);
    }
  }

  std::string path;
  if (hasDirectory) {
    if (fileExists(name)) path = tp::win32::absolutePath(name);
  } else {
    for (const std::string &folder : searchFolders()) {
      const std::string candidate = folder + "/" + name;
      if (fileExists(candidate)) {
        path = tp::win32::absolutePath(candidate);
        break;
      }
    }
  }
  if (path.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }

  void *handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char *why = ::dlerror();
    // A missing dependency is "module not found" on Windows too.
    SetLastError(why != nullptr && std::strstr(why, "cannot open shared object") != nullptr ? ERROR_MOD_NOT_FOUND
                                                                                            : ERROR_BAD_FORMAT);
    return nullptr;
  }
  std::optional<tp::win32::ObjectInfo> object = tp::win32::objectOfHandle(handle);
  ModuleRecord *record =
      object ? table.recordFor(*object, object->executable ? tp::win32::executablePath() : path) : nullptr;
  if (record == nullptr) {
    ::dlclose(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  table.adoptRef(record, handle);
  return attachedOrReleased(record);
}

BOOL getModuleHandleEx(DWORD flags, const void *nameOrAddress, bool wide, HMODULE *out) {
  if (out == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *out = nullptr;
  constexpr DWORD kKnown = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                           GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
  const bool pin = (flags & GET_MODULE_HANDLE_EX_FLAG_PIN) != 0;
  const bool unchanged = (flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) != 0;
  if ((flags & ~kKnown) != 0 || (pin && unchanged)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }

  ModuleTable &table = ModuleTable::instance();
  ModuleRecord *record = nullptr;
  if ((flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0) {
    std::optional<tp::win32::ObjectInfo> object = tp::win32::objectAt(nameOrAddress);
    if (object) record = table.recordFor(*object, tp::win32::displayPath(*object));
  } else if (nameOrAddress == nullptr) {
    record = table.executable();
  } else {
    const std::string name = wide ? tp::win32::utf16ToUtf8(static_cast<const WCHAR *>(nameOrAddress))
                                  : std::string(static_cast<const char *>(nameOrAddress));
    record = table.findByName(name);
  }
  if (record == nullptr || (!unchanged && !table.addRef(record, pin))) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  *out = toHandle(record);
  return TRUE;
}

template <class Char>
DWORD copyFileName(const std::basic_string<Char> &path, Char *buffer, DWORD size) {
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (path.size() >= size) {
    // As Windows: the truncated text, terminated, and the buffer size.
    std::memcpy(buffer, path.data(), (size - 1) * sizeof(Char));
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path.data(), path.size() * sizeof(Char));
  buffer[path.size()] = 0;
  return static_cast<DWORD>(path.size());
}

ModuleRecord *recordOrExecutable(HMODULE module) {
  ModuleTable &table = ModuleTable::instance();
  ModuleRecord *record = module == nullptr ? table.executable() : table.lookup(module);
  if (record == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
  return record;
}

std::string fileNameOf(const ModuleRecord &record) {
  if (record.pseudo == nullptr) return record.path;
  // A system module's file is this library.
  std::optional<tp::win32::ObjectInfo> self = tp::win32::objectAt(reinterpret_cast<const void *>(&toHandle));
  return self ? tp::win32::displayPath(*self) : std::string();
}

}  // namespace

EXTERN_C HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  if (lpLibFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return loadLibrary(tp::win32::utf16ToUtf8(lpLibFileName));
}

EXTERN_C HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return loadLibrary(lpLibFileName);
}

EXTERN_C BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  ModuleRecord *record = ModuleTable::instance().lookup(hLibModule);
  if (record == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  detachBeforeLastRelease(record);
  if (!ModuleTable::instance().release(record)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

EXTERN_C FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  ModuleRecord *record = recordOrExecutable(hModule);
  if (record == nullptr) return nullptr;
  // Names only: a value below 64K is an ordinal, which shared objects lack.
  if (reinterpret_cast<std::uintptr_t>(lpProcName) < 0x10000) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void *symbol = ModuleTable::instance().symbol(record, lpProcName);
  if (symbol == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

EXTERN_C BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE *phModule) {
  return getModuleHandleEx(dwFlags, lpModuleName, true, phModule);
}

EXTERN_C BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE *phModule) {
  return getModuleHandleEx(dwFlags, lpModuleName, false, phModule);
}

EXTERN_C HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  HMODULE module = nullptr;
  getModuleHandleEx(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, lpModuleName, true, &module);
  return module;
}

EXTERN_C HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  HMODULE module = nullptr;
  getModuleHandleEx(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, lpModuleName, false, &module);
  return module;
}

EXTERN_C DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  ModuleRecord *record = recordOrExecutable(hModule);
  if (record == nullptr) return 0;
  return copyFileName(tp::win32::utf8ToUtf16(fileNameOf(*record)), lpFilename, nSize);
}

EXTERN_C DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  ModuleRecord *record = recordOrExecutable(hModule);
  if (record == nullptr) return 0;
  return copyFileName(fileNameOf(*record), lpFilename, nSize);
}

EXTERN_C BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
  // Thread notifications are never sent, so there is nothing to turn off.
  if (ModuleTable::instance().lookup(hLibModule) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
