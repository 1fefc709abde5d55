// UTF-8 <-> UTF-16 conversion shared by the stand-ins (registry, environment,
// version resources, paths) and behind MultiByteToWideChar /
// WideCharToMultiByte. Off Windows the ANSI code page is UTF-8.
//
// Invalid input never fails these helpers: each maximal invalid UTF-8
// subsequence, and each unpaired UTF-16 surrogate, becomes one replacement
// (U+FFFD unless the caller names another), and the result says whether that
// happened. Callers own the strings passed in and out.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tp::win32 {

// Appends the UTF-16 form of `in` to `out`; true when `in` was valid UTF-8.
bool AppendUtf8AsUtf16(std::string_view in, std::u16string &out);
// Appends the UTF-8 form of `in` to `out`, unpaired surrogates replaced by
// `replacement`; true when `in` was valid UTF-16.
bool AppendUtf16AsUtf8(std::u16string_view in, std::string &out, std::string_view replacement = "\xEF\xBF\xBD");

std::u16string Utf8ToUtf16(std::string_view in);
std::string Utf16ToUtf8(std::u16string_view in);

// The NUL-terminated wide string at `s` (empty for null).
std::u16string_view WideView(LPCWSTR s);

// A path from the program: UTF-8 with every "\" turned into "/".
std::string PathFromWide(LPCWSTR path);
std::string PathFromNarrow(LPCSTR path);

}  // namespace tp::win32
