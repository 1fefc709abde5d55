// UTF-16 to UTF-8 for the trace library's wide entries. Ill-formed input
// (lone surrogates) becomes U+FFFD.
#pragma once

#include <windows.h>

#include <string>

namespace quilltrace {

// Appends the first `length` units of `text` (or up to its terminator when
// `length` is negative) to `out`.
void AppendUtf8(const WCHAR *text, int length, std::string *out);

}  // namespace quilltrace
