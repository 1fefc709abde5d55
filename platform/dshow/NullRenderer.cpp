#include "dshow/NullRenderer.h"

#include <windows.h>
#include <objbase.h>
#include <uuids.h>

#include <new>

#include "dshow/FilterMapper.h"

namespace tp::dshow {

NullRenderer::NullRenderer() : Renderer(CLSID_NullRenderer, u"In") { SetRealTime(true); }

HRESULT NullRenderer::Create(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  NullRenderer *renderer = new (std::nothrow) NullRenderer();
  if (!renderer) return E_OUTOFMEMORY;
  renderer->AddRef();
  HRESULT hr = renderer->QueryInterface(riid, ppv);
  renderer->Release();
  return hr;
}

HRESULT NullRenderer::EnsureRegistered() {
  WCHAR key[128] = u"CLSID\\";
  StringFromGUID2(CLSID_LegacyAmFilterCategory, key + lstrlenW(key), 39);
  lstrcatW(key, u"\\Instance\\");
  StringFromGUID2(CLSID_NullRenderer, key + lstrlenW(key), 39);
  HKEY hkey = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &hkey) == ERROR_SUCCESS) {
    RegCloseKey(hkey);
    return S_FALSE;
  }
  static const REGPINTYPES kAnyType = {&GUID_NULL, &GUID_NULL};
  REGFILTERPINS2 pin{};
  pin.dwFlags = REG_PINFLAG_B_RENDERER;
  pin.cInstances = 1;
  pin.nMediaTypes = 1;
  pin.lpMediaType = &kAnyType;
  REGFILTER2 record{};
  record.dwVersion = 2;
  record.dwMerit = MERIT_NORMAL;
  record.cPins2 = 1;
  record.rgPins2 = &pin;
  IFilterMapper2 *mapper = nullptr;
  HRESULT hr = CreateFilterMapper(nullptr, IID_IFilterMapper2, reinterpret_cast<void **>(&mapper));
  if (FAILED(hr)) return hr;
  hr = mapper->RegisterFilter(CLSID_NullRenderer, u"Null Renderer", nullptr, &CLSID_LegacyAmFilterCategory, nullptr,
                              &record);
  mapper->Release();
  return hr;
}

}  // namespace tp::dshow
