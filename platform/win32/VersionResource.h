// Reading a file's version block (the ".tpversion" section that
// TP_VERSION_RESOURCE places in an ELF binary) and walking the
// VS_VERSIONINFO tree inside it. Behind GetFileVersionInfoSizeW,
// GetFileVersionInfoW and VerQueryValueW.
//
// The file is untrusted: every offset and size in its headers is checked
// against the file's size before anything is read, so a truncated or hostile
// file yields an error code, never an out-of-bounds read. Only 64-bit
// little-endian ELF files are understood.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tp::win32 {

// Reads the version block of the file at `path` (UTF-8, "/" separators).
// ERROR_SUCCESS and the block, or: ERROR_FILE_NOT_FOUND / ERROR_ACCESS_DENIED
// (cannot open), ERROR_RESOURCE_DATA_NOT_FOUND (not an ELF file),
// ERROR_RESOURCE_TYPE_NOT_FOUND (no version section), ERROR_BAD_FORMAT
// (inconsistent headers, truncated file, malformed block).
DWORD ReadVersionBlock(const std::string &path, std::vector<BYTE> &block);

// Finds `subBlock` ("\", "\StringFileInfo\040904B0\FileVersion", ...) in a
// block whose root node's length bounds everything read. Sets the pointer
// into the block and the value length (bytes, or characters for text
// values). False when there is no such entry or the block is malformed.
bool FindVersionValue(const BYTE *block, std::u16string_view subBlock, const void **value, UINT *length);

}  // namespace tp::win32
