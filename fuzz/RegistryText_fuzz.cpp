// Fuzz target for the registry store's text form: parses the input as a
// store file and, when it parses, checks that writing the content out and
// reading it back gives the same content, with no line skipped. A value or
// name that does not survive the round trip would be lost or changed by the
// next write of a real store.
//
// Built as a libFuzzer binary with clang, and with ReplayMain.cpp as a
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
