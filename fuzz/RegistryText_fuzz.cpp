// Fuzz target for the registry store's text form: parses the input as a
// store file and, when it parses, checks that writing the content out and
// reading it back gives the same content, with no line skipped. A value or
// name that does not survive the round trip would be lost or changed by the
// next write of a real store.
//
// Built as a libFuzzer binary with clang, and with TP_FUZZ_REPLAY_MAIN as a
// plain program that runs the files named on its command line.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "win32/RegistryTree.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using tp::win32::RegistryTree;
  size_t skipped = 0;
  auto tree = RegistryTree::Parse(std::string_view(reinterpret_cast<const char *>(data), size), &skipped);
  if (!tree) return 0;
  const std::string text = tree->Serialize();
  size_t skippedAgain = 0;
  auto again = RegistryTree::Parse(text, &skippedAgain);
  if (!again || skippedAgain != 0 || again->Serialize() != text) __builtin_trap();
  return 0;
}

#ifdef TP_FUZZ_REPLAY_MAIN
int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    std::FILE *f = std::fopen(argv[i], "rb");
    if (!f) {
      std::fprintf(stderr, "cannot open %s\n", argv[i]);
      return 1;
    }
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    std::printf("%s: %zu bytes replayed\n", argv[i], bytes.size());
  }
  return 0;
}
#endif
