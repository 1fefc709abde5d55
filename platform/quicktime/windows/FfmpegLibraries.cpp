// FFmpeg's libraries sit beside "QuickTime.qts", their names carrying our
// suffix (a host may hold another FFmpeg under the usual names). The
// runtime imports them delay-loaded: nothing of them is mapped until
// FfmpegLibrariesLoaded finds every one in the runtime's own folder and
// loads it from there by full path, its imports of the others resolved in
// that folder too (LOAD_WITH_ALTERED_SEARCH_PATH). The delay-load helper
// then binds to exactly those modules through its notification hook, so
// the host's search path is never consulted. When one is missing, fails to
// load or is of another release, none of them is used and no FFmpeg call is
// ever made: the system's decoders serve alone.
//
// The modules are never freed: FFmpeg keeps process-wide state (per-thread
// blocks, lazily built tables) that it does not give back, so they stay
// resident when the runtime is unloaded, as on Linux.

#include "FfmpegLibraries.h"

#include <windows.h>

#include <delayimp.h>

#include <array>
#include <cstring>
#include <mutex>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "FfmpegDllNames.h"

namespace tp::qt {
namespace {

// Each library in the order of their dependencies, with the version the
// runtime was built against and the name of its version call.
struct Library {
  const char *file;
  unsigned version;
  const char *versionCall;
};
constexpr std::array<Library, 5> kLibraries{{
    {kAvutilDll, LIBAVUTIL_VERSION_INT, "avutil_version"},
    {kSwresampleDll, LIBSWRESAMPLE_VERSION_INT, "swresample_version"},
    {kSwscaleDll, LIBSWSCALE_VERSION_INT, "swscale_version"},
    {kAvcodecDll, LIBAVCODEC_VERSION_INT, "avcodec_version"},
    {kAvformatDll, LIBAVFORMAT_VERSION_INT, "avformat_version"},
}};

// Written once under g_once, before any FFmpeg call; read by the delay-load
// hook, which runs only on a thread that has been through g_once.
std::array<HMODULE, kLibraries.size()> g_modules{};
bool g_loaded = false;
std::once_flag g_once;

void Say(const std::string &text) { OutputDebugStringA(("QuickTime: " + text + "\n").c_str()); }

// The folder of the module this code is linked into, with a trailing
// separator; empty when the system cannot tell.
std::wstring OwnFolder() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&OwnFolder), &self))
    return {};
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(self, path.data(), DWORD(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
  const size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

std::wstring Widen(const char *ascii) { return std::wstring(ascii, ascii + std::strlen(ascii)); }

void Load() {
  const std::wstring folder = OwnFolder();
  if (folder.empty()) {
    Say("cannot tell the runtime's folder; the system's decoders decode");
    return;
  }
  std::array<HMODULE, kLibraries.size()> modules{};
  for (size_t i = 0; i < kLibraries.size(); ++i) {
    const Library &lib = kLibraries[i];
    modules[i] = LoadLibraryExW((folder + Widen(lib.file)).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    std::string why;
    if (!modules[i]) {
      why = std::string(lib.file) + " is missing or does not load";
    } else {
      using VersionCall = unsigned (*)();
      auto call = reinterpret_cast<VersionCall>(reinterpret_cast<void *>(GetProcAddress(modules[i], lib.versionCall)));
      if (!call || call() != lib.version) why = std::string(lib.file) + " is of another release";
    }
    if (!why.empty()) {
      for (HMODULE m : modules)
        if (m) FreeLibrary(m);
      Say("FFmpeg's libraries are not usable (" + why + "); the system's decoders decode");
      return;
    }
  }
  g_modules = modules;
  g_loaded = true;
  Say(std::string("FFmpeg ") + av_version_info() + " loaded from the runtime's folder");
}

FARPROC WINAPI DelayLoadHook(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary || !info || !info->szDll) return nullptr;
  for (size_t i = 0; i < kLibraries.size(); ++i)
    if (g_modules[i] && _stricmp(info->szDll, kLibraries[i].file) == 0) return reinterpret_cast<FARPROC>(g_modules[i]);
  return nullptr;
}

}  // namespace

bool FfmpegLibrariesLoaded() {
  std::call_once(g_once, Load);
  return g_loaded;
}

bool SystemDecodersFirst() {
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, L"Software\\Tidepool", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) continue;
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LONG r =
        RegQueryValueExW(key, L"SystemDecodersFirst", nullptr, &type, reinterpret_cast<BYTE *>(&value), &size);
    RegCloseKey(key);
    if (r == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(value)) return value != 0;
  }
  return false;
}

}  // namespace tp::qt

// The delay-load helper asks this hook before it loads a library (declared
// with C linkage by delayimp.h).
PfnDliHook __pfnDliNotifyHook2 = tp::qt::DelayLoadHook;
