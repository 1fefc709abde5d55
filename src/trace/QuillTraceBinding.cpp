#include "trace/QuillTraceBinding.h"

#include <cstdint>
#include <cstring>

namespace {

using GetModuleHandleExWFn = BOOL(WINAPI *)(DWORD flags, LPCWSTR name, HMODULE *module);

constexpr WCHAR kLibraryName[] = TEXT("quilltrace.dll");
constexpr int kLibraryNameLength = sizeof(kLibraryName) / sizeof(WCHAR) - 1;
constexpr DWORD kPageGuard = 0x100;
constexpr DWORD kReadable = 0x02 | 0x04 | 0x08 | 0x20 | 0x40 | 0x80;  // R, RW, WC, XR, XRW, XWC
constexpr SIZE_T kDosHeaderSize = 64;
constexpr SIZE_T kDosNewHeaderOffset = 0x3C;
constexpr SIZE_T kNtHeadersSize = 248;
constexpr LONG kNewHeaderLimit = 0x10000000;

template <typename Fn>
Fn ProcAs(FARPROC proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

// True when every byte of [address, address + size) lies in committed,
// readable memory.
bool IsReadable(const TraceLoaderApi &api, const void *address, SIZE_T size) {
  auto cur = reinterpret_cast<uintptr_t>(address);
  if (cur == 0 || size == 0 || UINTPTR_MAX - cur < size) return false;
  const uintptr_t end = cur + size;
  while (cur < end) {
    MEMORY_BASIC_INFORMATION info{};
    if (api.virtualQuery(reinterpret_cast<LPCVOID>(cur), &info, sizeof info) == 0) return false;
    if (info.State != MEM_COMMIT || (info.Protect & kPageGuard) != 0 || (info.Protect & kReadable) == 0) return false;
    const auto base = reinterpret_cast<uintptr_t>(info.BaseAddress);
    if (base > cur || UINTPTR_MAX - base < info.RegionSize) return false;
    const uintptr_t regionEnd = base + info.RegionSize;
    if (regionEnd <= cur) return false;
    cur = regionEnd;
  }
  return true;
}

// The module whose image holds `address`: the allocation base of its region,
// when that starts with a DOS header whose new header is a PE header.
HMODULE FindModuleByAddress(const TraceLoaderApi &api, const void *address) {
  MEMORY_BASIC_INFORMATION info{};
  if (address == nullptr || api.virtualQuery(address, &info, sizeof info) == 0) return nullptr;
  if (info.State == MEM_FREE || info.Type == MEM_PRIVATE || info.AllocationBase == nullptr) return nullptr;
  const auto *base = static_cast<const unsigned char *>(info.AllocationBase);
  if (!IsReadable(api, base, kDosHeaderSize) || base[0] != 'M' || base[1] != 'Z') return nullptr;
  LONG newHeader = 0;
  std::memcpy(&newHeader, base + kDosNewHeaderOffset, sizeof newHeader);
  if (newHeader < 0 || newHeader > kNewHeaderLimit) return nullptr;
  const unsigned char *nt = base + newHeader;
  if (!IsReadable(api, nt, kNtHeadersSize) || std::memcmp(nt, "PE\0\0", 4) != 0) return nullptr;
  return reinterpret_cast<HMODULE>(const_cast<unsigned char *>(base));
}

const void *OwnCodeAddress() { return reinterpret_cast<const void *>(&LoadTraceLibrary); }

}  // namespace

const TraceLoaderApi &SystemTraceLoaderApi() {
  static const TraceLoaderApi api = {
      &GetModuleHandleW, &GetProcAddress, &VirtualQuery,       &GetModuleFileNameW,
      &LoadLibraryW,     &FreeLibrary,    &OutputDebugStringW, OwnCodeAddress(),
  };
  return api;
}

HMODULE LoadTraceLibrary(const TraceLoaderApi &api) {
  const HMODULE kernel = api.getModuleHandleW(TEXT("Kernel32.dll"));
  if (kernel == nullptr) return nullptr;
  const auto getModuleHandleEx = ProcAs<GetModuleHandleExWFn>(api.getProcAddress(kernel, "GetModuleHandleExW"));

  HMODULE self = nullptr;
  if (getModuleHandleEx != nullptr) {
    HMODULE loaded = nullptr;
    if (getModuleHandleEx(0, kLibraryName, &loaded) && loaded != nullptr) return loaded;
    if (getModuleHandleEx(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCWSTR>(api.codeAddress), &self) &&
        self != nullptr) {
      api.outputDebugStringW(TEXT("The OS is  XP+ and loaded quilltra.dll firtly"));
    } else {
      self = nullptr;
    }
  } else {
    self = FindModuleByAddress(api, api.codeAddress);
    if (self == nullptr) self = FindModuleByAddress(api, __builtin_return_address(0));
    api.outputDebugStringW(TEXT("The OS is  2K"));
  }

  // With no module found this is the executable's path.
  WCHAR path[MAX_PATH] = {};
  const DWORD reported = api.getModuleFileNameW(self, path, MAX_PATH);
  path[MAX_PATH - 1] = 0;
  api.outputDebugStringW(path);
  if (getModuleHandleEx != nullptr && self != nullptr) api.freeLibrary(self);

  int length = 0;
  while (length < MAX_PATH && path[length] != 0) ++length;
  // A failed or cut-off query gives no directory to look in; a name with no
  // folder would make the load search the current directory.
  if (reported == 0 || reported >= MAX_PATH || length == 0) return nullptr;
  if (length + kLibraryNameLength + 1 >= MAX_PATH) return nullptr;
  int cut = -1;
  for (int i = length - 1; i >= 1; --i) {
    if (path[i] == '\\' || path[i] == '/') {
      cut = i;
      break;
    }
  }
  if (cut < 0) return nullptr;
  // Joined with the separator the path already uses.
  std::memcpy(path + cut + 1, kLibraryName, sizeof kLibraryName);
  const HMODULE library = api.loadLibraryW(path);
  api.outputDebugStringW(path);
  return library;
}

void BindTraceLibrary(QuillTraceBinding *binding, const TraceLoaderApi &api) {
  *binding = QuillTraceBinding{};
  binding->module = LoadTraceLibrary(api);
  if (binding->module == nullptr) return;
  const HMODULE m = binding->module;
  binding->trace = ProcAs<PFN_QUILLTRACE>(api.getProcAddress(m, "QUILLTRACE"));
  binding->traceRaw = ProcAs<PFN_QUILLTRACERAW>(api.getProcAddress(m, "QUILLTRACERAW"));
  binding->traceA = ProcAs<PFN_QUILLTRACEA>(api.getProcAddress(m, "QUILLTRACEA"));
  binding->traceRawA = ProcAs<PFN_QUILLTRACERAWA>(api.getProcAddress(m, "QUILLTRACERAWA"));
  binding->dumpToFile = ProcAs<PFN_QUILLDumptoFile>(api.getProcAddress(m, "QUILLDumptoFile"));
  binding->isDebugMode = ProcAs<PFN_QUILLIsDebugMode>(api.getProcAddress(m, "QUILLIsDebugMode"));
  binding->dumpFileClose = ProcAs<PFN_QUILLDumpFileClose>(api.getProcAddress(m, "QUILLDumpFileClose"));
  binding->tracking = ProcAs<PFN_QUILLTRACKING_INTERNAL>(api.getProcAddress(m, "QUILLTRACKING_INTERNAL"));
  binding->trackingUpload =
      ProcAs<PFN_QUILLTRACKING_UPLOAD_INTERNAL>(api.getProcAddress(m, "QUILLTRACKING_UPLOAD_INTERNAL"));
  binding->trackingUploadAsync =
      ProcAs<PFN_QUILLTRACKING_UPLOAD_ASYNC_INTERNAL>(api.getProcAddress(m, "QUILLTRACKING_UPLOAD_ASYNC_INTERNAL"));
}

void UnbindTraceLibrary(QuillTraceBinding *binding, const TraceLoaderApi &api) {
  const HMODULE module = binding->module;
  *binding = QuillTraceBinding{};
  if (module != nullptr) api.freeLibrary(module);
}
