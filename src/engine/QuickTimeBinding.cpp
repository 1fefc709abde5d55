#include "engine/QuickTimeBinding.h"

#include "QuickTime/QTML.h"
#include "QuickTime/QTSelectors.h"

#include <io.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace {

constexpr char kRuntimeName[] = "QuickTime.qts";
constexpr size_t kRuntimeNameLength = sizeof(kRuntimeName) - 1;  // 13
constexpr char kQuickTimeKey[] = "Software\\Apple Computer, Inc.\\QuickTime";
// The oldest runtime whose state the start-up hook may rely on: 7.0.2.0,
// compared as four bytes with the major version first.
constexpr DWORD kMinimumVersion = 0x07000200;

bool EndsWithSeparator(const std::string &s) { return !s.empty() && (s.back() == '\\' || s.back() == '/'); }

void AddSeparator(std::string *s) {
  if (!EndsWithSeparator(*s)) *s += '\\';
}

bool FolderExists(const std::string &folder) { return !folder.empty() && _access(folder.c_str(), 0) == 0; }

// Copies s into buffer when it fits with its terminator.
bool CopyOut(const std::string &s, char *buffer, int size) {
  if (buffer == nullptr || size <= 0 || s.size() >= static_cast<size_t>(size)) return false;
  std::memcpy(buffer, s.c_str(), s.size() + 1);
  return true;
}

int Fail(char *buffer, int size) {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  return 0;
}

// A string value under HKLM\Software\Apple Computer, Inc.\QuickTime; empty
// when the key or the value is missing or unreadable.
std::string ReadQuickTimeValue(const char *name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kQuickTimeKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return {};
  char value[MAX_PATH + 1] = {};
  DWORD bytes = MAX_PATH;
  DWORD type = 0;
  LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(value), &bytes);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return {};
  value[MAX_PATH] = '\0';
  return std::string(value);
}

std::string WindowsSystemFolder() {
  char dir[MAX_PATH + 1] = {};
  UINT n = GetSystemDirectoryA(dir, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return std::string(dir, n);
}

// The folder of "QuickTime.qts" when some module of the process has it
// loaded already.
std::string LoadedRuntimeFolder() {
  HMODULE loaded = GetModuleHandleA(kRuntimeName);
  if (loaded == nullptr) return {};
  char path[MAX_PATH + 1] = {};
  DWORD n = GetModuleFileNameA(loaded, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || n <= kRuntimeNameLength) return {};
  return std::string(path, n - kRuntimeNameLength);
}

std::string SystemFolder() {
  std::string folder = LoadedRuntimeFolder();
  if (FolderExists(folder)) {
    AddSeparator(&folder);
    return folder;
  }
  for (const char *name : {"QTSysDir", "QuickTime.qts folder"}) {
    folder = ReadQuickTimeValue(name);
    if (folder.empty()) continue;
    AddSeparator(&folder);
    if (FolderExists(folder)) return folder;
  }
  folder = WindowsSystemFolder();
  if (FolderExists(folder)) {
    AddSeparator(&folder);
    return folder;
  }
  return {};
}

std::string ExtensionFolder() {
  std::string folder = ReadQuickTimeValue("QTExtDir");
  if (!folder.empty()) {
    AddSeparator(&folder);
    return folder;
  }
  folder = SystemFolder();
  if (folder.empty()) return {};
  std::string windows = WindowsSystemFolder();
  AddSeparator(&windows);
  if (folder == windows) folder += "QuickTime\\";
  return folder;
}

// The two component entries get not-bound stand-ins of their own type, so
// that a call through either while unbound fails the same way.
SInt32 NotBoundCallComponent(void *, void *) { return kQTNotBoundErr; }
SInt32 NotBoundCallComponentFunctionWithStorage(Handle, void *, void *) { return kQTNotBoundErr; }

// Entries found by name arrive as FARPROC; the detour through the generic
// function pointer type says that the cast is deliberate.
template <typename To>
To EntryCast(FARPROC entry) {
  return reinterpret_cast<To>(reinterpret_cast<void (*)()>(entry));
}

void Unbind(QuickTimeBinding &b) {
  b.theQuickTimeDispatcher.store(&NotBoundDispatcher);
  b._CallComponent.store(&NotBoundCallComponent);
  b._CallComponentFunctionWithStorage.store(&NotBoundCallComponentFunctionWithStorage);
}

void ReleaseModule(QuickTimeBinding &b) {
  HMODULE m = b.module.exchange(nullptr);
  if (m != nullptr) FreeLibrary(m);
}

// Holds the process's init/termination mutex for one InitializeQTML or
// TerminateQTML. When the mutex cannot be created the call runs unguarded.
class InitTermGuard {
 public:
  InitTermGuard() {
    char name[64];
    wsprintfA(name, "QTMLInitTermMutex%lx", static_cast<unsigned long>(GetCurrentProcessId()));
    mutex_ = CreateMutexA(nullptr, FALSE, name);
    if (mutex_ != nullptr) WaitForSingleObject(mutex_, INFINITE);
  }
  ~InitTermGuard() {
    if (mutex_ == nullptr) return;
    ReleaseMutex(mutex_);
    CloseHandle(mutex_);
  }
  InitTermGuard(const InitTermGuard &) = delete;
  InitTermGuard &operator=(const InitTermGuard &) = delete;

 private:
  HANDLE mutex_ = nullptr;
};

// The file version of a module as four bytes, major first; 0 when unknown.
DWORD ModuleVersion(HMODULE module) {
  WCHAR path[MAX_PATH + 1] = {};
  DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 0;
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) return 0;
  std::vector<BYTE> info(size);
  if (!GetFileVersionInfoW(path, 0, size, info.data())) return 0;
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(info.data(), TEXT("\\"), reinterpret_cast<LPVOID *>(&fixed), &length) || fixed == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return 0;
  }
  DWORD major = HIWORD(fixed->dwFileVersionMS) & 0xff;
  DWORD minor = LOWORD(fixed->dwFileVersionMS) & 0xff;
  DWORD build = HIWORD(fixed->dwFileVersionLS) & 0xff;
  DWORD revision = LOWORD(fixed->dwFileVersionLS) & 0xff;
  return (major << 24) | (minor << 16) | (build << 8) | revision;
}

}  // namespace

EXTERN_C intptr_t NotBoundDispatcher(uint32_t, ...) { return kQTNotBoundErr; }

QuickTimeBinding::QuickTimeBinding() : bindHook(&EnsureQuickTimeBound) { Unbind(*this); }

QuickTimeBinding &TheQuickTimeBinding() {
  // Constant-initialised storage would be nicer, but the slots need the
  // addresses of functions in this file: a function-local static is built on
  // first use. Its destructor does nothing, so a stub called during static
  // destruction still finds it intact; being no heap block, it leaves
  // nothing behind when the module is unloaded and loaded again.
  static_assert(std::is_trivially_destructible_v<QuickTimeBinding>);
  static QuickTimeBinding binding;
  return binding;
}

int GetQuickTimeSystemFolder(char *buffer, int size) {
  std::string folder = SystemFolder();
  if (folder.empty() || !CopyOut(folder, buffer, size)) return Fail(buffer, size);
  return 1;
}

int GetQuickTimeExtensionFolder(char *buffer, int size) {
  std::string folder = ExtensionFolder();
  if (folder.empty() || !CopyOut(folder, buffer, size)) return Fail(buffer, size);
  return 1;
}

HMODULE LoadQuickTimeComponent(const char *name) {
  if (name == nullptr) return nullptr;
  const int nameLength = lstrlenA(name);
  const int room = MAX_PATH - nameLength;
  if (room <= 0) return nullptr;
  std::vector<char> folder(static_cast<size_t>(room));
  if (!GetQuickTimeSystemFolder(folder.data(), room)) return nullptr;
  std::string path = std::string(folder.data()) + name;
  HMODULE module = LoadLibraryA(path.c_str());
  if (module != nullptr) return module;
  if (!GetQuickTimeExtensionFolder(folder.data(), room)) return nullptr;
  path = std::string(folder.data()) + name;
  return LoadLibraryA(path.c_str());
}

LONG BindQuickTimeEntryPoints() {
  QuickTimeBinding &b = TheQuickTimeBinding();
  HMODULE module = b.module.load();
  FARPROC entry = module ? GetProcAddress(module, "_CallComponentFunctionWithStorage") : nullptr;
  if (entry == nullptr) return kQTEntryMissingErr;
  b._CallComponentFunctionWithStorage.store(EntryCast<QTCallComponentFunctionWithStorageProc>(entry));
  entry = GetProcAddress(module, "_CallComponent");
  if (entry == nullptr) return kQTEntryMissingErr;
  b._CallComponent.store(EntryCast<QTCallComponentProc>(entry));
  entry = GetProcAddress(module, "theQuickTimeDispatcher");
  if (entry == nullptr) return kQTEntryMissingErr;
  b.theQuickTimeDispatcher.store(EntryCast<QTDispatcherProc>(entry));
  b.bindHook.store(nullptr);
  return 0;
}

LONG EnsureQuickTimeBound() {
  QuickTimeBinding &b = TheQuickTimeBinding();
  bool loadedHere = false;
  if (b.module.load() == nullptr) {
    // Whether another module of the process holds the runtime decides below
    // whether our reference may be dropped again.
    HMODULE module = LoadQuickTimeComponent(kRuntimeName);
    if (module == nullptr) return kQTLoadFailedErr;
    HMODULE expected = nullptr;
    if (!b.module.compare_exchange_strong(expected, module)) {
      FreeLibrary(module);  // another thread bound first
    } else {
      loadedHere = true;
    }
  }
  LONG rc = BindQuickTimeEntryPoints();
  if (rc != 0 || !loadedHere) return rc;
  if (!CheckQuickTimeVersion()) return 0;
  const intptr_t answer = b.theQuickTimeDispatcher.load()(kQTSelIsQTMLInitialized);
  if ((answer & 0xff) == 0) return 0;
  // The runtime is already running for someone else in the process: drop
  // the reference this call took. When that reference was the last one the
  // entry points would point into an unloaded library, so then the binding
  // goes back to unbound and the next call binds afresh.
  HMODULE module = b.module.exchange(nullptr);
  FreeLibrary(module);
  if (GetModuleHandleA(kRuntimeName) == nullptr) {
    Unbind(b);
    b.bindHook.store(&BindQuickTimeEntryPoints);
  }
  return 0;
}

bool CheckQuickTimeVersion() {
  QuickTimeBinding &b = TheQuickTimeBinding();
  if (b.versionChecked.load()) return b.versionOk.load();
  HMODULE module = b.module.load();
  HMODULE loadedForCheck = nullptr;
  if (module == nullptr) module = GetModuleHandleA(kRuntimeName);
  if (module == nullptr) module = loadedForCheck = LoadQuickTimeComponent(kRuntimeName);
  DWORD version = module ? ModuleVersion(module) : 0;
  if (loadedForCheck != nullptr) FreeLibrary(loadedForCheck);
  b.versionOk.store(version >= kMinimumVersion);
  b.versionChecked.store(true);
  return b.versionOk.load();
}

OSErr InitializeQTML(SInt32 flags) {
  QuickTimeBinding &b = TheQuickTimeBinding();
  InitTermGuard guard;
  if (b.initCount > 0) {
    ++b.initCount;
    return 0;
  }
  intptr_t rc = kQTLoadFailedErr;
  if (b.module.load() == nullptr) b.module.store(LoadQuickTimeComponent(kRuntimeName));
  if (b.module.load() != nullptr) {
    rc = BindQuickTimeEntryPoints();
    if (rc == 0) rc = b.theQuickTimeDispatcher.load()(kQTSelInitializeQTML, flags);
  }
  if (static_cast<OSErr>(rc) == 0) {
    ++b.initCount;
    return 0;
  }
  Unbind(b);
  ReleaseModule(b);
  b.bindHook.store(&BindQuickTimeEntryPoints);
  return static_cast<OSErr>(rc);
}

void TerminateQTML(void) {
  QuickTimeBinding &b = TheQuickTimeBinding();
  InitTermGuard guard;
  if (b.initCount <= 0) {
    b.initCount = 0;
    return;
  }
  if (--b.initCount > 0) return;
  b.theQuickTimeDispatcher.load()(kQTSelTerminateQTML);
  Unbind(b);
  ReleaseModule(b);
  b.bindHook.store(&BindQuickTimeEntryPoints);
}

void ResetQuickTimeBindingForTesting() {
  QuickTimeBinding &b = TheQuickTimeBinding();
  InitTermGuard guard;
  Unbind(b);
  ReleaseModule(b);
  b.bindHook.store(&EnsureQuickTimeBound);
  b.initCount = 0;
  b.versionChecked.store(false);
  b.versionOk.store(false);
}

LONG QuickTimeInitCountForTesting() {
  InitTermGuard guard;
  return TheQuickTimeBinding().initCount;
}
