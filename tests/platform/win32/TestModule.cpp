// A small shared library that the module tests load, find and free. At load
// it looks itself up from its own code address, as a module's static
// start-up does, to prove that loader queries work from inside a load.
#include <windows.h>

#define TP_TEST_EXPORT extern "C" __attribute__((visibility("default")))

TP_TEST_EXPORT int TpTestModuleAnswer() { return 42; }

namespace {
HMODULE g_selfAtLoad = nullptr;

struct LookUpSelfAtLoad {
  LookUpSelfAtLoad() {
    // Takes a reference and gives it back while the module is still being
    // loaded: that must not unload it.
    HMODULE counted = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&TpTestModuleAnswer),
                           &counted))
      FreeLibrary(counted);
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&TpTestModuleAnswer), &g_selfAtLoad);
  }
} g_lookUpSelfAtLoad;
}  // namespace

TP_TEST_EXPORT HMODULE TpTestModuleSelfAtLoad() { return g_selfAtLoad; }

// The module entry: appends "attach;" or "detach;" to TP_TESTMOD_ENTRY (read
// by the tests after unload) and refuses to load while TP_TESTMOD_REFUSE is
// set.
TP_TEST_EXPORT BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH && reason != DLL_PROCESS_DETACH) return TRUE;
  char log[256] = "";
  GetEnvironmentVariableA("TP_TESTMOD_ENTRY", log, sizeof log);
  lstrcatA(log, reason == DLL_PROCESS_ATTACH ? "attach;" : "detach;");
  SetEnvironmentVariableA("TP_TESTMOD_ENTRY", log);
  char refuse[4];
  return reason != DLL_PROCESS_ATTACH || GetEnvironmentVariableA("TP_TESTMOD_REFUSE", refuse, sizeof refuse) == 0;
}
