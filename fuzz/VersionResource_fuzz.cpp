// Fuzz target for version resources: the input is read as a file (through a
// memory file, so the ELF reader sees it exactly as on disk) and, whatever
// block comes out, every query a caller makes is asked of it. The input is
// also queried directly as a block, as VerQueryValueW would see a caller's
// buffer.
//
// Built as a libFuzzer binary with clang, and with ReplayMain.cpp as a
// plain program that runs the files named on its command line.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "win32/VersionResource.h"

namespace {

void QueryAll(std::vector<BYTE> block) {
  if (block.size() < 2) return;
  // A caller's block is bounded by its root length; make it so here.
  if (static_cast<size_t>(block[0] | (block[1] << 8)) > block.size()) {
    block[0] = static_cast<BYTE>(block.size() & 0xFF);
    block[1] = static_cast<BYTE>((block.size() >> 8) & 0xFF);
    if (block.size() > 0xFFFF) return;
  }
  const void *value = nullptr;
  UINT length = 0;
  for (const char16_t *q :
       {u"\\", u"\\StringFileInfo\\040904B0\\FileDescription", u"\\StringFileInfo\\040904B0\\FileVersion",
        u"\\VarFileInfo\\Translation", u"\\StringFileInfo", u"\\a\\b\\c\\d\\e\\f\\g\\h\\i"}) {
    if (tp::win32::FindVersionValue(block.data(), q, &value, &length)) {
      const auto *p = static_cast<const BYTE *>(value);
      if (p < block.data() || p > block.data() + block.size()) __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  QueryAll(std::vector<BYTE>(data, data + size));
  const int fd = memfd_create("version", MFD_CLOEXEC);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  std::vector<BYTE> block;
  if (tp::win32::ReadVersionBlock("/proc/self/fd/" + std::to_string(fd), block) == ERROR_SUCCESS) {
    if (block.size() < 6) __builtin_trap();
    QueryAll(block);
  }
  close(fd);
  return 0;
}
