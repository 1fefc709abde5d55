// Text helpers shared by the kernel32 stand-ins: UTF-16 <-> UTF-8 (the
// "ANSI code page" off Windows), and the simple case folding that module
// names and lstrcmpi compare with. Pure functions; callers own all buffers.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tp::win32 {

// Unpaired surrogates and malformed UTF-8 become U+FFFD; never throws except
// std::bad_alloc.
std::string utf16ToUtf8(std::u16string_view text);
std::u16string utf8ToUtf16(std::string_view text);

// Length of a terminated UTF-16 string (0 for null).
size_t utf16Length(const WCHAR *text);

// Lower-case form of one UTF-16 code unit: ASCII, Latin-1, Greek and
// Cyrillic capitals; every other unit is returned unchanged.
char16_t foldCase(char16_t c);

// Windows separators to "/" (paths given to the stand-ins may use either).
std::string toNativePath(std::string path);

}  // namespace tp::win32
