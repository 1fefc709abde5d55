// The C runtime's _access: whether a path exists (mode 0) and may be
// written (2), read (4) or both (6). "\" separators are accepted.
#include <io.h>
#include <unistd.h>

#include <cerrno>

#include "win32/CodePage.h"

extern "C" int _access(const char *path, int mode) {
  if (!path || (mode != 0 && mode != 2 && mode != 4 && mode != 6)) {
    errno = EINVAL;
    return -1;
  }
  const std::string native = tp::win32::PathFromNarrow(path);
  int how = F_OK;
  if (mode & 2) how |= W_OK;
  if (mode & 4) how |= R_OK;
  return ::access(native.c_str(), how) == 0 ? 0 : -1;  // errno from access()
}
