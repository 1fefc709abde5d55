// The template table of the test module TidepoolTest.ax: the server layer
// as Tidepool.ax has it, with a pin-less stand-in in place of the filter,
// plus two classes whose creation fails in the two ways a creation function
// can. The initialisation routine leaves "attach"/"detach" in the process
// environment (TP_SERVER_TEST_INIT), where a test can read it after unload.
#include <windows.h>

#include <new>

#include "framework/CSource.h"
#include "server/CFactoryTemplate.h"
#include "server/TidepoolSetup.h"

// {0C5E8B0A-61F3-4E3B-9C0D-3A1E7F2B6D01}
static const GUID CLSID_TpFailsWithObject = {
    0x0c5e8b0a, 0x61f3, 0x4e3b, {0x9c, 0x0d, 0x3a, 0x1e, 0x7f, 0x2b, 0x6d, 0x01}};
// {0C5E8B0A-61F3-4E3B-9C0D-3A1E7F2B6D02}
static const GUID CLSID_TpFailsWithoutResult = {
    0x0c5e8b0a, 0x61f3, 0x4e3b, {0x9c, 0x0d, 0x3a, 0x1e, 0x7f, 0x2b, 0x6d, 0x02}};

namespace {

CUnknown *CALLBACK CreateStandInFilter(LPUNKNOWN pUnk, HRESULT *phr) {
  auto *filter = new (std::nothrow) CSource(TEXT("Tidepool stand-in"), pUnk, *sudTidepool.clsID, phr);
  if (!filter) *phr = E_OUTOFMEMORY;
  return filter;
}

CUnknown *CALLBACK CreateFailsWithObject(LPUNKNOWN pUnk, HRESULT *phr) {
  *phr = E_FAIL;
  return new (std::nothrow) CUnknown(TEXT("half-made"), pUnk);
}

CUnknown *CALLBACK CreateFailsWithoutResult(LPUNKNOWN, HRESULT *) { return nullptr; }

void CALLBACK InitRoutine(BOOL bLoading, const CLSID *) {
  SetEnvironmentVariableW(TEXT("TP_SERVER_TEST_INIT"), bLoading ? TEXT("attach") : TEXT("detach"));
}

}  // namespace

CFactoryTemplate g_Templates[] = {
    {sudTidepool.strName, sudTidepool.clsID, CreateStandInFilter, InitRoutine, &sudTidepool},
    {TEXT("Fails with object"), &CLSID_TpFailsWithObject, CreateFailsWithObject, nullptr, nullptr},
    {TEXT("Fails without result"), &CLSID_TpFailsWithoutResult, CreateFailsWithoutResult, nullptr, nullptr},
};
int g_cTemplates = sizeof g_Templates / sizeof g_Templates[0];
