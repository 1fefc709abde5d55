#include "dshow/LegacyFilterMapper.h"

#include <windows.h>
#include <objbase.h>
#include <uuids.h>
#include <vfwmsgs.h>

#include <new>
#include <string>

#include "dshow/FilterMapper.h"

namespace tp::dshow {
namespace {

std::u16string Braced(REFGUID g) {
  OLECHAR text[39];
  StringFromGUID2(g, text, 39);
  return std::u16string(text);
}

std::u16string FilterKeyPath(REFCLSID filter) {
  return u"CLSID\\" + Braced(CLSID_LegacyAmFilterCategory) + u"\\Instance\\" + Braced(filter);
}

HRESULT FromWin32(LSTATUS status) { return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status); }

// RAII for a key this file opened.
class Key {
 public:
  ~Key() {
    if (m_key) RegCloseKey(m_key);
  }
  LSTATUS Open(HKEY parent, const std::u16string &path) {
    return RegOpenKeyExW(parent, path.c_str(), 0, KEY_ALL_ACCESS, &m_key);
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
  std::u16string GetString(LPCWSTR name) {
    WCHAR text[512] = {};
    DWORD size = sizeof text - sizeof(WCHAR), type = 0;
    if (RegQueryValueExW(m_key, name, nullptr, &type, reinterpret_cast<BYTE *>(text), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
      return std::u16string();
    return std::u16string(text);
  }
  // Name of subkey `index`, or empty when there is none.
  std::u16string SubkeyName(DWORD index) {
    WCHAR name[256];
    DWORD length = 256;
    if (RegEnumKeyExW(m_key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return u"";
    return std::u16string(name, length);
  }
  HKEY get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

bool SameName(const std::u16string &a, LPCWSTR b) { return lstrcmpiW(a.c_str(), b) == 0; }

// The "Pins\<n>" subkey of the filter whose "Name" is `name`: found gives
// its number; otherwise `next` is the first free number.
bool FindPin(HKEY filterKey, LPCWSTR name, unsigned long *found, unsigned long *next) {
  Key pins;
  *next = 0;
  if (pins.Open(filterKey, u"Pins") != ERROR_SUCCESS) return false;
  for (DWORD i = 0;; ++i) {
    const std::u16string sub = pins.SubkeyName(i);
    if (sub.empty()) return false;
    unsigned long number = 0;
    for (char16_t c : sub) number = number * 10 + static_cast<unsigned long>(c - u'0');
    if (number + 1 > *next) *next = number + 1;
    Key pin;
    if (pin.Open(pins.get(), sub) == ERROR_SUCCESS && SameName(pin.GetString(u"Name"), name)) {
      *found = number;
      return true;
    }
  }
}

std::u16string Decimal(unsigned long n) {
  std::u16string s;
  do {
    s.insert(s.begin(), static_cast<char16_t>(u'0' + n % 10));
    n /= 10;
  } while (n);
  return s;
}

}  // namespace

HRESULT LegacyFilterMapper::Create(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  auto *mapper = new (std::nothrow) LegacyFilterMapper();
  if (!mapper) return E_OUTOFMEMORY;
  mapper->AddRef();
  HRESULT hr = mapper->QueryInterface(riid, ppv);
  mapper->Release();
  return hr;
}

STDMETHODIMP LegacyFilterMapper::QueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IFilterMapper)) {
    *ppv = static_cast<IFilterMapper *>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) LegacyFilterMapper::AddRef() { return static_cast<ULONG>(++m_cRef); }

STDMETHODIMP_(ULONG) LegacyFilterMapper::Release() {
  LONG ref = --m_cRef;
  if (ref == 0) delete this;
  return static_cast<ULONG>(ref < 0 ? 0 : ref);
}

STDMETHODIMP LegacyFilterMapper::RegisterFilter(CLSID clsid, LPCWSTR Name, DWORD dwMerit) {
  // One record without pins through the new mapper, so both write alike.
  IFilterMapper2 *mapper = nullptr;
  HRESULT hr = CreateFilterMapper(nullptr, IID_IFilterMapper2, reinterpret_cast<void **>(&mapper));
  if (FAILED(hr)) return hr;
  REGFILTER2 record{};
  record.dwVersion = 1;
  record.dwMerit = dwMerit;
  hr = mapper->RegisterFilter(clsid, Name, nullptr, nullptr, nullptr, &record);
  mapper->Release();
  return hr;
}

STDMETHODIMP LegacyFilterMapper::RegisterFilterInstance(CLSID, LPCWSTR, CLSID *MRId) {
  if (MRId) *MRId = GUID_NULL;
  return E_NOTIMPL;
}

STDMETHODIMP LegacyFilterMapper::RegisterPin(CLSID Filter, LPCWSTR Name, BOOL bRendered, BOOL bOutput, BOOL bZero,
                                             BOOL bMany, CLSID, LPCWSTR) {
  if (!Name || !*Name) return E_INVALIDARG;
  Key filter;
  if (filter.Open(HKEY_CLASSES_ROOT, FilterKeyPath(Filter)) != ERROR_SUCCESS) return VFW_E_NOT_FOUND;
  unsigned long number = 0, next = 0;
  if (FindPin(filter.get(), Name, &number, &next)) {
    // A pin registered again starts afresh, without its old types.
    RegDeleteTreeW(filter.get(), (u"Pins\\" + Decimal(number)).c_str());
  } else {
    number = next;
  }
  if (number >= FilterMapper::kMaxPins) return E_INVALIDARG;
  Key pin;
  LSTATUS st = pin.Create(filter.get(), u"Pins\\" + Decimal(number));
  if (st == ERROR_SUCCESS) st = pin.SetString(u"Name", Name);
  if (st == ERROR_SUCCESS)
    st = pin.SetDword(u"Flags", (bRendered ? REG_PINFLAG_B_RENDERER : 0) | (bOutput ? REG_PINFLAG_B_OUTPUT : 0) |
                                    (bZero ? REG_PINFLAG_B_ZERO : 0) | (bMany ? REG_PINFLAG_B_MANY : 0));
  if (st == ERROR_SUCCESS) st = pin.SetDword(u"Instances", 0);
  return FromWin32(st);
}

STDMETHODIMP LegacyFilterMapper::RegisterPinType(CLSID clsFilter, LPCWSTR strName, CLSID clsMajorType,
                                                 CLSID clsSubType) {
  if (!strName) return E_INVALIDARG;
  Key filter;
  if (filter.Open(HKEY_CLASSES_ROOT, FilterKeyPath(clsFilter)) != ERROR_SUCCESS) return VFW_E_NOT_FOUND;
  unsigned long number = 0, next = 0;
  if (!FindPin(filter.get(), strName, &number, &next)) return VFW_E_NOT_FOUND;
  Key types;
  LSTATUS st = types.Create(filter.get(), u"Pins\\" + Decimal(number) + u"\\Types");
  if (st != ERROR_SUCCESS) return FromWin32(st);
  DWORD count = 0;
  while (!types.SubkeyName(count).empty()) ++count;
  if (count >= FilterMapper::kMaxTypesPerPin) return E_INVALIDARG;
  Key type;
  st = type.Create(types.get(), Decimal(count));
  if (st == ERROR_SUCCESS) st = type.SetString(u"Major", Braced(clsMajorType));
  if (st == ERROR_SUCCESS) st = type.SetString(u"Minor", Braced(clsSubType));
  return FromWin32(st);
}

STDMETHODIMP LegacyFilterMapper::UnregisterFilter(CLSID Filter) {
  IFilterMapper2 *mapper = nullptr;
  HRESULT hr = CreateFilterMapper(nullptr, IID_IFilterMapper2, reinterpret_cast<void **>(&mapper));
  if (FAILED(hr)) return hr;
  hr = mapper->UnregisterFilter(nullptr, nullptr, Filter);
  mapper->Release();
  return hr;
}

STDMETHODIMP LegacyFilterMapper::UnregisterFilterInstance(CLSID) { return E_NOTIMPL; }

STDMETHODIMP LegacyFilterMapper::UnregisterPin(CLSID Filter, LPCWSTR Name) {
  if (!Name) return E_INVALIDARG;
  Key filter;
  if (filter.Open(HKEY_CLASSES_ROOT, FilterKeyPath(Filter)) != ERROR_SUCCESS) return VFW_E_NOT_FOUND;
  unsigned long number = 0, next = 0;
  if (!FindPin(filter.get(), Name, &number, &next)) return VFW_E_NOT_FOUND;
  return FromWin32(RegDeleteTreeW(filter.get(), (u"Pins\\" + Decimal(number)).c_str()));
}

STDMETHODIMP LegacyFilterMapper::EnumMatchingFilters(IEnumRegFilters **ppEnum, DWORD, BOOL, CLSID, CLSID, BOOL, BOOL,
                                                     CLSID, CLSID) {
  if (ppEnum) *ppEnum = nullptr;
  return E_NOTIMPL;
}

}  // namespace tp::dshow
