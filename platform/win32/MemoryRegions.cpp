// VirtualQuery over /proc/self/maps, enough to find the module that holds an
// address: image regions report MEM_IMAGE with the module's base address as
// their allocation base.
#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "win32/ModuleTable.h"

namespace {

// The highest user-mode address of a 47-bit address space.
constexpr std::uintptr_t kUserLimit = (std::uintptr_t{1} << 47) - 1;

std::string readMaps() {
  std::string text;
  const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return text;
}

DWORD protectionOf(const char *perms) {
  const bool r = perms[0] == 'r', w = perms[1] == 'w', x = perms[2] == 'x';
  if (x) return w ? PAGE_EXECUTE_READWRITE : (r ? PAGE_EXECUTE_READ : PAGE_EXECUTE);
  if (w) return PAGE_READWRITE;
  return r ? PAGE_READONLY : PAGE_NOACCESS;
}

}  // namespace

EXTERN_C SIZE_T WINAPI VirtualQuery(LPCVOID lpAddress, PMEMORY_BASIC_INFORMATION lpBuffer, SIZE_T dwLength) {
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(lpAddress);
  if (lpBuffer == nullptr || dwLength < sizeof(MEMORY_BASIC_INFORMATION) || address > kUserLimit) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t pageStart = address & ~(page - 1);
  std::memset(lpBuffer, 0, sizeof *lpBuffer);

  // Find the mapping holding the address, or the gap before the next one.
  const std::string maps = readMaps();
  std::uintptr_t gapEnd = kUserLimit + 1;
  bool found = false;
  std::uintptr_t start = 0, end = 0;
  char perms[8] = {};
  char path[4096] = {};
  size_t line = 0;
  while (line < maps.size()) {
    size_t next = maps.find('\n', line);
    if (next == std::string::npos) next = maps.size();
    const std::string text = maps.substr(line, next - line);
    line = next + 1;
    std::uintptr_t s = 0, e = 0;
    char p[8] = {};
    char file[4096] = {};
    // start-end perms offset dev inode [path]
    if (std::sscanf(text.c_str(), "%" SCNxPTR "-%" SCNxPTR " %7s %*s %*s %*s %4095[^\n]", &s, &e, p, file) < 3)
      continue;
    if (address >= s && address < e) {
      found = true, start = s, end = e;
      std::memcpy(perms, p, sizeof perms);
      std::memcpy(path, file, sizeof path);
      break;
    }
    if (s > address && s < gapEnd) gapEnd = s;
  }

  if (!found) {
    lpBuffer->BaseAddress = reinterpret_cast<PVOID>(pageStart);
    lpBuffer->RegionSize = gapEnd - pageStart;
    lpBuffer->State = MEM_FREE;
    lpBuffer->Protect = PAGE_NOACCESS;
    return sizeof *lpBuffer;
  }

  lpBuffer->BaseAddress = reinterpret_cast<PVOID>(pageStart);
  lpBuffer->RegionSize = end - pageStart;
  lpBuffer->Protect = protectionOf(perms);
  lpBuffer->AllocationProtect = lpBuffer->Protect;
  lpBuffer->AllocationBase = reinterpret_cast<PVOID>(start);
  lpBuffer->State = MEM_COMMIT;
  if (std::optional<tp::win32::ObjectInfo> object = tp::win32::objectAt(lpAddress)) {
    lpBuffer->Type = MEM_IMAGE;
    lpBuffer->AllocationBase = reinterpret_cast<PVOID>(object->base);
  } else if (path[0] == '/') {
    lpBuffer->Type = MEM_MAPPED;
  } else {
    lpBuffer->Type = MEM_PRIVATE;
    // Inaccessible anonymous memory is address space held back, not committed.
    if (lpBuffer->Protect == PAGE_NOACCESS) lpBuffer->State = MEM_RESERVE;
  }
  return sizeof *lpBuffer;
}
