// The loader's table of modules: one record per loaded object (executable or
// shared library), created the first time the object is reached by any route
// (LoadLibrary, a name, an address), so that every route yields the same
// HMODULE. An HMODULE is the address of its ModuleRecord.
//
// Ownership: the table owns every record for the life of the process; a record
// whose object was unloaded stays allocated (marked unloaded) so that a stale
// HMODULE is recognised instead of being dereferenced as freed memory.
//
// References: `refs` counts the references taken through LoadLibrary and
// GetModuleHandleEx; each one is backed by one dlopen of the object, released
// by one dlclose in FreeLibrary, so the dynamic linker decides when the object
// really goes. Objects that were linked in or opened directly by someone else
// have refs == 0 until one of those calls takes a reference.
//
// Pseudo-modules ("kernel32.dll", "ole32.dll") have no object of their own:
// they answer GetProcAddress from a short list of names implemented here.
//
// Lock order: the table lock is taken inside the dynamic linker's own lock
// (module constructors call LoadLibrary and GetModuleHandle), so nothing here
// calls into the dynamic linker while holding it. It is a leaf otherwise.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tp::win32 {

struct PseudoModule;

struct ModuleRecord {
  std::uintptr_t base = 0;  // lowest mapped address of the object; 0 for a pseudo-module
  std::string path;         // absolute path with "/" separators, as the object was first reached
  std::string loaderName;   // the name the dynamic linker knows it by ("" for the executable)
  bool executable = false;
  const PseudoModule *pseudo = nullptr;
  // Guarded by the table lock:
  void *dlHandle = nullptr;  // from our dlopen calls (all return the same handle)
  long refs = 0;
  bool pinned = false;
  bool loaded = true;
  // Guarded by the loader lock (Modules.cpp): the module's entry was called
  // with DLL_PROCESS_ATTACH and not yet with DLL_PROCESS_DETACH.
  bool attached = false;
};

// What an address or a handle says about the object behind it.
struct ObjectInfo {
  std::uintptr_t base = 0;
  std::string loaderName;
  bool executable = false;
};

class ModuleTable {
 public:
  static ModuleTable &instance();

  // The record for an object, created if new; null only when memory runs out.
  ModuleRecord *recordFor(const ObjectInfo &object, const std::string &path);
  // The record behind `module` if it is one of ours and still loaded.
  ModuleRecord *lookup(HMODULE module);
  // The loaded module whose base name (a name without "/") or full path (a
  // name with "/", made absolute) matches `name`, case-insensitively; a name
  // without an extension gets ".dll". Pseudo-modules answer by base name.
  ModuleRecord *findByName(const std::string &name);
  ModuleRecord *executable();
  ModuleRecord *pseudoModule(const std::string &baseName);

  // Takes one reference (dlopen without loading); false if the object is gone.
  bool addRef(ModuleRecord *record, bool pin);
  // Records one reference that a dlopen by the caller already took.
  void adoptRef(ModuleRecord *record, void *dlHandle);
  // Drops one reference taken through this table (no-op when there is none).
  // Returns false when dlclose fails.
  bool release(ModuleRecord *record);
  // The references held through this table right now.
  long refs(ModuleRecord *record);

  // A symbol of the record's own object (not of its dependencies); null if absent.
  void *symbol(ModuleRecord *record, const char *name);

 private:
  ModuleTable();
  ModuleRecord *insertLocked(const ObjectInfo &object, const std::string &path);

  std::mutex mutex_;  // see lock order above
  std::vector<std::unique_ptr<ModuleRecord>> records_;
  std::unordered_map<std::uintptr_t, ModuleRecord *> byBase_;  // loaded records only
  std::vector<std::unique_ptr<ModuleRecord>> pseudo_;
};

// ---- helpers shared by the module functions ----------------------------------
// The object containing `address`, if any.
std::optional<ObjectInfo> objectAt(const void *address);
// The object behind a dlopen handle.
std::optional<ObjectInfo> objectOfHandle(void *dlHandle);
// Every loaded object, the executable first.
std::vector<ObjectInfo> loadedObjects();
// The executable's absolute path.
const std::string &executablePath();
// Absolute, lexically normalised form of a path with "/" separators.
std::string absolutePath(const std::string &path);
// The display path of an object (executable path for the executable).
std::string displayPath(const ObjectInfo &object);

}  // namespace tp::win32
