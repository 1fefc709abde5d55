// TP_VERSION_RESOURCE: gives a shared library or executable a file version
// resource that GetFileVersionInfoW / VerQueryValueW can read.
//
// Off Windows the macro defines one constant, the version block, in the ELF
// section ".tpversion" of the binary being built. The block has the layout
// of a Windows VS_VERSIONINFO resource: a "VS_VERSION_INFO" node whose value
// is a VS_FIXEDFILEINFO (signature 0xFEEF04BD, file and product version
// major.minor.build.revision), with a StringFileInfo table "040904B0"
// (FileDescription, FileVersion, ProductVersion) and a VarFileInfo
// Translation entry. On Windows the macro expands to nothing: a resource
// script does that job there.
//
// Use it once per binary, at namespace scope, in a source file that is
// certainly linked (for a module, the file with its entry points):
//     TP_VERSION_RESOURCE(7, 6, 9, 0, "Movie runtime");
// The description is ASCII, at most 200 characters.
#pragma once

#if defined(_WIN32)

#define TP_VERSION_RESOURCE(major, minor, build, revision, description) static_assert(true, "")

#else

#include <cstddef>
#include <cstdint>

namespace tp::version {

inline constexpr std::size_t kBlockCapacity = 1024;
inline constexpr std::size_t kMaxDescription = 200;

// The block as it sits in the section; its first WORD is the used length.
struct alignas(4) Block {
  unsigned char bytes[kBlockCapacity];
};

class BlockWriter {
 public:
  constexpr void Word(std::uint16_t v) {
    Byte(static_cast<unsigned char>(v & 0xFF));
    Byte(static_cast<unsigned char>(v >> 8));
  }
  constexpr void Dword(std::uint32_t v) {
    Word(static_cast<std::uint16_t>(v & 0xFFFF));
    Word(static_cast<std::uint16_t>(v >> 16));
  }
  constexpr void Text(const char *s) {  // ASCII widened to UTF-16, with terminator
    for (; *s; ++s) Word(static_cast<unsigned char>(*s));
    Word(0);
  }
  constexpr void Pad() {
    while (pos_ % 4) Byte(0);
  }
  // Opens a node: length patched by End, value length, type (0 binary, 1 text).
  constexpr std::size_t Begin(const char *key, std::uint16_t valueLength, std::uint16_t type) {
    Pad();
    std::size_t start = pos_;
    Word(0);
    Word(valueLength);
    Word(type);
    Text(key);
    Pad();
    return start;
  }
  constexpr void End(std::size_t start) {
    std::size_t length = pos_ - start;
    block_.bytes[start] = static_cast<unsigned char>(length & 0xFF);
    block_.bytes[start + 1] = static_cast<unsigned char>(length >> 8);
  }
  constexpr void StringNode(const char *key, const char *value) {
    std::size_t n = 0;
    while (value[n]) ++n;
    std::size_t start = Begin(key, static_cast<std::uint16_t>(n + 1), 1);
    Text(value);
    End(start);
  }
  constexpr const Block &block() const { return block_; }

 private:
  constexpr void Byte(unsigned char b) {
    // Overflowing the block is a compile-time error: the write below is then
    // out of bounds in a constant expression.
    block_.bytes[pos_++] = b;
  }
  Block block_{};
  std::size_t pos_ = 0;
};

constexpr void AppendNumber(char *&out, unsigned v) {
  char digits[8] = {};
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v && n < 8);
  while (n) *out++ = digits[--n];
}

constexpr Block MakeBlock(unsigned major, unsigned minor, unsigned build, unsigned revision, const char *description) {
  char version[32] = {};
  char *out = version;
  AppendNumber(out, major & 0xFFFF);
  *out++ = '.';
  AppendNumber(out, minor & 0xFFFF);
  *out++ = '.';
  AppendNumber(out, build & 0xFFFF);
  *out++ = '.';
  AppendNumber(out, revision & 0xFFFF);

  const std::uint32_t ms = ((major & 0xFFFF) << 16) | (minor & 0xFFFF);
  const std::uint32_t ls = ((build & 0xFFFF) << 16) | (revision & 0xFFFF);
  BlockWriter w;
  std::size_t root = w.Begin("VS_VERSION_INFO", 52, 0);
  w.Dword(0xFEEF04BDu);  // dwSignature
  w.Dword(0x00010000u);  // dwStrucVersion
  w.Dword(ms);           // dwFileVersionMS
  w.Dword(ls);           // dwFileVersionLS
  w.Dword(ms);           // dwProductVersionMS
  w.Dword(ls);           // dwProductVersionLS
  w.Dword(0x3Fu);        // dwFileFlagsMask
  w.Dword(0);            // dwFileFlags
  w.Dword(0x00040004u);  // dwFileOS: VOS_NT_WINDOWS32
  w.Dword(2);            // dwFileType: VFT_DLL
  w.Dword(0);            // dwFileSubtype
  w.Dword(0);            // dwFileDateMS
  w.Dword(0);            // dwFileDateLS
  std::size_t strings = w.Begin("StringFileInfo", 0, 1);
  std::size_t table = w.Begin("040904B0", 0, 1);
  w.StringNode("FileDescription", description);
  w.StringNode("FileVersion", version);
  w.StringNode("ProductVersion", version);
  w.End(table);
  w.End(strings);
  std::size_t vars = w.Begin("VarFileInfo", 0, 1);
  std::size_t translation = w.Begin("Translation", 4, 0);
  w.Word(0x0409);
  w.Word(0x04B0);
  w.End(translation);
  w.End(vars);
  w.End(root);
  return w.block();
}

template <std::size_t N>
constexpr Block MakeBlock(unsigned major, unsigned minor, unsigned build, unsigned revision,
                          const char (&description)[N]) {
  static_assert(N - 1 <= kMaxDescription, "version description too long");
  return MakeBlock(major, minor, build, revision, static_cast<const char *>(description));
}

}  // namespace tp::version

#if defined(__has_attribute)
#if __has_attribute(retain)
#define TP_VERSION_RETAIN __attribute__((retain))
#endif
#endif
#ifndef TP_VERSION_RETAIN
#define TP_VERSION_RETAIN
#endif

// External linkage on purpose: a second use in the same binary fails to link.
#define TP_VERSION_RESOURCE(major, minor, build, revision, description)                              \
  extern const ::tp::version::Block tp_version_resource_block __attribute__((visibility("hidden"))); \
  __attribute__((section(".tpversion"), used))                                                       \
  TP_VERSION_RETAIN constinit const ::tp::version::Block tp_version_resource_block =                 \
      ::tp::version::MakeBlock(major, minor, build, revision, description)

#endif
