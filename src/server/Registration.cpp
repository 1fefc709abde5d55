#include "server/Registration.h"

#include <objbase.h>
#include <strmif.h>
#include <uuids.h>

#include "server/DllEntry.h"
#include "server/TidepoolSetup.h"
#include "trace/Trace.h"

namespace {

constexpr int kKeyChars = MAX_PATH;
const WCHAR kExtensionsKey[] = TEXT("Media Type\\Extensions");

// Joins up to three parts into out; false (out empty) when they would not
// fit, so no key is ever built from a cut text.
bool JoinKey(WCHAR (&out)[kKeyChars], const WCHAR *a, const WCHAR *b = nullptr, const WCHAR *c = nullptr) {
  out[0] = 0;
  int used = 0;
  for (const WCHAR *part : {a, b, c}) {
    if (!part) continue;
    const int n = lstrlenW(part);
    if (used + n >= kKeyChars) {
      out[0] = 0;
      return false;
    }
    lstrcpynW(out + used, part, n + 1);
    used += n;
  }
  return true;
}

HRESULT FromStatus(LONG status) { return HRESULT_FROM_WIN32(static_cast<DWORD>(status)); }

LONG SetString(HKEY key, const WCHAR *name, const WCHAR *value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                        static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(WCHAR)));
}

void RegisterExtension(const WCHAR *extension, const WCHAR *bracedClsid) {
  WCHAR path[kKeyChars];
  if (!JoinKey(path, kExtensionsKey, TEXT("\\"), extension)) return;
  HKEY key = nullptr;
  const LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                      nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    TraceA8("RegCreateKeyExW failed(%d)\n", static_cast<int>(status));
    return;
  }
  const LONG set = SetString(key, TEXT("Source Filter"), bracedClsid);
  if (set != ERROR_SUCCESS) TraceA8("RegSetValueExW failed(%d)\n", static_cast<int>(set));
  RegCloseKey(key);
}

void UnregisterExtension(const WCHAR *extension) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kExtensionsKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  RegDeleteKeyW(key, extension);
  RegCloseKey(key);
}

HRESULT ClassKeyPath(const CLSID &clsid, WCHAR (&path)[kKeyChars]) {
  OLECHAR braced[39];
  if (StringFromGUID2(clsid, braced, 39) == 0 || !JoinKey(path, TEXT("CLSID\\"), braced)) return E_FAIL;
  return S_OK;
}

// "CLSID\{clsid}" = name, "InprocServer32" = path, "ThreadingModel" = "Both".
HRESULT AMovieSetupRegisterServer(const CLSID &clsid, const WCHAR *name, const WCHAR *modulePath) {
  WCHAR path[kKeyChars];
  if (FAILED(ClassKeyPath(clsid, path))) return E_FAIL;
  HKEY classKey = nullptr;
  LONG status = RegCreateKeyW(HKEY_CLASSES_ROOT, path, &classKey);
  if (status != ERROR_SUCCESS) {
    TraceA8("RegCreateKeyW failed(%d)\n", static_cast<int>(status));
    return FromStatus(status);
  }
  status = SetString(classKey, nullptr, name);
  if (status != ERROR_SUCCESS) {
    TraceA8("RegSetValueExW failed(%d)\n", static_cast<int>(status));
    RegCloseKey(classKey);
    return FromStatus(status);
  }
  HKEY serverKey = nullptr;
  status = RegCreateKeyW(classKey, TEXT("InprocServer32"), &serverKey);
  if (status != ERROR_SUCCESS) {
    TraceA8("RegCreateKeyW failed(%d)\n", static_cast<int>(status));
    RegCloseKey(classKey);
    return FromStatus(status);
  }
  status = SetString(serverKey, nullptr, modulePath);
  if (status == ERROR_SUCCESS) status = SetString(serverKey, TEXT("ThreadingModel"), TEXT("Both"));
  if (status != ERROR_SUCCESS) TraceA8("RegSetValueExW failed(%d)\n", static_cast<int>(status));
  RegCloseKey(serverKey);
  RegCloseKey(classKey);
  return status == ERROR_SUCCESS ? S_OK : FromStatus(status & 0xFFFF);
}

// Deletes parent\name with everything below it, depth first.
HRESULT EliminateSubKey(HKEY parent, const WCHAR *name) {
  if (!name || !*name) return E_FAIL;
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, name, 0, MAXIMUM_ALLOWED, &key) != ERROR_SUCCESS) return S_OK;
  for (;;) {
    WCHAR child[kKeyChars];
    DWORD length = kKeyChars;
    if (RegEnumKeyExW(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    // A child that stays (it could not be deleted) would be found first
    // again for ever: stop there.
    EliminateSubKey(key, child);
    WCHAR again[kKeyChars];
    DWORD againLength = kKeyChars;
    if (RegEnumKeyExW(key, 0, again, &againLength, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        lstrcmpiW(again, child) == 0)
      break;
  }
  RegCloseKey(key);
  RegDeleteKeyW(parent, name);
  return S_OK;
}

HRESULT AMovieSetupUnregisterServer(const CLSID &clsid) {
  WCHAR path[kKeyChars];
  if (FAILED(ClassKeyPath(clsid, path))) return E_FAIL;
  EliminateSubKey(HKEY_CLASSES_ROOT, path);
  return S_OK;
}

HRESULT NotFoundIsSuccess(HRESULT hr) { return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ? S_OK : hr; }

HRESULT AMovieSetupRegisterFilter2(const AMOVIESETUP_FILTER *setup, IFilterMapper2 *mapper, BOOL bRegister) {
  if (!setup) return S_FALSE;
  // Registering replaces: the old entry always goes first.
  HRESULT hr = mapper->UnregisterFilter(nullptr, nullptr, *setup->clsID);
  if (bRegister) {
    REGFILTER2 record{};
    record.dwVersion = 1;
    record.dwMerit = setup->dwMerit;
    record.cPins = setup->nPins;
    record.rgPins = setup->lpPin;
    hr = mapper->RegisterFilter(*setup->clsID, setup->strName, nullptr, nullptr, nullptr, &record);
    if (FAILED(hr)) TraceA8("IFilterMapper2::RegisterFilter failed(0x%x)\n", hr);
  }
  return NotFoundIsSuccess(hr);
}

HRESULT AMovieSetupRegisterFilter(const AMOVIESETUP_FILTER *setup, IFilterMapper *mapper, BOOL bRegister) {
  if (!setup) return S_FALSE;
  HRESULT hr = mapper->UnregisterFilter(*setup->clsID);
  if (bRegister) {
    hr = mapper->RegisterFilter(*setup->clsID, setup->strName, setup->dwMerit);
    for (UINT p = 0; SUCCEEDED(hr) && p < setup->nPins; ++p) {
      const AMOVIESETUP_PIN &pin = setup->lpPin[p];
      hr = mapper->RegisterPin(*setup->clsID, pin.strName, pin.bRendered, pin.bOutput, pin.bZero, pin.bMany,
                               pin.clsConnectsToFilter ? *pin.clsConnectsToFilter : CLSID_NULL, pin.strConnectsToPin);
      for (UINT t = 0; SUCCEEDED(hr) && t < pin.nMediaTypes; ++t) {
        const AMOVIESETUP_MEDIATYPE &type = pin.lpMediaType[t];
        hr = mapper->RegisterPinType(*setup->clsID, pin.strName, type.clsMajorType ? *type.clsMajorType : GUID_NULL,
                                     type.clsMinorType ? *type.clsMinorType : GUID_NULL);
      }
    }
    if (FAILED(hr)) TraceA8("IFilterMapper registration failed(0x%x)\n", hr);
  }
  return NotFoundIsSuccess(hr);
}

// The filter mapper step: creates a mapper and (un)registers every filter
// template through it.
HRESULT RegisterFiltersWithMapper(BOOL bRegister) {
  // A thread already in the multithreaded apartment keeps it: COM is only
  // given back when this call started it.
  const bool comStarted = SUCCEEDED(CoInitialize(nullptr));
  IFilterMapper2 *mapper2 = nullptr;
  IFilterMapper *mapper = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                reinterpret_cast<void **>(&mapper2));
  if (FAILED(hr)) {
    TraceA4("CoCreateInstance(CLSID_FilterMapper2) failed(0x%x)\n", hr);
    hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                          reinterpret_cast<void **>(&mapper));
    if (FAILED(hr)) TraceA8("CoCreateInstance(CLSID_FilterMapper) failed(0x%x)\n", hr);
  }
  if (SUCCEEDED(hr)) {
    for (int i = 0; i < g_cTemplates && SUCCEEDED(hr); ++i) {
      const AMOVIESETUP_FILTER *setup = g_Templates[i].m_pAMovieSetup_Filter;
      if (!setup) continue;
      hr = mapper2 ? AMovieSetupRegisterFilter2(setup, mapper2, bRegister)
                   : AMovieSetupRegisterFilter(setup, mapper, bRegister);
    }
  }
  if (mapper2) mapper2->Release();
  if (mapper) mapper->Release();
  CoFreeUnusedLibraries();
  if (comStarted) CoUninitialize();
  return hr;
}

}  // namespace

HRESULT GetModulePath(HINSTANCE module, WCHAR (&path)[MAX_PATH]) {
  path[0] = 0;
  char narrow[MAX_PATH];
  const DWORD length = GetModuleFileNameA(module, narrow, MAX_PATH);
  if (length == 0) {
    const DWORD error = GetLastError();
    TraceA8("GetModuleFileNameA failed(%d)\n", static_cast<int>(error));
    return HRESULT_FROM_WIN32(error ? error : ERROR_INVALID_HANDLE);
  }
  if (length >= MAX_PATH) {
    // The name was cut to fit: registering it would name another file.
    TraceA8("GetModuleFileNameA failed(%d)\n", ERROR_FILENAME_EXCED_RANGE);
    return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  }
  if (MultiByteToWideChar(CP_ACP, 0, narrow, -1, path, MAX_PATH) == 0) {
    const DWORD error = GetLastError();
    TraceA8("MultiByteToWideChar failed(%d)\n", static_cast<int>(error));
    path[0] = 0;
    return HRESULT_FROM_WIN32(error ? error : ERROR_FILENAME_EXCED_RANGE);
  }
  return S_OK;
}

HRESULT AMovieDllRegisterServer2(BOOL bRegister, const WCHAR *modulePath) {
  HRESULT hr = S_OK;
  if (bRegister) {
    for (int i = 0; i < g_cTemplates && SUCCEEDED(hr); ++i)
      hr = AMovieSetupRegisterServer(*g_Templates[i].m_ClsID, g_Templates[i].m_Name, modulePath);
    if (FAILED(hr)) return hr;
  }
  hr = RegisterFiltersWithMapper(bRegister);
  if (FAILED(hr) || bRegister) return hr;
  for (int i = 0; i < g_cTemplates && SUCCEEDED(hr); ++i) hr = AMovieSetupUnregisterServer(*g_Templates[i].m_ClsID);
  return hr;
}

EXTERN_C HRESULT STDAPICALLTYPE DllRegisterServer(void) {
  WCHAR modulePath[MAX_PATH];
  // The path is checked before anything is written.
  HRESULT hr = GetModulePath(ModuleInstance(), modulePath);
  if (FAILED(hr)) return hr;
  OLECHAR braced[39];
  StringFromGUID2(*sudTidepool.clsID, braced, 39);
  for (int i = 0; i < kTidepoolExtensionCount; ++i) RegisterExtension(kTidepoolExtensions[i], braced);
  return AMovieDllRegisterServer2(TRUE, modulePath);
}

EXTERN_C HRESULT STDAPICALLTYPE DllUnregisterServer(void) {
  for (int i = 0; i < kTidepoolExtensionCount; ++i) UnregisterExtension(kTidepoolExtensions[i]);
  return AMovieDllRegisterServer2(FALSE, nullptr);
}
