// OLE automation strings over the C heap: a 32-bit byte count, the
// characters, a NUL; the BSTR points at the characters. Lengths that do not
// fit the count are refused (null), as on Windows.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <oleauto.h>

namespace {

constexpr UINT kLongest = (UINT32_MAX - sizeof(uint32_t) - sizeof(OLECHAR)) / sizeof(OLECHAR);

uint32_t *Header(BSTR bstr) { return reinterpret_cast<uint32_t *>(bstr) - 1; }

}  // namespace

EXTERN_C BSTR WINAPI SysAllocStringLen(const OLECHAR *pch, UINT len) {
  if (len > kLongest) return nullptr;
  const size_t bytes = size_t(len) * sizeof(OLECHAR);
  auto *block = static_cast<uint32_t *>(std::malloc(sizeof(uint32_t) + bytes + sizeof(OLECHAR)));
  if (!block) return nullptr;
  block[0] = uint32_t(bytes);
  BSTR text = reinterpret_cast<BSTR>(block + 1);
  if (pch && bytes) std::memcpy(text, pch, bytes);
  text[len] = 0;
  return text;
}

EXTERN_C BSTR WINAPI SysAllocString(const OLECHAR *psz) {
  if (!psz) return nullptr;
  UINT len = 0;
  while (psz[len] != 0) ++len;
  return SysAllocStringLen(psz, len);
}

EXTERN_C void WINAPI SysFreeString(BSTR bstr) {
  if (bstr) std::free(Header(bstr));
}

EXTERN_C UINT WINAPI SysStringLen(BSTR bstr) { return bstr ? UINT(*Header(bstr) / sizeof(OLECHAR)) : 0; }
