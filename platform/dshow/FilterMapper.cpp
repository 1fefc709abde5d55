#include "dshow/FilterMapper.h"

#include <windows.h>
#include <objbase.h>
#include <uuids.h>

#include <new>
#include <string>

namespace tp::dshow {
namespace {

std::u16string Braced(REFGUID g) {
  OLECHAR text[39];
  StringFromGUID2(g, text, 39);
  return std::u16string(text);
}

std::u16string Decimal(unsigned long n) {
  std::u16string s;
  do {
    s.insert(s.begin(), static_cast<char16_t>(u'0' + n % 10));
    n /= 10;
  } while (n);
  return s;
}

std::u16string InstanceParent(const CLSID *pclsidCategory) {
  return u"CLSID\\" + Braced(pclsidCategory ? *pclsidCategory : CLSID_LegacyAmFilterCategory) + u"\\Instance";
}

HRESULT FromWin32(LSTATUS status) { return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status); }

// RAII for a key this file opened.
class Key {
 public:
  ~Key() {
    if (m_key) RegCloseKey(m_key);
  }
  LSTATUS Create(HKEY parent, const std::u16string &path) {
    return RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &m_key,
                           nullptr);
  }
  LSTATUS SetString(LPCWSTR name, const std::u16string &value) {
    return RegSetValueExW(m_key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
  }
  LSTATUS SetDword(LPCWSTR name, DWORD value) {
    return RegSetValueExW(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
  }
  HKEY get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

struct PinView {
  const WCHAR *name;  // null for version 2
  DWORD flags;
  UINT instances;
  UINT nTypes;
  const REGPINTYPES *types;
};

HRESULT WritePin(HKEY filterKey, ULONG index, const PinView &pin) {
  Key key;
  LSTATUS st = key.Create(filterKey, u"Pins\\" + Decimal(index));
  if (st == ERROR_SUCCESS && pin.name) st = key.SetString(u"Name", pin.name);
  if (st == ERROR_SUCCESS) st = key.SetDword(u"Flags", pin.flags);
  if (st == ERROR_SUCCESS) st = key.SetDword(u"Instances", pin.instances);
  for (UINT t = 0; st == ERROR_SUCCESS && t < pin.nTypes; ++t) {
    Key type;
    st = type.Create(key.get(), u"Types\\" + Decimal(t));
    const REGPINTYPES &rt = pin.types[t];
    if (st == ERROR_SUCCESS) st = type.SetString(u"Major", Braced(rt.clsMajorType ? *rt.clsMajorType : GUID_NULL));
    if (st == ERROR_SUCCESS) st = type.SetString(u"Minor", Braced(rt.clsMinorType ? *rt.clsMinorType : GUID_NULL));
  }
  return FromWin32(st);
}

}  // namespace

HRESULT FilterMapper::Create(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  auto *mapper = new (std::nothrow) FilterMapper();
  if (!mapper) return E_OUTOFMEMORY;
  mapper->AddRef();
  HRESULT hr = mapper->QueryInterface(riid, ppv);
  mapper->Release();
  return hr;
}

STDMETHODIMP FilterMapper::QueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IFilterMapper2)) {
    *ppv = static_cast<IFilterMapper2 *>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) FilterMapper::AddRef() { return static_cast<ULONG>(++m_cRef); }

STDMETHODIMP_(ULONG) FilterMapper::Release() {
  LONG ref = --m_cRef;
  if (ref == 0) delete this;
  return static_cast<ULONG>(ref < 0 ? 0 : ref);
}

STDMETHODIMP FilterMapper::CreateCategory(REFCLSID clsidCategory, DWORD dwCategoryMerit, LPCWSTR Description) {
  Key key;
  LSTATUS st =
      key.Create(HKEY_CLASSES_ROOT, InstanceParent(&CLSID_ActiveMovieCategories) + u"\\" + Braced(clsidCategory));
  if (st == ERROR_SUCCESS) st = key.SetString(u"FriendlyName", Description ? Description : u"");
  if (st == ERROR_SUCCESS) st = key.SetString(u"CLSID", Braced(clsidCategory));
  if (st == ERROR_SUCCESS) st = key.SetDword(u"Merit", dwCategoryMerit);
  return FromWin32(st);
}

STDMETHODIMP FilterMapper::UnregisterFilter(const CLSID *pclsidCategory, LPCOLESTR szInstance, REFCLSID Filter) {
  const std::u16string instance = (szInstance && *szInstance) ? std::u16string(szInstance) : Braced(Filter);
  HKEY parent = nullptr;
  LSTATUS st = RegOpenKeyExW(HKEY_CLASSES_ROOT, InstanceParent(pclsidCategory).c_str(), 0, KEY_ALL_ACCESS, &parent);
  if (st != ERROR_SUCCESS) return FromWin32(st);
  st = RegDeleteTreeW(parent, instance.c_str());
  RegCloseKey(parent);
  return FromWin32(st);
}

STDMETHODIMP FilterMapper::RegisterFilter(REFCLSID clsidFilter, LPCWSTR Name, IMoniker **ppMoniker,
                                          const CLSID *pclsidCategory, LPCOLESTR szInstance, const REGFILTER2 *prf2) {
  if (ppMoniker) *ppMoniker = nullptr;
  if (!prf2) return E_POINTER;
  if (prf2->dwVersion != 1 && prf2->dwVersion != 2) return E_INVALIDARG;
  const ULONG pinCount = prf2->dwVersion == 1 ? prf2->cPins : prf2->cPins2;
  if (pinCount > kMaxPins) return E_INVALIDARG;
  if (pinCount > 0 && (prf2->dwVersion == 1 ? !prf2->rgPins : !prf2->rgPins2)) return E_POINTER;
  // Check every pin before writing anything.
  for (ULONG i = 0; i < pinCount; ++i) {
    const UINT n = prf2->dwVersion == 1 ? prf2->rgPins[i].nMediaTypes : prf2->rgPins2[i].nMediaTypes;
    const REGPINTYPES *types = prf2->dwVersion == 1 ? prf2->rgPins[i].lpMediaType : prf2->rgPins2[i].lpMediaType;
    if (n > kMaxTypesPerPin) return E_INVALIDARG;
    if (n > 0 && !types) return E_POINTER;
  }

  const std::u16string instance = (szInstance && *szInstance) ? std::u16string(szInstance) : Braced(clsidFilter);
  // A new registration replaces the old one completely.
  UnregisterFilter(pclsidCategory, szInstance, clsidFilter);
  Key key;
  LSTATUS st = key.Create(HKEY_CLASSES_ROOT, InstanceParent(pclsidCategory) + u"\\" + instance);
  if (st == ERROR_SUCCESS) st = key.SetString(u"FriendlyName", Name ? Name : u"");
  if (st == ERROR_SUCCESS) st = key.SetString(u"CLSID", Braced(clsidFilter));
  if (st == ERROR_SUCCESS) st = key.SetDword(u"Merit", prf2->dwMerit);
  HRESULT hr = FromWin32(st);
  for (ULONG i = 0; SUCCEEDED(hr) && i < pinCount; ++i) {
    PinView pin{};
    if (prf2->dwVersion == 1) {
      const REGFILTERPINS &p = prf2->rgPins[i];
      pin.name = p.strName;
      pin.flags = (p.bRendered ? REG_PINFLAG_B_RENDERER : 0) | (p.bOutput ? REG_PINFLAG_B_OUTPUT : 0) |
                  (p.bZero ? REG_PINFLAG_B_ZERO : 0) | (p.bMany ? REG_PINFLAG_B_MANY : 0);
      pin.instances = 0;
      pin.nTypes = p.nMediaTypes;
      pin.types = p.lpMediaType;
    } else {
      const REGFILTERPINS2 &p = prf2->rgPins2[i];
      pin.flags = p.dwFlags;
      pin.instances = p.cInstances;
      pin.nTypes = p.nMediaTypes;
      pin.types = p.lpMediaType;
    }
    hr = WritePin(key.get(), i, pin);
  }
  if (FAILED(hr)) UnregisterFilter(pclsidCategory, szInstance, clsidFilter);
  return hr;
}

STDMETHODIMP FilterMapper::EnumMatchingFilters(IEnumMoniker **ppEnum, DWORD, BOOL, DWORD, BOOL, DWORD, const GUID *,
                                               const REGPINMEDIUM *, const CLSID *, BOOL, BOOL, DWORD, const GUID *,
                                               const REGPINMEDIUM *, const CLSID *) {
  if (ppEnum) *ppEnum = nullptr;
  return E_NOTIMPL;
}

}  // namespace tp::dshow
