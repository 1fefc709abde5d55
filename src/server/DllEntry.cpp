#include "server/DllEntry.h"

#include <new>

#include "server/CClassFactory.h"
#include "trace/Trace.h"

namespace {

HINSTANCE g_hInst = nullptr;

void CallInitRoutines(BOOL bLoading) {
  for (int i = 0; i < g_cTemplates; ++i) {
    const CFactoryTemplate &t = g_Templates[i];
    if (t.m_lpfnInit) t.m_lpfnInit(bLoading, t.m_ClsID);
  }
}

}  // namespace

HINSTANCE ModuleInstance() { return g_hInst; }

EXTERN_C BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
  switch (dwReason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(hInstance);
      g_hInst = hInstance;
      CallInitRoutines(TRUE);
      break;
    case DLL_PROCESS_DETACH:
      CallInitRoutines(FALSE);
      break;
    default:
      break;
  }
  return TRUE;
}

EXTERN_C HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
  for (int i = 0; i < g_cTemplates; ++i) {
    if (!g_Templates[i].IsClassID(rclsid)) continue;
    auto *factory = new (std::nothrow) CClassFactory(&g_Templates[i]);
    if (!factory) {
      TraceA8("DllGetClassObject failed(0x%x)\n", E_OUTOFMEMORY);
      return E_OUTOFMEMORY;
    }
    factory->AddRef();
    *ppv = static_cast<IClassFactory *>(factory);
    return S_OK;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

EXTERN_C HRESULT STDAPICALLTYPE DllCanUnloadNow(void) {
  return CClassFactory::IsLocked() || CBaseObject::ObjectsActive() != 0 ? S_FALSE : S_OK;
}
