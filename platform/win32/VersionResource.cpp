// Version blocks: from ELF files, and the VS_VERSIONINFO tree walk.
#include "win32/VersionResource.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tp::win32 {
namespace {

constexpr char kSectionName[] = ".tpversion";
constexpr uint64_t kMaxSectionHeaders = 1u << 16;
constexpr uint64_t kMaxNamesBytes = 16u << 20;
constexpr uint64_t kMaxBlockBytes = 64u << 10;
constexpr size_t kNodeHeader = 6;  // wLength, wValueLength, wType

class File {
 public:
  explicit File(const std::string &path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  File(const File &) = delete;
  File &operator=(const File &) = delete;
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }
  // Reads exactly `size` bytes at `offset`, which the caller has checked
  // against the file size.
  bool ReadAt(uint64_t offset, void *out, size_t size) const {
    auto *p = static_cast<char *>(out);
    while (size) {
      const ssize_t n = ::pread(fd_, p, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      offset += static_cast<uint64_t>(n);
      size -= static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
};

// offset + size lies within a file of `fileSize` bytes (no overflow).
bool Within(uint64_t offset, uint64_t size, uint64_t fileSize) {
  return offset <= fileSize && size <= fileSize - offset;
}

uint16_t Word(const BYTE *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
size_t Align4(size_t n) { return (n + 3) & ~static_cast<size_t>(3); }

// One node of the version tree, all offsets relative to the block start.
struct Node {
  size_t start = 0, end = 0;  // [start, end): the node
  size_t keyStart = 0, keyLength = 0;
  size_t valueStart = 0, valueBytes = 0;
  size_t childrenStart = 0;
  uint16_t valueLength = 0, type = 0;
};

// Decodes the node at `start`, which must lie within [start, limit).
bool ReadNode(const BYTE *block, size_t start, size_t limit, Node &node) {
  if (start > limit || limit - start < kNodeHeader) return false;
  const uint16_t length = Word(block + start);
  if (length < kNodeHeader || length > limit - start) return false;
  node.start = start;
  node.end = start + length;
  node.valueLength = Word(block + start + 2);
  node.type = Word(block + start + 4);
  node.keyStart = start + kNodeHeader;
  size_t p = node.keyStart;
  while (true) {
    if (node.end - p < 2) return false;
    if (Word(block + p) == 0) break;
    p += 2;
  }
  node.keyLength = (p - node.keyStart) / 2;
  node.valueStart = Align4(p + 2);
  node.valueBytes = node.type == 1 ? static_cast<size_t>(node.valueLength) * 2 : node.valueLength;
  if (node.valueStart > node.end || node.valueBytes > node.end - node.valueStart) {
    // Some writers count text values in bytes; accept a value that fits
    // that way, else the node is malformed.
    if (node.valueStart > node.end) return false;
    node.valueBytes = node.end - node.valueStart;
  }
  node.childrenStart = Align4(node.valueStart + node.valueBytes);
  return true;
}

char16_t Fold(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c; }

bool KeyEquals(const BYTE *block, const Node &node, std::u16string_view name) {
  if (node.keyLength != name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (Fold(static_cast<char16_t>(Word(block + node.keyStart + 2 * i))) != Fold(name[i])) return false;
  return true;
}

}  // namespace

DWORD ReadVersionBlock(const std::string &path, std::vector<BYTE> &block) {
  File file(path);
  if (file.fd() < 0) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  struct stat st;
  if (::fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode)) return ERROR_FILE_NOT_FOUND;
  const uint64_t fileSize = static_cast<uint64_t>(st.st_size);

  Elf64_Ehdr eh;
  if (fileSize < EI_NIDENT || !file.ReadAt(0, eh.e_ident, EI_NIDENT)) return ERROR_RESOURCE_DATA_NOT_FOUND;
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0) return ERROR_RESOURCE_DATA_NOT_FOUND;
  if (eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB) return ERROR_BAD_FORMAT;
  if (fileSize < sizeof eh || !file.ReadAt(0, &eh, sizeof eh)) return ERROR_BAD_FORMAT;
  if (eh.e_shoff == 0) return ERROR_RESOURCE_TYPE_NOT_FOUND;  // no section headers at all
  if (eh.e_shentsize < sizeof(Elf64_Shdr)) return ERROR_BAD_FORMAT;

  auto readHeader = [&](uint64_t index, Elf64_Shdr &sh) {
    const uint64_t offset = eh.e_shoff + index * eh.e_shentsize;  // bounds checked by the caller
    return file.ReadAt(offset, &sh, sizeof sh);
  };
  if (!Within(eh.e_shoff, eh.e_shentsize, fileSize)) return ERROR_BAD_FORMAT;
  Elf64_Shdr first;
  if (!readHeader(0, first)) return ERROR_BAD_FORMAT;
  // Large counts and indexes spill into the first section header.
  const uint64_t count = eh.e_shnum ? eh.e_shnum : first.sh_size;
  const uint64_t namesIndex = eh.e_shstrndx == SHN_XINDEX ? first.sh_link : eh.e_shstrndx;
  if (count == 0 || count > kMaxSectionHeaders || namesIndex >= count) return ERROR_BAD_FORMAT;
  if (!Within(eh.e_shoff, count * eh.e_shentsize, fileSize)) return ERROR_BAD_FORMAT;

  Elf64_Shdr namesHeader;
  if (!readHeader(namesIndex, namesHeader)) return ERROR_BAD_FORMAT;
  if (namesHeader.sh_type == SHT_NOBITS || namesHeader.sh_size > kMaxNamesBytes ||
      !Within(namesHeader.sh_offset, namesHeader.sh_size, fileSize))
    return ERROR_BAD_FORMAT;
  std::vector<char> names(namesHeader.sh_size);
  if (!names.empty() && !file.ReadAt(namesHeader.sh_offset, names.data(), names.size())) return ERROR_BAD_FORMAT;

  for (uint64_t i = 1; i < count; ++i) {
    Elf64_Shdr sh;
    if (!readHeader(i, sh)) return ERROR_BAD_FORMAT;
    if (sh.sh_name >= names.size() || names.size() - sh.sh_name < sizeof kSectionName ||
        std::memcmp(names.data() + sh.sh_name, kSectionName, sizeof kSectionName) != 0)
      continue;
    if (sh.sh_type == SHT_NOBITS || sh.sh_size < kNodeHeader || sh.sh_size > kMaxBlockBytes ||
        !Within(sh.sh_offset, sh.sh_size, fileSize))
      return ERROR_BAD_FORMAT;
    std::vector<BYTE> section(sh.sh_size);
    if (!file.ReadAt(sh.sh_offset, section.data(), section.size())) return ERROR_BAD_FORMAT;
    Node root;
    if (!ReadNode(section.data(), 0, section.size(), root) || !KeyEquals(section.data(), root, u"VS_VERSION_INFO"))
      return ERROR_BAD_FORMAT;
    section.resize(root.end);
    block = std::move(section);
    return ERROR_SUCCESS;
  }
  return ERROR_RESOURCE_TYPE_NOT_FOUND;
}

bool FindVersionValue(const BYTE *block, std::u16string_view subBlock, const void **value, UINT *length) {
  if (!block) return false;
  Node node;
  if (!ReadNode(block, 0, Word(block), node) || !KeyEquals(block, node, u"VS_VERSION_INFO")) return false;
  // Walk one name at a time, each among the children of the node before.
  constexpr int kMaxDepth = 8;
  int depth = 0;
  size_t pos = 0;
  while (pos < subBlock.size()) {
    if (subBlock[pos] == u'\\') {
      ++pos;
      continue;
    }
    size_t end = subBlock.find(u'\\', pos);
    if (end == std::u16string_view::npos) end = subBlock.size();
    const std::u16string_view name = subBlock.substr(pos, end - pos);
    pos = end;
    if (++depth > kMaxDepth) return false;
    bool found = false;
    for (size_t child = node.childrenStart; child < node.end;) {
      Node c;
      if (!ReadNode(block, child, node.end, c)) return false;
      if (KeyEquals(block, c, name)) {
        node = c;
        found = true;
        break;
      }
      child = Align4(c.end);
    }
    if (!found) return false;
  }
  if (depth == 0 && node.valueBytes < 52) return false;  // the root's value is the fixed info
  *value = block + node.valueStart;
  *length = depth == 0 ? 52u : node.valueLength;
  return true;
}

}  // namespace tp::win32
