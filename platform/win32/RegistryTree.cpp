// The registry's in-memory tree and its export-format text.
#include "win32/RegistryTree.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "win32/CodePage.h"

namespace tp::win32 {
namespace {

constexpr std::u16string_view kRoots[] = {u"HKEY_CLASSES_ROOT", u"HKEY_CURRENT_USER", u"HKEY_LOCAL_MACHINE",
                                          u"HKEY_USERS", u"HKEY_CURRENT_CONFIG"};
constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

char16_t FoldUnit(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0x80) return c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

bool HasControlOrLoneSurrogate(std::u16string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c < 0x20 || c == 0x7F) return true;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return true;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

// Splits a full path into names; false when it is not a valid path.
bool SplitPath(std::u16string_view path, std::vector<std::u16string_view> &names) {
  names.clear();
  size_t start = 0;
  while (true) {
    size_t end = path.find(u'\\', start);
    std::u16string_view name = path.substr(start, end == std::u16string_view::npos ? end : end - start);
    if (names.empty() ? RegistryTree::RootName(name).empty() : !RegistryTree::IsValidKeyName(name)) return false;
    names.push_back(name);
    if (names.size() > RegistryTree::kMaxDepth) return false;
    if (end == std::u16string_view::npos) return true;
    start = end + 1;
  }
}

void AppendEscaped(std::string &out, std::u16string_view s) {
  for (char c : Utf16ToUtf8(s)) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
}

void AppendHex(std::string &out, const std::vector<BYTE> &data) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < data.size(); ++i) {
    if (i) out.push_back(',');
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 15]);
  }
}

// A REG_SZ is written as a quoted string when that form gives back exactly
// the same bytes: UTF-16 text, one terminator at the end and nowhere else,
// nothing that would break the line.
bool IsPlainString(const std::vector<BYTE> &data, std::u16string &text) {
  if (data.size() < 2 || data.size() % 2) return false;
  text.assign(data.size() / 2 - 1, u'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  if (data[data.size() - 2] || data[data.size() - 1]) return false;
  return text.find(u'\0') == std::u16string::npos && !HasControlOrLoneSurrogate(text);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Reads a quoted, escaped string starting at s[0] == '"'; advances `s` past
// the closing quote.
bool ReadQuoted(std::string_view &s, std::string &out) {
  out.clear();
  for (size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\\') {
      if (++i >= s.size()) return false;
      c = s[i];
    } else if (c == '"') {
      s.remove_prefix(i + 1);
      return true;
    }
    out.push_back(c);
  }
  return false;
}

bool ParseHexBytes(std::string_view s, std::vector<BYTE> &out) {
  out.clear();
  s = TrimSpaces(s);
  if (s.empty()) return true;
  while (true) {
    s = TrimSpaces(s);
    if (s.size() < 2) return false;
    const int hi = HexDigit(s[0]), lo = HexDigit(s[1]);
    if (hi < 0 || lo < 0) return false;
    if (out.size() >= RegistryTree::kMaxValueBytes) return false;
    out.push_back(static_cast<BYTE>(hi * 16 + lo));
    s = TrimSpaces(s.substr(2));
    if (s.empty()) return true;
    if (s[0] != ',') return false;
    s.remove_prefix(1);
  }
}

bool ParseData(std::string_view s, DWORD &type, std::vector<BYTE> &data) {
  if (!s.empty() && s[0] == '"') {
    std::string text;
    if (!ReadQuoted(s, text) || !TrimSpaces(s).empty()) return false;
    std::u16string wide = Utf8ToUtf16(text);
    if ((wide.size() + 1) * 2 > RegistryTree::kMaxValueBytes) return false;
    type = REG_SZ;
    data.resize((wide.size() + 1) * 2);
    for (size_t i = 0; i < wide.size(); ++i) {
      data[2 * i] = static_cast<BYTE>(wide[i] & 0xFF);
      data[2 * i + 1] = static_cast<BYTE>(wide[i] >> 8);
    }
    data[data.size() - 2] = data[data.size() - 1] = 0;
    return true;
  }
  if (s.starts_with("dword:")) {
    s = TrimSpaces(s.substr(6));
    if (s.empty() || s.size() > 8) return false;
    DWORD v = 0;
    for (char c : s) {
      const int d = HexDigit(c);
      if (d < 0) return false;
      v = (v << 4) | static_cast<DWORD>(d);
    }
    type = REG_DWORD;
    data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 24)};
    return true;
  }
  if (s.starts_with("hex:")) {
    type = REG_BINARY;
    return ParseHexBytes(s.substr(4), data);
  }
  if (s.starts_with("hex(")) {
    size_t close = s.find("):");
    if (close == std::string_view::npos || close < 5 || close > 12) return false;
    DWORD t = 0;
    for (char c : s.substr(4, close - 4)) {
      const int d = HexDigit(c);
      if (d < 0) return false;
      t = (t << 4) | static_cast<DWORD>(d);
    }
    type = t;
    return ParseHexBytes(s.substr(close + 2), data);
  }
  return false;
}

// The text of a store file as UTF-8: a UTF-16LE file (as some tools write
// registry exports) is converted, a UTF-8 byte order mark dropped.
std::string AsUtf8(std::string_view text) {
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF && static_cast<unsigned char>(text[1]) == 0xFE) {
    std::u16string wide((text.size() - 2) / 2, u'\0');
    for (size_t i = 0; i < wide.size(); ++i)
      wide[i] = static_cast<char16_t>(static_cast<unsigned char>(text[2 + 2 * i]) |
                                      (static_cast<unsigned char>(text[3 + 2 * i]) << 8));
    return Utf16ToUtf8(wide);
  }
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  return std::string(text);
}

// Keeps one value per name: the last one read, at the place of the first.
void RemoveDuplicateValues(RegistryKey &key) {
  if (key.values.size() < 2) return;
  std::unordered_map<std::u16string, size_t> first;
  std::vector<RegistryValue> kept;
  kept.reserve(key.values.size());
  for (auto &v : key.values) {
    auto [it, inserted] = first.try_emplace(RegistryTree::Fold(v.name), kept.size());
    if (inserted) {
      kept.push_back(std::move(v));
    } else {
      kept[it->second].type = v.type;
      kept[it->second].data = std::move(v.data);
    }
  }
  key.values = std::move(kept);
}

}  // namespace

RegistryTree::RegistryTree() {
  for (auto root : kRoots) keys_.emplace(Fold(root), RegistryKey{std::u16string(root), {}});
}

std::u16string RegistryTree::Fold(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t &c : out) c = FoldUnit(c);
  return out;
}

std::u16string_view RegistryTree::RootName(std::u16string_view name) {
  const std::u16string folded = Fold(name);
  for (auto root : kRoots)
    if (folded == root) return root;
  return {};
}

bool RegistryTree::IsValidKeyName(std::u16string_view name) {
  return !name.empty() && name.size() <= kMaxNameChars && name.find(u'\\') == std::u16string_view::npos &&
         !HasControlOrLoneSurrogate(name);
}

bool RegistryTree::IsValidValueName(std::u16string_view name) {
  return name.size() <= kMaxValueNameChars && !HasControlOrLoneSurrogate(name);
}

const RegistryKey *RegistryTree::Find(std::u16string_view path) const {
  auto it = keys_.find(Fold(path));
  return it == keys_.end() ? nullptr : &it->second;
}

RegistryKey *RegistryTree::Find(std::u16string_view path) {
  auto it = keys_.find(Fold(path));
  return it == keys_.end() ? nullptr : &it->second;
}

RegistryKey *RegistryTree::Create(std::u16string_view path, bool *created) {
  std::vector<std::u16string_view> names;
  if (!SplitPath(path, names)) return nullptr;
  std::u16string sofar(RootName(names[0]));
  RegistryKey *key = Find(sofar);
  bool isNew = false;
  for (size_t i = 1; i < names.size(); ++i) {
    // Ancestors keep the case they already have.
    std::u16string child = key->path + u"\\" + std::u16string(names[i]);
    auto [it, inserted] = keys_.try_emplace(Fold(child), RegistryKey{child, {}});
    key = &it->second;
    isNew = inserted;
  }
  if (created) *created = isNew;
  return key;
}

std::vector<std::u16string> RegistryTree::Subkeys(std::u16string_view path) const {
  std::vector<std::u16string> out;
  const std::u16string prefix = Fold(path) + u"\\";
  for (auto it = keys_.lower_bound(prefix); it != keys_.end() && it->first.starts_with(prefix); ++it) {
    if (it->first.find(u'\\', prefix.size()) == std::u16string::npos)
      out.push_back(it->second.path.substr(prefix.size()));
  }
  return out;
}

bool RegistryTree::HasSubkeys(std::u16string_view path) const {
  const std::u16string prefix = Fold(path) + u"\\";
  auto it = keys_.lower_bound(prefix);
  return it != keys_.end() && it->first.starts_with(prefix);
}

void RegistryTree::EraseTree(std::u16string_view path) {
  const std::u16string folded = Fold(path);
  const std::u16string prefix = folded + u"\\";
  for (auto it = keys_.lower_bound(prefix); it != keys_.end() && it->first.starts_with(prefix);) it = keys_.erase(it);
  if (!RootName(path).empty()) {
    keys_[folded].values.clear();
  } else {
    keys_.erase(folded);
  }
}

const RegistryValue *RegistryTree::FindValue(const RegistryKey &key, std::u16string_view name) {
  const std::u16string folded = Fold(name);
  for (const auto &v : key.values)
    if (Fold(v.name) == folded) return &v;
  return nullptr;
}

void RegistryTree::SetValue(RegistryKey &key, std::u16string_view name, DWORD type, std::vector<BYTE> data) {
  if (auto *v = const_cast<RegistryValue *>(FindValue(key, name))) {
    v->type = type;  // the name keeps its first spelling, as on Windows
    v->data = std::move(data);
    return;
  }
  key.values.push_back(RegistryValue{std::u16string(name), type, std::move(data)});
}

bool RegistryTree::EraseValue(RegistryKey &key, std::u16string_view name) {
  const std::u16string folded = Fold(name);
  auto it = std::find_if(key.values.begin(), key.values.end(),
                         [&](const RegistryValue &v) { return Fold(v.name) == folded; });
  if (it == key.values.end()) return false;
  key.values.erase(it);
  return true;
}

std::string RegistryTree::Serialize() const {
  std::string out(kHeader);
  out += "\n";
  for (const auto &[folded, key] : keys_) {
    if (!RootName(key.path).empty() && key.values.empty()) continue;
    out += "\n[";
    out += Utf16ToUtf8(key.path);
    out += "]\n";
    for (const auto &v : key.values) {
      if (v.name.empty()) {
        out += "@";
      } else {
        out += "\"";
        AppendEscaped(out, v.name);
        out += "\"";
      }
      out += "=";
      std::u16string text;
      if (v.type == REG_SZ && IsPlainString(v.data, text)) {
        out += "\"";
        AppendEscaped(out, text);
        out += "\"";
      } else if (v.type == REG_DWORD && v.data.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x",
                      static_cast<unsigned>(v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                                            (static_cast<unsigned>(v.data[3]) << 24)));
        out += buf;
      } else if (v.type == REG_BINARY) {
        out += "hex:";
        AppendHex(out, v.data);
      } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
        out += buf;
        AppendHex(out, v.data);
      }
      out += "\n";
    }
  }
  return out;
}

std::optional<RegistryTree> RegistryTree::Parse(std::string_view raw, size_t *skipped) {
  size_t dropped = 0;
  RegistryTree tree;
  const std::string text = AsUtf8(raw);
  std::string_view first(text);
  first = TrimSpaces(first.substr(0, first.find('\n')));
  if (first != kHeader && first != kHeader4) {
    if (skipped) *skipped = 0;
    if (TrimSpaces(text).empty()) return tree;
    return std::nullopt;
  }
  tree.ParseLines(std::string_view(text).substr(std::min(text.size(), text.find('\n'))), &dropped);
  if (skipped) *skipped = dropped;
  return tree;
}

void RegistryTree::ParseLines(std::string_view text, size_t *skipped) {
  RegistryKey *current = nullptr;
  std::string logical;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = TrimSpaces(text.substr(pos, end - pos));
    pos = end + 1;
    // hex data may continue on the next line after a trailing "\".
    bool tooLong = false;
    logical.assign(line);
    while (!logical.empty() && logical.back() == '\\' && logical.find("=hex") != std::string::npos &&
           pos < text.size()) {
      logical.pop_back();
      end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      const std::string_view more = TrimSpaces(text.substr(pos, end - pos));
      pos = end + 1;
      if (tooLong) {
        // Past the bound: only look for where the value ends.
        logical.assign("=hex");
        if (!more.empty() && more.back() == '\\') logical.push_back('\\');
        continue;
      }
      logical += more;
      if (logical.size() > kMaxLineBytes) tooLong = true;
    }
    std::string_view l(logical);
    if (l.empty() || l[0] == ';') continue;
    if (tooLong || l.size() > kMaxLineBytes) {
      ++*skipped;
      continue;
    }
    if (l[0] == '[') {
      current = nullptr;
      const size_t close = l.rfind(']');
      if (l.size() < 2 || l[1] == '-' || close == std::string_view::npos || !TrimSpaces(l.substr(close + 1)).empty()) {
        ++*skipped;
        continue;
      }
      current = Create(Utf8ToUtf16(l.substr(1, close - 1)), nullptr);
      if (!current) ++*skipped;
      continue;
    }
    std::u16string name;
    if (l[0] == '@') {
      l.remove_prefix(1);
    } else if (l[0] == '"') {
      std::string n;
      if (!ReadQuoted(l, n)) {
        ++*skipped;
        continue;
      }
      name = Utf8ToUtf16(n);
    } else {
      ++*skipped;
      continue;
    }
    l = TrimSpaces(l);
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!current || l.empty() || l[0] != '=' || !IsValidValueName(name) ||
        !ParseData(TrimSpaces(l.substr(1)), type, data)) {
      ++*skipped;
      continue;
    }
    // Duplicates are resolved once at the end: looking each name up here
    // would make a hostile file with many values in one key quadratic.
    current->values.push_back(RegistryValue{std::move(name), type, std::move(data)});
  }
  for (auto &[folded, key] : keys_) RemoveDuplicateValues(key);
}

}  // namespace tp::win32
