// kernel32's lstr family. As on Windows, a null pointer is not a crash: the
// length of null is 0, copies and appends with a null argument return null,
// and comparisons order null before any string. lstrcpyn copies at most
// n - 1 characters and always terminates (n <= 0 writes nothing).
// Comparisons follow the word order that Windows uses for these calls in the
// simple cases: letters compare case-blind first, and when two strings differ
// only in case, the lower-case one sorts first; the result is -1, 0 or 1.
#include <cstring>

#include "win32/Utf16.h"

namespace {

using tp::win32::foldCase;

template <class Char>
size_t length(const Char *s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

template <class Char>
Char *copyN(Char *dst, const Char *src, int maxLength) {
  if (dst == nullptr || src == nullptr) return nullptr;
  if (maxLength <= 0) return dst;
  int i = 0;
  for (; i < maxLength - 1 && src[i] != 0; ++i) dst[i] = src[i];
  dst[i] = 0;
  return dst;
}

int sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

int compare(std::u16string_view a, std::u16string_view b, bool ignoreCase) {
  const size_t n = std::min(a.size(), b.size());
  int caseTie = 0;
  for (size_t i = 0; i < n; ++i) {
    const char16_t fa = foldCase(a[i]), fb = foldCase(b[i]);
    if (fa != fb) return sign(static_cast<int>(fa) - static_cast<int>(fb));
    // Same letter in different case: lower case first, decided only if
    // nothing else differs.
    if (caseTie == 0 && a[i] != b[i]) caseTie = a[i] == fa ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return ignoreCase ? 0 : caseTie;
}

int compareNullable(const void *a, const void *b) {
  if (a == nullptr && b == nullptr) return 0;
  return a == nullptr ? -1 : 1;
}

}  // namespace

EXTERN_C int WINAPI lstrlenW(LPCWSTR lpString) { return lpString ? static_cast<int>(length(lpString)) : 0; }
EXTERN_C int WINAPI lstrlenA(LPCSTR lpString) { return lpString ? static_cast<int>(length(lpString)) : 0; }

EXTERN_C LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) {
  if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
  std::memmove(lpString1, lpString2, (length(lpString2) + 1) * sizeof(WCHAR));
  return lpString1;
}
EXTERN_C LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2) {
  if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
  std::memmove(lpString1, lpString2, length(lpString2) + 1);
  return lpString1;
}

EXTERN_C LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
  return copyN(lpString1, lpString2, iMaxLength);
}
EXTERN_C LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
  return copyN(lpString1, lpString2, iMaxLength);
}

EXTERN_C LPWSTR WINAPI lstrcatW(LPWSTR lpString1, LPCWSTR lpString2) {
  if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
  lstrcpyW(lpString1 + length(lpString1), lpString2);
  return lpString1;
}
EXTERN_C LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2) {
  if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
  lstrcpyA(lpString1 + length(lpString1), lpString2);
  return lpString1;
}

EXTERN_C int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) {
  if (!lpString1 || !lpString2) return compareNullable(lpString1, lpString2);
  return compare({lpString1, length(lpString1)}, {lpString2, length(lpString2)}, false);
}
EXTERN_C int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
  if (!lpString1 || !lpString2) return compareNullable(lpString1, lpString2);
  return compare({lpString1, length(lpString1)}, {lpString2, length(lpString2)}, true);
}
EXTERN_C int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) {
  if (!lpString1 || !lpString2) return compareNullable(lpString1, lpString2);
  return compare(tp::win32::utf8ToUtf16(lpString1), tp::win32::utf8ToUtf16(lpString2), false);
}
EXTERN_C int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
  if (!lpString1 || !lpString2) return compareNullable(lpString1, lpString2);
  return compare(tp::win32::utf8ToUtf16(lpString1), tp::win32::utf8ToUtf16(lpString2), true);
}
