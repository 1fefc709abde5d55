// wsprintfW / wsprintfA / wvsprintfW / wvsprintfA with user32's rules.
//
// One engine, written once as a template over the character width, serves
// both: a conversion is %[-][#][0][width][.precision][size]type, the flags in
// that order only, no '*' widths, no floating point.
//   size  l (32 bits, as Windows' long), h / w (string and character width),
//         I64 (64-bit integer)
//   type  d i u x X c C s S p, and %% for a percent sign
// In a wide format %s and %c take wide arguments and %S / %C narrow ones; in a
// narrow format the reverse; %hs %hc take narrow, %ls %ws %lc %wc wide in
// both. Narrow text is UTF-8 (the stand-in "ANSI code page"); crossing widths
// converts, replacing ill-formed sequences by U+FFFD. A null string prints
// "(null)". An unsupported conversion character (f, e, g, n, *, ...) is
// printed as itself, the '%' and any flags before it are dropped and no
// argument is consumed, as user32 does. Output stops at 1023 characters and
// is always terminated; the result is the number of characters written
// without the terminator.
#include <windows.h>

#include <algorithm>
#include <cstdint>

namespace {

constexpr int kOutputLimit = 1024;  // characters, terminator included
constexpr int kFieldLimit = kOutputLimit;
constexpr char32_t kReplacement = 0xFFFD;

// ---- UTF-8 / UTF-16 ----------------------------------------------------------

// Decodes one UTF-8 character from s, reading at most `avail` units and never
// past a terminator. Returns the units used (0 when the character does not fit
// in `avail`).
int DecodeUtf8(const char *s, int avail, char32_t *cp) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  int len = 1;
  char32_t v = b0;
  if (b0 < 0x80) {
    *cp = v;
    return 1;
  }
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    v = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    v = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    v = b0 & 0x07;
  } else {
    *cp = kReplacement;
    return 1;
  }
  if (len > avail) return 0;
  for (int i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if ((b & 0xC0) != 0x80) {  // also stops at a terminator
      *cp = kReplacement;
      return i;
    }
    v = (v << 6) | (b & 0x3F);
  }
  const bool overlong = (len == 3 && v < 0x800) || (len == 4 && v < 0x10000);
  const bool bad = overlong || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF);
  *cp = bad ? kReplacement : v;
  return len;
}

// Decodes one UTF-16 character; same contract as DecodeUtf8.
int DecodeUtf16(const WCHAR *s, int avail, char32_t *cp) {
  const char32_t u = static_cast<uint16_t>(s[0]);
  if (u < 0xD800 || u > 0xDFFF) {
    *cp = u;
    return 1;
  }
  if (u >= 0xDC00) {
    *cp = kReplacement;
    return 1;
  }
  if (avail < 2) return 0;
  const char32_t lo = static_cast<uint16_t>(s[1]);
  if (lo < 0xDC00 || lo > 0xDFFF) {
    *cp = kReplacement;
    return 1;
  }
  *cp = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
  return 2;
}

int EncodeUnits(char32_t cp, char *out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

int EncodeUnits(char32_t cp, WCHAR *out) {
  if (cp < 0x10000) {
    out[0] = static_cast<WCHAR>(cp);
    return 1;
  }
  cp -= 0x10000;
  out[0] = static_cast<WCHAR>(0xD800 + (cp >> 10));
  out[1] = static_cast<WCHAR>(0xDC00 + (cp & 0x3FF));
  return 2;
}

int Decode(const char *s, int avail, char32_t *cp) { return DecodeUtf8(s, avail, cp); }
int Decode(const WCHAR *s, int avail, char32_t *cp) { return DecodeUtf16(s, avail, cp); }

// ---- one field -----------------------------------------------------------------

// A converted argument, before padding. Never longer than the output can hold.
template <typename Ch>
struct Field {
  Ch text[kFieldLimit];
  int len = 0;
};

// Takes at most `precision` units (or all, when negative) of s, in its own
// width, into the field. Same width: a plain copy. Other width: converted
// character by character; a character that would cross the precision is
// left out rather than split.
template <typename Ch, typename Src>
void TakeString(const Src *s, int precision, Field<Ch> *f) {
  const int limit = precision < 0 ? kFieldLimit : precision;
  int i = 0;
  while (i < limit && s[i] != 0 && f->len < kFieldLimit - 1) {
    if constexpr (sizeof(Ch) == sizeof(Src)) {
      f->text[f->len++] = static_cast<Ch>(s[i++]);
    } else {
      char32_t cp = 0;
      const int used = Decode(s + i, limit - i, &cp);
      if (used == 0) break;
      Ch units[4];
      const int n = EncodeUnits(cp, units);
      if (f->len + n > kFieldLimit - 1) break;
      std::copy(units, units + n, f->text + f->len);
      f->len += n;
      i += used;
    }
  }
}

template <typename Ch>
void TakeAscii(const char *s, Field<Ch> *f) {
  for (; *s && f->len < kFieldLimit - 1; ++s) f->text[f->len++] = static_cast<Ch>(*s);
}

struct Spec {
  bool left = false;
  bool hexPrefix = false;
  bool zeroPad = false;
  int width = 0;
  int precision = -1;  // none
  enum class Size { Default, Long, Short, Wide, I64 } size = Size::Default;
};

template <typename Ch>
const Ch *ParseNumber(const Ch *p, int *value) {
  int v = 0;
  while (*p >= '0' && *p <= '9') {
    v = std::min(v * 10 + static_cast<int>(*p - '0'), kFieldLimit);
    ++p;
  }
  *value = v;
  return p;
}

// Digits of an integer conversion, with precision zeros, sign and prefix; the
// caller pads to the width.
template <typename Ch>
void TakeInteger(const Spec &spec, Ch type, bool negative, uint64_t magnitude, Field<Ch> *f) {
  char digits[24];
  int n = 0;
  const bool hex = (type == 'x' || type == 'X' || type == 'p');
  const char *alphabet = (type == 'x') ? "0123456789abcdef" : "0123456789ABCDEF";
  const unsigned base = hex ? 16 : 10;
  do {
    digits[n++] = alphabet[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);

  char head[3] = {};
  int headLen = 0;
  if (negative) head[headLen++] = '-';
  if (spec.hexPrefix && (type == 'x' || type == 'X')) {
    head[headLen++] = '0';
    head[headLen++] = static_cast<char>(type);
  }
  int zeros = std::max(0, spec.precision - n);
  if (spec.zeroPad && !spec.left) zeros = std::max(zeros, spec.width - headLen - n);
  zeros = std::min(zeros, kFieldLimit - 1 - headLen - n);

  for (int i = 0; i < headLen; ++i) f->text[f->len++] = static_cast<Ch>(head[i]);
  for (int i = 0; i < zeros; ++i) f->text[f->len++] = static_cast<Ch>('0');
  while (n > 0) f->text[f->len++] = static_cast<Ch>(digits[--n]);
}

template <typename Ch>
void TakeChar(char32_t cp, Field<Ch> *f) {
  f->len = EncodeUnits(cp, f->text);
}

// The output buffer: at most kOutputLimit - 1 characters, then a terminator.
template <typename Ch>
struct Sink {
  Ch *out;
  int len = 0;
  bool Full() const { return len >= kOutputLimit - 1; }
  void Put(Ch c) {
    if (!Full()) out[len++] = c;
  }
};

template <typename Ch>
void PutField(const Spec &spec, const Field<Ch> &f, Sink<Ch> *sink) {
  const int pad = std::max(0, spec.width - f.len);
  if (!spec.left)
    for (int i = 0; i < pad && !sink->Full(); ++i) sink->Put(static_cast<Ch>(' '));
  for (int i = 0; i < f.len && !sink->Full(); ++i) sink->Put(f.text[i]);
  if (spec.left)
    for (int i = 0; i < pad && !sink->Full(); ++i) sink->Put(static_cast<Ch>(' '));
}

// The engine. `ap` is consumed in order of the conversions.
template <typename Ch>
int Format(Ch *out, const Ch *fmt, va_list *ap) {
  constexpr bool kWideFormat = sizeof(Ch) != 1;
  Sink<Ch> sink{out};
  Field<Ch> field;

  const Ch *p = fmt;
  while (*p != 0 && !sink.Full()) {
    if (*p != '%') {
      sink.Put(*p++);
      continue;
    }
    ++p;
    if (*p == '%') {
      sink.Put(*p++);
      continue;
    }
    Spec spec;
    if (*p == '-') {
      spec.left = true;
      ++p;
    }
    if (*p == '#') {
      spec.hexPrefix = true;
      ++p;
    }
    if (*p == '0') {
      spec.zeroPad = true;
      ++p;
    }
    p = ParseNumber(p, &spec.width);
    if (*p == '.') p = ParseNumber(p + 1, &spec.precision);
    if (*p == 'l') {
      spec.size = Spec::Size::Long;
      ++p;
    } else if (*p == 'h') {
      spec.size = Spec::Size::Short;
      ++p;
    } else if (*p == 'w') {
      spec.size = Spec::Size::Wide;
      ++p;
    } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      spec.size = Spec::Size::I64;
      p += 3;
    }
    const bool wantWide = spec.size == Spec::Size::Long || spec.size == Spec::Size::Wide;
    const bool wantNarrow = spec.size == Spec::Size::Short;

    field.len = 0;
    const Ch type = *p;
    switch (type) {
      case 'c':
      case 'C': {
        // The argument's width: the format's own for %c, the other for %C,
        // unless a size prefix names it.
        bool wide = (type == 'c') == kWideFormat;
        if (wantWide) wide = true;
        if (wantNarrow) wide = false;
        const int v = va_arg(*ap, int);
        char32_t cp = 0;
        if (wide) {
          const WCHAR u = static_cast<WCHAR>(v);
          cp = (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : u;
        } else {
          const unsigned char b = static_cast<unsigned char>(v);
          cp = (b < 0x80) ? b : kReplacement;  // a lone byte of a sequence
        }
        if (wide == kWideFormat) {
          field.text[0] = static_cast<Ch>(v);  // same width: as given
          field.len = 1;
        } else {
          TakeChar(cp, &field);
        }
        break;
      }
      case 's':
      case 'S': {
        bool wide = (type == 's') == kWideFormat;
        if (wantWide) wide = true;
        if (wantNarrow) wide = false;
        if (wide) {
          const WCHAR *s = va_arg(*ap, const WCHAR *);
          if (s == nullptr) {
            TakeString<Ch>("(null)", spec.precision, &field);
          } else {
            TakeString<Ch>(s, spec.precision, &field);
          }
        } else {
          const char *s = va_arg(*ap, const char *);
          TakeString<Ch>(s == nullptr ? "(null)" : s, spec.precision, &field);
        }
        break;
      }
      case 'd':
      case 'i': {
        int64_t v = 0;
        if (spec.size == Spec::Size::I64) {
          v = va_arg(*ap, long long);
        } else {
          v = static_cast<int32_t>(va_arg(*ap, int));
        }
        const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        TakeInteger(spec, type, v < 0, magnitude, &field);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        uint64_t v = 0;
        if (spec.size == Spec::Size::I64) {
          v = va_arg(*ap, unsigned long long);
        } else {
          v = static_cast<uint32_t>(va_arg(*ap, unsigned int));
        }
        TakeInteger(spec, type, false, v, &field);
        break;
      }
      case 'p': {
        Spec pointer = spec;
        pointer.zeroPad = true;
        pointer.width = std::max(spec.width, static_cast<int>(2 * sizeof(void *)));
        const auto v = reinterpret_cast<uintptr_t>(va_arg(*ap, void *));
        TakeInteger(pointer, type, false, v, &field);
        break;
      }
      default:
        // Not a conversion: the character (if any) is printed by the next
        // turn of the loop, the '%' and its flags are dropped.
        continue;
    }
    ++p;
    PutField(spec, field, &sink);
  }
  out[sink.len] = 0;
  return sink.len;
}

template <typename Ch>
int FormatChecked(Ch *out, const Ch *fmt, va_list ap) {
  if (out == nullptr) return 0;
  if (fmt == nullptr) {
    out[0] = 0;
    return 0;
  }
  va_list copy;
  va_copy(copy, ap);
  const int n = Format(out, fmt, &copy);
  va_end(copy);
  return n;
}

}  // namespace

EXTERN_C DECLSPEC_EXPORT int WINAPI wvsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, va_list arglist) {
  return FormatChecked<WCHAR>(lpOut, lpFmt, arglist);
}

EXTERN_C DECLSPEC_EXPORT int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist) {
  return FormatChecked<char>(lpOut, lpFmt, arglist);
}

EXTERN_C DECLSPEC_EXPORT int WINAPIV wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
  va_list ap;
  va_start(ap, lpFmt);
  const int n = FormatChecked<WCHAR>(lpOut, lpFmt, ap);
  va_end(ap);
  return n;
}

EXTERN_C DECLSPEC_EXPORT int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
  va_list ap;
  va_start(ap, lpFmt);
  const int n = FormatChecked<char>(lpOut, lpFmt, ap);
  va_end(ap);
  return n;
}
