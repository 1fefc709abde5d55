// The registry's content in memory, and its text form: the format of
// registry exports ("Windows Registry Editor Version 5.00", one [key path]
// section per key, "name"=value lines, @ for the default value).
//
// A RegistryTree is a plain value: the store (RegistryStore) owns the cached
// copy and hands out copies to change. Keys are addressed by full path from
// a root name ("HKEY_LOCAL_MACHINE\SOFTWARE\..."); names compare
// case-insensitively and keep the case they were created with. Every key's
// ancestors exist; the five root keys always exist.
//
// Parse treats its input as untrusted: a line that is malformed or exceeds
// the bounds below is skipped and counted, never trusted.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tp::win32 {

struct RegistryValue {
  std::u16string name;  // empty: the default value
  DWORD type = 0;
  std::vector<BYTE> data;
};

struct RegistryKey {
  std::u16string path;                // full path as created
  std::vector<RegistryValue> values;  // in the order first set
};

class RegistryTree {
 public:
  static constexpr size_t kMaxNameChars = 255;         // one key name
  static constexpr size_t kMaxDepth = 512;             // names in a path
  static constexpr size_t kMaxValueNameChars = 16383;  // one value name
  static constexpr size_t kMaxValueBytes = 1u << 20;   // one value's data
  static constexpr size_t kMaxLineBytes = 4u << 20;    // one logical line

  RegistryTree();

  // Case folding used for every comparison of names.
  static std::u16string Fold(std::u16string_view s);
  // The root's canonical name ("HKEY_LOCAL_MACHINE"), or empty when `name`
  // is not a root.
  static std::u16string_view RootName(std::u16string_view name);
  // Whether a key name / value name can be stored (no control characters,
  // no unpaired surrogates, within the length bounds; key names also non-
  // empty and without "\").
  static bool IsValidKeyName(std::u16string_view name);
  static bool IsValidValueName(std::u16string_view name);

  const RegistryKey *Find(std::u16string_view path) const;
  RegistryKey *Find(std::u16string_view path);
  // Creates `path` and its missing ancestors; its root must be a root name
  // and its names valid (else null). `created` tells whether the key itself
  // was new.
  RegistryKey *Create(std::u16string_view path, bool *created);
  // Names of the direct subkeys of `path`, ordered case-insensitively.
  std::vector<std::u16string> Subkeys(std::u16string_view path) const;
  bool HasSubkeys(std::u16string_view path) const;
  // Removes `path` and everything below it (roots are kept, emptied).
  void EraseTree(std::u16string_view path);

  static const RegistryValue *FindValue(const RegistryKey &key, std::u16string_view name);
  static void SetValue(RegistryKey &key, std::u16string_view name, DWORD type, std::vector<BYTE> data);
  // False when there was no such value.
  static bool EraseValue(RegistryKey &key, std::u16string_view name);

  std::string Serialize() const;
  // Builds a tree from the text of a store file (UTF-8, or UTF-16LE with its
  // byte order mark). Returns nothing when the text is not a registry file at
  // all (non-empty, no header line); `skipped` counts the lines dropped.
  static std::optional<RegistryTree> Parse(std::string_view text, size_t *skipped);

 private:
  void ParseLines(std::string_view text, size_t *skipped);
  std::map<std::u16string, RegistryKey> keys_;  // by folded path
};

}  // namespace tp::win32
