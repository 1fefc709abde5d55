#include "dshow/FilterRegistry.h"

#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstring>

namespace tp::dshow {
namespace {

std::u16string Braced(REFGUID g) {
  OLECHAR text[39];
  StringFromGUID2(g, text, 39);
  return std::u16string(text);
}

std::u16string Decimal(DWORD n) {
  std::u16string s;
  do {
    s.insert(s.begin(), static_cast<char16_t>(u'0' + n % 10));
    n /= 10;
  } while (n);
  return s;
}

class OpenKey {
 public:
  OpenKey(HKEY parent, const std::u16string &path) {
    if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &m_key) != ERROR_SUCCESS) m_key = nullptr;
  }
  ~OpenKey() {
    if (m_key) RegCloseKey(m_key);
  }
  OpenKey(const OpenKey &) = delete;
  OpenKey &operator=(const OpenKey &) = delete;
  HKEY get() const { return m_key; }

  bool String(LPCWSTR name, std::u16string &out) const {
    WCHAR buf[260];
    DWORD type = 0, size = sizeof buf - sizeof(WCHAR);
    if (RegQueryValueExW(m_key, name, nullptr, &type, reinterpret_cast<BYTE *>(buf), &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
      return false;
    }
    buf[size / sizeof(WCHAR)] = 0;
    out = std::u16string(buf);
    return true;
  }
  bool Guid(LPCWSTR name, GUID &out) const {
    std::u16string text;
    return String(name, text) && SUCCEEDED(CLSIDFromString(text.c_str(), &out));
  }
  DWORD Dword(LPCWSTR name, DWORD fallback) const {
    DWORD value = 0, type = 0, size = sizeof value;
    if (RegQueryValueExW(m_key, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
      return fallback;
    }
    return value;
  }
  // Names of the subkeys, at most `limit`.
  std::vector<std::u16string> Subkeys(size_t limit) const {
    std::vector<std::u16string> names;
    for (DWORD i = 0; names.size() < limit; ++i) {
      WCHAR name[260];
      DWORD len = 260;
      if (RegEnumKeyExW(m_key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      names.emplace_back(name, len);
    }
    return names;
  }

 private:
  HKEY m_key = nullptr;
};

bool Matches(REFGUID registered, REFGUID wanted) {
  return IsEqualGUID(registered, GUID_NULL) || IsEqualGUID(wanted, GUID_NULL) || IsEqualGUID(registered, wanted);
}

}  // namespace

std::vector<RegisteredFilter> ReadRegisteredFilters(REFCLSID category) {
  std::vector<RegisteredFilter> out;
  OpenKey parent(HKEY_CLASSES_ROOT, u"CLSID\\" + Braced(category) + u"\\Instance");
  if (!parent.get()) return out;
  for (const std::u16string &instance : parent.Subkeys(kMaxRecords)) {
    OpenKey key(parent.get(), instance);
    RegisteredFilter f;
    if (!key.get() || !key.Guid(u"CLSID", f.clsid)) continue;
    f.merit = key.Dword(u"Merit", MERIT_DO_NOT_USE);
    key.String(u"FriendlyName", f.name);
    OpenKey pins(key.get(), u"Pins");
    // Pins and types are numbered from 0 without gaps; reading stops at the
    // first missing number, as the mapper never writes a gap.
    for (DWORD p = 0; pins.get() && p < 256; ++p) {
      OpenKey pinKey(pins.get(), Decimal(p));
      if (!pinKey.get()) break;
      RegisteredPin rp;
      rp.flags = pinKey.Dword(u"Flags", 0);
      OpenKey types(pinKey.get(), u"Types");
      for (DWORD t = 0; types.get() && t < 256; ++t) {
        OpenKey type(types.get(), Decimal(t));
        if (!type.get()) break;
        GUID major = GUID_NULL, minor = GUID_NULL;
        type.Guid(u"Major", major);
        type.Guid(u"Minor", minor);
        rp.types.emplace_back(major, minor);
      }
      f.pins.push_back(std::move(rp));
    }
    out.push_back(std::move(f));
  }
  return out;
}

bool PinTakesType(const RegisteredPin &pin, REFGUID major, REFGUID minor) {
  if (pin.flags & REG_PINFLAG_B_OUTPUT) return false;
  // A pin registered without types takes anything.
  if (pin.types.empty()) return true;
  for (const auto &t : pin.types) {
    if (Matches(t.first, major) && Matches(t.second, minor)) return true;
  }
  return false;
}

std::vector<RegisteredFilter> FindFiltersTaking(REFCLSID category, REFGUID major, REFGUID minor) {
  std::vector<RegisteredFilter> found;
  for (RegisteredFilter &f : ReadRegisteredFilters(category)) {
    if (f.merit <= MERIT_DO_NOT_USE) continue;
    if (std::any_of(f.pins.begin(), f.pins.end(),
                    [&](const RegisteredPin &p) { return PinTakesType(p, major, minor); }))
      found.push_back(std::move(f));
  }
  std::stable_sort(found.begin(), found.end(), [](const RegisteredFilter &a, const RegisteredFilter &b) {
    if (a.merit != b.merit) return a.merit > b.merit;
    return std::memcmp(&a.clsid, &b.clsid, sizeof(CLSID)) < 0;
  });
  return found;
}

}  // namespace tp::dshow
