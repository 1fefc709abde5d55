// The system's module registration tool: regsvr32 [/u] [/s] MODULE.
//
// Loads MODULE, calls its DllRegisterServer (or, with /u,
// DllUnregisterServer) on a thread in COM, and reports the outcome: on
// standard output when it worked, on standard error with the failing code
// when it did not; /s keeps both quiet. Options may also be written with
// "-" and in either case; anything longer is the module's path. Exit codes are the system tool's: 0 success,
// 1 bad arguments, 2 COM could not start, 3 the module did not load, 4 it
// lacks the entry point, 5 the entry point failed.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

enum ExitCode { kOk = 0, kBadArguments = 1, kComFailed = 2, kLoadFailed = 3, kNoEntry = 4, kEntryFailed = 5 };

typedef HRESULT(STDAPICALLTYPE *RegistrationEntry)();

bool IsOption(const char *arg, char letter) {
  return (arg[0] == '/' || arg[0] == '-') && (arg[1] == letter || arg[1] == letter - 'a' + 'A') && arg[2] == 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: regsvr32 [/u] [/s] MODULE\n"
               "  /u  unregister (call DllUnregisterServer)\n"
               "  /s  silent: print nothing\n");
  return kBadArguments;
}

}  // namespace

int main(int argc, char **argv) {
  bool unregister = false, silent = false;
  const char *module = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (IsOption(argv[i], 'u')) {
      unregister = true;
    } else if (IsOption(argv[i], 's')) {
      silent = true;
    } else if (((argv[i][0] == '/' || argv[i][0] == '-') && argv[i][1] != 0 && argv[i][2] == 0) || module != nullptr) {
      // An unknown option (a path is never "/" and one letter), or a second module.
      return Usage();
    } else {
      module = argv[i];
    }
  }
  if (module == nullptr || module[0] == 0) return Usage();
  const char *entryName = unregister ? "DllUnregisterServer" : "DllRegisterServer";

  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) {
    if (!silent) std::fprintf(stderr, "regsvr32: COM could not be initialised: 0x%08X\n", static_cast<unsigned>(hr));
    return kComFailed;
  }
  int code = kOk;
  HMODULE library = LoadLibraryA(module);
  if (library == nullptr) {
    const DWORD error = GetLastError();
    if (!silent)
      std::fprintf(stderr, "regsvr32: the module \"%s\" failed to load: 0x%08X\n", module,
                   static_cast<unsigned>(HRESULT_FROM_WIN32(error)));
    code = kLoadFailed;
  } else {
    auto entry = reinterpret_cast<RegistrationEntry>(reinterpret_cast<void *>(GetProcAddress(library, entryName)));
    if (entry == nullptr) {
      if (!silent)
        std::fprintf(stderr, "regsvr32: the module \"%s\" was loaded but the entry point %s was not found\n", module,
                     entryName);
      code = kNoEntry;
    } else {
      hr = entry();
      if (FAILED(hr)) {
        if (!silent)
          std::fprintf(stderr, "regsvr32: %s in \"%s\" failed: 0x%08X\n", entryName, module, static_cast<unsigned>(hr));
        code = kEntryFailed;
      } else if (!silent) {
        std::printf("%s in \"%s\" succeeded.\n", entryName, module);
      }
    }
    FreeLibrary(library);
  }
  CoUninitialize();
  return code;
}
