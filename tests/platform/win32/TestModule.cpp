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
