// Languages as movies store them and as Windows names them: the media
// header's language code (a Macintosh language code below 0x400, else three
// packed ISO 639-2/T letters) as ISO 639-2/T letters, and those letters as a
// Windows locale id and an English name for stream menus.
#pragma once

#include <windows.h>

#include <string>

// "eng", "fra", ... for a stored media language; "und" for an unknown or
// unspecified one.
std::string LanguageFromMediaCode(int code);
// The Windows locale id of an ISO 639-2 code (terminological or
// bibliographic), or 0 when it has none we know.
DWORD LcidFromLanguage(const std::string &iso639);
// The ISO 639-2/T code of a locale id LcidFromLanguage gives; "und" for
// any other.
std::string LanguageFromLcid(DWORD lcid);
// "English", "French", ...; the code itself when it is not in our table,
// "Unknown" for "und" and empty codes.
std::string LanguageName(const std::string &iso639);
