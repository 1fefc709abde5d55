// Code page conversions: MultiByteToWideChar, WideCharToMultiByte, GetACP,
// and the UTF-8 / UTF-16 helpers the other stand-ins use.
#include "win32/CodePage.h"

#include <cstring>

namespace tp::win32 {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendCodePoint(char32_t c, std::u16string &out) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

void AppendCodePoint(char32_t c, std::string &out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

bool AppendUtf8AsUtf16(std::string_view in, std::u16string &out) {
  bool valid = true;
  const auto *p = reinterpret_cast<const unsigned char *>(in.data());
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    // Lead byte: number of continuation bytes and the allowed range of the
    // first one (which rules out overlong forms, surrogates and values past
    // U+10FFFF), as in the Unicode standard's table of well-formed sequences.
    int extra = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t c = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1;
      c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2;
      c = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3;
      c = b & 0x07;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      valid = false;
      out.push_back(static_cast<char16_t>(kReplacement));
      ++i;
      continue;
    }
    size_t j = i + 1;
    int got = 0;
    for (; got < extra && j < n; ++got, ++j) {
      const unsigned char cb = p[j];
      const unsigned char low = got == 0 ? lo : 0x80, high = got == 0 ? hi : 0xBF;
      if (cb < low || cb > high) break;
      c = (c << 6) | (cb & 0x3F);
    }
    if (got < extra) {
      // One replacement for the maximal invalid subpart; the byte that broke
      // the sequence starts over.
      valid = false;
      out.push_back(static_cast<char16_t>(kReplacement));
      i = j;
      continue;
    }
    AppendCodePoint(c, out);
    i = j;
  }
  return valid;
}

bool AppendUtf16AsUtf8(std::u16string_view in, std::string &out, std::string_view replacement) {
  bool valid = true;
  for (size_t i = 0; i < in.size(); ++i) {
    const char16_t u = in[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      AppendCodePoint(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (in[i + 1] - 0xDC00), out);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      valid = false;
      out.append(replacement);
    } else {
      AppendCodePoint(u, out);
    }
  }
  return valid;
}

std::u16string Utf8ToUtf16(std::string_view in) {
  std::u16string out;
  AppendUtf8AsUtf16(in, out);
  return out;
}

std::string Utf16ToUtf8(std::u16string_view in) {
  std::string out;
  AppendUtf16AsUtf8(in, out);
  return out;
}

std::u16string_view WideView(LPCWSTR s) { return s ? std::u16string_view(s) : std::u16string_view(); }

namespace {
std::string SlashPath(std::string s) {
  for (char &c : s)
    if (c == '\\') c = '/';
  return s;
}
}  // namespace

std::string PathFromWide(LPCWSTR path) { return SlashPath(Utf16ToUtf8(WideView(path))); }
std::string PathFromNarrow(LPCSTR path) { return SlashPath(path ? std::string(path) : std::string()); }

}  // namespace tp::win32

using tp::win32::AppendUtf16AsUtf8;
using tp::win32::AppendUtf8AsUtf16;

namespace {

bool IsUtf8CodePage(UINT cp) { return cp == CP_ACP || cp == CP_OEMCP || cp == CP_THREAD_ACP || cp == CP_UTF8; }

// Copies `units` into the caller's buffer, or reports the count needed.
template <class Unit>
int Deliver(const std::basic_string<Unit> &units, Unit *out, int outSize) {
  if (units.size() > static_cast<size_t>(INT32_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const int n = static_cast<int>(units.size());
  if (outSize == 0) return n;
  if (n > outSize) {
    std::memcpy(out, units.data(), static_cast<size_t>(outSize) * sizeof(Unit));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, units.data(), units.size() * sizeof(Unit));
  return n;
}

}  // namespace

EXTERN_C UINT WINAPI GetACP(void) { return CP_UTF8; }
EXTERN_C UINT WINAPI GetOEMCP(void) { return CP_UTF8; }

EXTERN_C int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                                        LPWSTR lpWideCharStr, int cchWideChar) {
  if (!IsUtf8CodePage(CodePage) || !lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 && !lpWideCharStr) ||
      (cchWideChar > 0 && static_cast<const void *>(lpMultiByteStr) == static_cast<const void *>(lpWideCharStr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const DWORD allowed = CodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS
                                            : (MB_ERR_INVALID_CHARS | MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS);
  if (dwFlags & ~allowed) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  // -1: the input runs to its NUL, which is converted too.
  const size_t len = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  std::u16string wide;
  if (!AppendUtf8AsUtf16(std::string_view(lpMultiByteStr, len), wide) && (dwFlags & MB_ERR_INVALID_CHARS)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return Deliver(wide, lpWideCharStr, cchWideChar);
}

EXTERN_C int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                                        LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                                        LPBOOL lpUsedDefaultChar) {
  if (!IsUtf8CodePage(CodePage) || !lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && !lpMultiByteStr) ||
      (cbMultiByte > 0 && static_cast<const void *>(lpMultiByteStr) == static_cast<const void *>(lpWideCharStr)) ||
      // As on Windows, UTF-8 has no default character.
      (CodePage == CP_UTF8 && (lpDefaultChar || lpUsedDefaultChar))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const DWORD allowed = CodePage == CP_UTF8 ? WC_ERR_INVALID_CHARS
                                            : (WC_ERR_INVALID_CHARS | WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS |
                                               WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS);
  if (dwFlags & ~allowed) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  const size_t len =
      cchWideChar == -1 ? std::u16string_view(lpWideCharStr).size() + 1 : static_cast<size_t>(cchWideChar);
  std::string narrow;
  std::string_view replacement = "\xEF\xBF\xBD";
  if (lpDefaultChar && *lpDefaultChar) replacement = std::string_view(lpDefaultChar, 1);
  const bool valid = AppendUtf16AsUtf8(std::u16string_view(lpWideCharStr, len), narrow, replacement);
  if (!valid && (dwFlags & WC_ERR_INVALID_CHARS)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (lpUsedDefaultChar) *lpUsedDefaultChar = valid ? FALSE : TRUE;
  return Deliver(narrow, lpMultiByteStr, cbMultiByte);
}
