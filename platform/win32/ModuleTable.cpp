// The loader's module table and the dynamic-linker queries behind it.
#include "win32/ModuleTable.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "win32/Utf16.h"

namespace tp::win32 {

// A system module that exists only as a name and a short export list; its
// functions live in this library.
struct PseudoModule {
  const char *name;
  std::vector<std::string_view> exports;
};

namespace {

const PseudoModule kKernel32{"kernel32.dll",
                             {"GetModuleHandleExW",
                              "GetModuleHandleW",
                              "GetModuleHandleA",
                              "GetModuleFileNameW",
                              "GetModuleFileNameA",
                              "GetProcAddress",
                              "LoadLibraryW",
                              "LoadLibraryA",
                              "FreeLibrary",
                              "VirtualQuery",
                              "OutputDebugStringW",
                              "OutputDebugStringA",
                              "GetLastError",
                              "SetLastError",
                              "GetCurrentProcessId",
                              "GetCurrentThreadId",
                              "GetTickCount",
                              "QueryPerformanceCounter",
                              "QueryPerformanceFrequency",
                              "Sleep",
                              "CloseHandle",
                              "WaitForSingleObject",
                              "CreateEventW",
                              "SetEvent",
                              "ResetEvent",
                              "CreateThread",
                              "CreateMutexA",
                              "CreateMutexW",
                              "ReleaseMutex",
                              "GetEnvironmentVariableW",
                              "SetEnvironmentVariableW",
                              "GetSystemDirectoryA",
                              "GetSystemDirectoryW"}};
const PseudoModule kOle32{"ole32.dll",
                          {"CoInitializeEx", "CoUninitialize", "CoCreateInstance", "CoTaskMemAlloc", "CoTaskMemRealloc",
                           "CoTaskMemFree", "CoFreeUnusedLibraries"}};

bool equalsIgnoreCase(const std::string &a, const std::string &b) {
  if (a.size() == b.size() && a == b) return true;
  const std::u16string wa = utf8ToUtf16(a);
  const std::u16string wb = utf8ToUtf16(b);
  return std::equal(wa.begin(), wa.end(), wb.begin(), wb.end(),
                    [](char16_t x, char16_t y) { return foldCase(x) == foldCase(y); });
}

std::string baseName(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::uintptr_t objectBase(const dl_phdr_info &info) {
  const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  std::uintptr_t lowest = UINTPTR_MAX;
  for (int i = 0; i < info.dlpi_phnum; ++i) {
    if (info.dlpi_phdr[i].p_type == PT_LOAD) lowest = std::min<std::uintptr_t>(lowest, info.dlpi_phdr[i].p_vaddr);
  }
  if (lowest == UINTPTR_MAX) return 0;
  return info.dlpi_addr + (lowest & ~(page - 1));
}

std::uintptr_t executableBase() {
  static const std::uintptr_t base = [] {
    const std::vector<ObjectInfo> objects = loadedObjects();
    return objects.empty() ? std::uintptr_t{0} : objects.front().base;
  }();
  return base;
}

// This library's own dlopen handle, for pseudo-module lookups. Held for the
// life of the process: the library cannot go while its code runs.
void *ownHandle() {
  static void *handle = [] {
    std::optional<ObjectInfo> self = objectAt(reinterpret_cast<const void *>(&executableBase));
    return self ? ::dlopen(self->loaderName.c_str(), RTLD_NOW | RTLD_NOLOAD) : nullptr;
  }();
  return handle;
}

}  // namespace

// ---- helpers -----------------------------------------------------------------

std::vector<ObjectInfo> loadedObjects() {
  std::vector<ObjectInfo> objects;
  ::dl_iterate_phdr(
      [](dl_phdr_info *info, size_t, void *data) {
        auto *out = static_cast<std::vector<ObjectInfo> *>(data);
        const bool first = out->empty();
        const std::uintptr_t base = objectBase(*info);
        const char *name = info->dlpi_name ? info->dlpi_name : "";
        if (base == 0 || (!first && name[0] == 0)) return 0;
        try {
          out->push_back(ObjectInfo{base, first ? std::string() : std::string(name), first});
        } catch (const std::bad_alloc &) {
          return 1;
        }
        return 0;
      },
      &objects);
  return objects;
}

std::optional<ObjectInfo> objectAt(const void *address) {
  Dl_info info{};
  if (address == nullptr || ::dladdr(address, &info) == 0 || info.dli_fbase == nullptr) return std::nullopt;
  ObjectInfo object;
  object.base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  object.executable = object.base == executableBase();
  if (!object.executable && info.dli_fname != nullptr) object.loaderName = info.dli_fname;
  return object;
}

std::optional<ObjectInfo> objectOfHandle(void *dlHandle) {
  link_map *map = nullptr;
  if (dlHandle == nullptr || ::dlinfo(dlHandle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_ld == nullptr)
    return std::nullopt;
  return objectAt(map->l_ld);
}

const std::string &executablePath() {
  static const std::string path = [] {
    std::string buffer(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
  }();
  return path;
}

std::string absolutePath(const std::string &path) {
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) != nullptr) full = std::string(cwd) + "/" + full;
  }
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= full.size()) {
    size_t j = full.find('/', i);
    if (j == std::string::npos) j = full.size();
    const std::string part = full.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out;
  for (const std::string &part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

std::string displayPath(const ObjectInfo &object) {
  return object.executable ? executablePath() : absolutePath(object.loaderName);
}

// ---- table -------------------------------------------------------------------

ModuleTable &ModuleTable::instance() {
  // Never destroyed: modules are queried from exit handlers and late threads.
  static ModuleTable *table = new ModuleTable;
  return *table;
}

ModuleTable::ModuleTable() {
  for (const PseudoModule *p : {&kKernel32, &kOle32}) {
    auto record = std::make_unique<ModuleRecord>();
    record->pseudo = p;
    pseudo_.push_back(std::move(record));
  }
}

ModuleRecord *ModuleTable::insertLocked(const ObjectInfo &object, const std::string &path) {
  auto it = byBase_.find(object.base);
  if (it != byBase_.end()) return it->second;
  try {
    auto record = std::make_unique<ModuleRecord>();
    record->base = object.base;
    record->path = path;
    record->loaderName = object.loaderName;
    record->executable = object.executable;
    records_.reserve(records_.size() + 1);
    ModuleRecord *raw = record.get();
    byBase_.emplace(object.base, raw);
    records_.push_back(std::move(record));
    return raw;
  } catch (const std::bad_alloc &) {
    byBase_.erase(object.base);
    return nullptr;
  }
}

ModuleRecord *ModuleTable::recordFor(const ObjectInfo &object, const std::string &path) {
  std::lock_guard<std::mutex> lock(mutex_);
  return insertLocked(object, path);
}

ModuleRecord *ModuleTable::lookup(HMODULE module) {
  if (module == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto &r : pseudo_) {
    if (reinterpret_cast<HMODULE>(r.get()) == module) return r.get();
  }
  for (const auto &r : records_) {
    if (reinterpret_cast<HMODULE>(r.get()) == module) return r->loaded ? r.get() : nullptr;
  }
  return nullptr;
}

ModuleRecord *ModuleTable::pseudoModule(const std::string &name) {
  for (const auto &r : pseudo_) {
    if (equalsIgnoreCase(name, r->pseudo->name)) return r.get();
  }
  return nullptr;
}

ModuleRecord *ModuleTable::executable() {
  const std::vector<ObjectInfo> objects = loadedObjects();
  if (objects.empty()) return nullptr;
  return recordFor(objects.front(), executablePath());
}

ModuleRecord *ModuleTable::findByName(const std::string &rawName) {
  std::string name = toNativePath(rawName);
  const bool hasDirectory = name.find('/') != std::string::npos;
  if (baseName(name).find('.') == std::string::npos) name += ".dll";
  if (!hasDirectory) {
    if (ModuleRecord *p = pseudoModule(name)) return p;
  }
  const std::string wanted = hasDirectory ? absolutePath(name) : name;
  auto matches = [&](const std::string &path) {
    return equalsIgnoreCase(hasDirectory ? path : baseName(path), wanted);
  };

  const std::vector<ObjectInfo> objects = loadedObjects();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const ObjectInfo &object : objects) {
    auto it = byBase_.find(object.base);
    const std::string path = it != byBase_.end() ? it->second->path : displayPath(object);
    if (matches(path) || (!object.executable && matches(absolutePath(object.loaderName))))
      return insertLocked(object, path);
  }
  return nullptr;
}

bool ModuleTable::addRef(ModuleRecord *record, bool pin) {
  if (record->pseudo != nullptr) return true;
  void *handle = record->executable
                     ? ::dlopen(nullptr, RTLD_NOW)
                     : ::dlopen(record->loaderName.c_str(), RTLD_NOW | RTLD_NOLOAD | (pin ? RTLD_NODELETE : 0));
  if (handle == nullptr) return false;
  std::optional<ObjectInfo> object = objectOfHandle(handle);
  if (!object || object->base != record->base) {
    ::dlclose(handle);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  record->dlHandle = handle;
  ++record->refs;
  record->pinned = record->pinned || pin;
  return true;
}

void ModuleTable::adoptRef(ModuleRecord *record, void *dlHandle) {
  std::lock_guard<std::mutex> lock(mutex_);
  record->dlHandle = dlHandle;
  ++record->refs;
}

bool ModuleTable::release(ModuleRecord *record) {
  void *handle = nullptr;
  bool last = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (record->pseudo != nullptr || record->refs == 0) return true;
    handle = record->dlHandle;
    last = --record->refs == 0;
  }
  const bool closed = ::dlclose(handle) == 0;
  if (last && !record->executable) {
    if (void *probe = ::dlopen(record->loaderName.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
      ::dlclose(probe);
    } else {
      std::lock_guard<std::mutex> lock(mutex_);
      if (record->refs == 0) {
        record->loaded = false;
        record->dlHandle = nullptr;
        auto it = byBase_.find(record->base);
        if (it != byBase_.end() && it->second == record) byBase_.erase(it);
      }
    }
  }
  return closed;
}

long ModuleTable::refs(ModuleRecord *record) {
  std::lock_guard<std::mutex> lock(mutex_);
  return record->refs;
}

void *ModuleTable::symbol(ModuleRecord *record, const char *name) {
  if (record->pseudo != nullptr) {
    const auto &exports = record->pseudo->exports;
    if (std::find(exports.begin(), exports.end(), std::string_view(name)) == exports.end()) return nullptr;
    void *own = ownHandle();
    void *sym = own ? ::dlsym(own, name) : nullptr;
    std::optional<ObjectInfo> where = objectAt(sym);
    std::optional<ObjectInfo> self = objectAt(reinterpret_cast<const void *>(&executableBase));
    return where && self && where->base == self->base ? sym : nullptr;
  }
  // A reference of our own for the lookup, so a concurrent FreeLibrary cannot
  // unload the object under dlsym.
  void *handle =
      record->executable ? ::dlopen(nullptr, RTLD_NOW) : ::dlopen(record->loaderName.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return nullptr;
  void *sym = ::dlsym(handle, name);
  std::optional<ObjectInfo> where = objectAt(sym);
  ::dlclose(handle);
  // dlsym also searches the object's dependencies; only its own exports count.
  return where && where->base == record->base ? sym : nullptr;
}

}  // namespace tp::win32
