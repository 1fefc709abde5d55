// COM activation: CoGetClassObject, CoCreateInstance, CoFreeUnusedLibraries.
//
// A class is looked up first under
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, whose default value names
// the server module, then among the platform's built-in classes (which
// Windows registers there too, so a registration of the same class id takes
// their place there as well). A server module, once loaded, stays loaded (with
// one loader reference held here) until CoFreeUnusedLibraries finds that its
// DllCanUnloadNow answers S_OK.
#include <objbase.h>
#include <uuids.h>
#include <windows.h>

#include <mutex>
#include <new>
#include <vector>

#include "com/Apartment.h"
#include "dshow/FilterGraph.h"
#include "dshow/FilterMapper.h"
#include "dshow/LegacyFilterMapper.h"
#include "dshow/MemAllocator.h"
#include "dshow/NullRenderer.h"
#include "dshow/SystemClock.h"

namespace {

typedef HRESULT(STDAPICALLTYPE *DllGetClassObjectFn)(REFCLSID, REFIID, LPVOID *);
typedef HRESULT(STDAPICALLTYPE *DllCanUnloadNowFn)(void);

// Creates an instance of a built-in class (outer unknown, requested
// interface, counted result in *ppv).
using BuiltinCreate = HRESULT (*)(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv);

// The factory object of a built-in class: static, not counted.
class BuiltinFactory : public IClassFactory {
 public:
  explicit BuiltinFactory(BuiltinCreate create) : m_create(create) {}
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory *>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown *pUnkOuter, REFIID riid, void **ppv) override {
    return m_create(pUnkOuter, riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

 private:
  BuiltinCreate m_create;
};

// Classes served by the platform itself (on Windows they live in system
// modules); looked up when the registry names no server for the class.
IClassFactory *FindBuiltinFactory(REFCLSID rclsid) {
  static BuiltinFactory memoryAllocator(tp::dshow::CreateMemoryAllocator);
  static BuiltinFactory filterMapper(tp::dshow::CreateFilterMapper);
  static BuiltinFactory legacyFilterMapper(tp::dshow::CreateLegacyFilterMapper);
  static BuiltinFactory filterGraph(tp::dshow::CreateFilterGraph);
  static BuiltinFactory systemClock(tp::dshow::CreateSystemClock);
  static BuiltinFactory nullRenderer(tp::dshow::CreateNullRenderer);
  if (IsEqualCLSID(rclsid, CLSID_MemoryAllocator)) return &memoryAllocator;
  if (IsEqualCLSID(rclsid, CLSID_FilterMapper2)) return &filterMapper;
  if (IsEqualCLSID(rclsid, CLSID_FilterMapper)) return &legacyFilterMapper;
  if (IsEqualCLSID(rclsid, CLSID_FilterGraph)) return &filterGraph;
  if (IsEqualCLSID(rclsid, CLSID_SystemClock)) return &systemClock;
  if (IsEqualCLSID(rclsid, CLSID_NullRenderer)) return &nullRenderer;
  return nullptr;
}

struct LoadedServer {
  HMODULE module;
};

// Guards g_servers. Lock order: taken alone; held across a server's
// DllCanUnloadNow (which must not call COM activation) but never across
// DllGetClassObject or LoadLibraryW.
std::mutex g_serversLock;
std::vector<LoadedServer> g_servers;

// Reads the server path of rclsid; false when the class is not registered.
bool FindInprocServer(REFCLSID rclsid, std::vector<WCHAR> &path) {
  WCHAR key[64] = u"CLSID\\";
  StringFromGUID2(rclsid, key + 6, 39);
  lstrcatW(key, u"\\InprocServer32");
  HKEY hkey = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &hkey) != ERROR_SUCCESS) return false;
  DWORD type = 0, size = 0;
  bool ok = RegQueryValueExW(hkey, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
            (type == REG_SZ || type == REG_EXPAND_SZ) && size >= sizeof(WCHAR) && size < 64 * 1024;
  if (ok) {
    // One extra character so that a value stored without its terminator
    // still ends in one.
    path.assign(size / sizeof(WCHAR) + 1, 0);
    DWORD got = size;
    ok =
        RegQueryValueExW(hkey, nullptr, nullptr, &type, reinterpret_cast<BYTE *>(path.data()), &got) == ERROR_SUCCESS &&
        path[0] != 0;
    path.back() = 0;
  }
  RegCloseKey(hkey);
  return ok;
}

// Keeps one loader reference to module for the server list; the caller's own
// reference is dropped when the list already has one.
void RecordServer(HMODULE module) {
  std::lock_guard<std::mutex> lock(g_serversLock);
  for (const LoadedServer &s : g_servers) {
    if (s.module == module) {
      FreeLibrary(module);
      return;
    }
  }
  try {
    g_servers.push_back({module});
  } catch (const std::bad_alloc &) {
    // Not tracked: the module simply stays loaded.
  }
}

HRESULT GetInprocClassObject(const std::vector<WCHAR> &path, REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
  HMODULE module = LoadLibraryW(path.data());
  if (!module) {
    DWORD err = GetLastError();
    return err ? HRESULT_FROM_WIN32(err) : CO_E_DLLNOTFOUND;
  }
  auto getClassObject =
      reinterpret_cast<DllGetClassObjectFn>(reinterpret_cast<void *>(GetProcAddress(module, "DllGetClassObject")));
  if (!getClassObject) {
    FreeLibrary(module);
    return CO_E_ERRORINDLL;
  }
  HRESULT hr = getClassObject(rclsid, riid, ppv);
  RecordServer(module);
  return hr;
}

}  // namespace

EXTERN_C HRESULT STDAPICALLTYPE CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                                                 LPVOID *ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (!tp::com::ThreadMayUseCom()) return CO_E_NOTINITIALIZED;
  if ((dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)) == 0) return REGDB_E_CLASSNOTREG;
  if ((dwClsContext & CLSCTX_INPROC_SERVER) != 0) {
    std::vector<WCHAR> path;
    if (FindInprocServer(rclsid, path)) return GetInprocClassObject(path, rclsid, riid, ppv);
  }
  if (IClassFactory *builtin = FindBuiltinFactory(rclsid)) return builtin->QueryInterface(riid, ppv);
  return REGDB_E_CLASSNOTREG;
}

EXTERN_C HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                                 LPVOID *ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  IClassFactory *factory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<LPVOID *>(&factory));
  if (FAILED(hr)) return hr;
  if (!factory) return E_UNEXPECTED;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

EXTERN_C void STDAPICALLTYPE CoFreeUnusedLibraries(void) {
  std::lock_guard<std::mutex> lock(g_serversLock);
  for (auto it = g_servers.begin(); it != g_servers.end();) {
    auto canUnload =
        reinterpret_cast<DllCanUnloadNowFn>(reinterpret_cast<void *>(GetProcAddress(it->module, "DllCanUnloadNow")));
    if (canUnload && canUnload() == S_OK) {
      FreeLibrary(it->module);
      it = g_servers.erase(it);
    } else {
      ++it;
    }
  }
}
