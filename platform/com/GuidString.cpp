// GUID <-> registry text: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}",
// upper-case hexadecimal, 38 characters plus the terminator.
#include <objbase.h>

#include <cstring>

namespace {

constexpr int kGuidChars = 38;

void PutHex(OLECHAR *&out, uint64_t value, int digits) {
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = digits - 1; i >= 0; --i) *out++ = static_cast<OLECHAR>(kHex[(value >> (4 * i)) & 0xF]);
}

bool ReadHex(const OLECHAR *&in, int digits, uint64_t &value) {
  value = 0;
  for (int i = 0; i < digits; ++i) {
    OLECHAR c = *in++;
    int d;
    if (c >= u'0' && c <= u'9')
      d = c - u'0';
    else if (c >= u'a' && c <= u'f')
      d = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F')
      d = c - u'A' + 10;
    else
      return false;
    value = (value << 4) | static_cast<uint64_t>(d);
  }
  return true;
}

bool Expect(const OLECHAR *&in, OLECHAR c) { return *in++ == c; }

// Reads exactly the braced form; stops at the first character that does not
// fit, so a short or unterminated string is never read past its end.
bool ParseGuid(const OLECHAR *s, GUID &g) {
  uint64_t v;
  if (!Expect(s, u'{') || !ReadHex(s, 8, v)) return false;
  g.Data1 = static_cast<uint32_t>(v);
  if (!Expect(s, u'-') || !ReadHex(s, 4, v)) return false;
  g.Data2 = static_cast<uint16_t>(v);
  if (!Expect(s, u'-') || !ReadHex(s, 4, v)) return false;
  g.Data3 = static_cast<uint16_t>(v);
  if (!Expect(s, u'-')) return false;
  for (int i = 0; i < 8; ++i) {
    if (i == 2 && !Expect(s, u'-')) return false;
    if (!ReadHex(s, 2, v)) return false;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  return Expect(s, u'}') && *s == 0;
}

HRESULT StringFromGuidAlloc(REFGUID g, LPOLESTR *out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  *out = static_cast<LPOLESTR>(CoTaskMemAlloc((kGuidChars + 1) * sizeof(OLECHAR)));
  if (!*out) return E_OUTOFMEMORY;
  StringFromGUID2(g, *out, kGuidChars + 1);
  return S_OK;
}

}  // namespace

EXTERN_C int STDAPICALLTYPE StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (!lpsz || cchMax < kGuidChars + 1) return 0;
  OLECHAR *out = lpsz;
  *out++ = u'{';
  PutHex(out, rguid.Data1, 8);
  *out++ = u'-';
  PutHex(out, rguid.Data2, 4);
  *out++ = u'-';
  PutHex(out, rguid.Data3, 4);
  *out++ = u'-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) *out++ = u'-';
    PutHex(out, rguid.Data4[i], 2);
  }
  *out++ = u'}';
  *out = 0;
  return kGuidChars + 1;
}

EXTERN_C HRESULT STDAPICALLTYPE StringFromCLSID(REFCLSID rclsid, LPOLESTR *lplpsz) {
  return StringFromGuidAlloc(rclsid, lplpsz);
}

EXTERN_C HRESULT STDAPICALLTYPE StringFromIID(REFIID riid, LPOLESTR *lplpsz) {
  return StringFromGuidAlloc(riid, lplpsz);
}

EXTERN_C HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (!pclsid) return E_INVALIDARG;
  if (!lpsz || !*lpsz) {
    *pclsid = GUID_NULL;
    return S_OK;
  }
  GUID g;
  if (!ParseGuid(lpsz, g)) return CO_E_CLASSSTRING;
  *pclsid = g;
  return S_OK;
}

EXTERN_C HRESULT STDAPICALLTYPE IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
  if (!lpiid) return E_INVALIDARG;
  if (!lpsz) {
    *lpiid = GUID_NULL;
    return S_OK;
  }
  GUID g;
  if (!ParseGuid(lpsz, g)) return E_INVALIDARG;
  *lpiid = g;
  return S_OK;
}
