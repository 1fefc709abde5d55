#include "toolbox/Qtml.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "container/DataFile.h"

namespace tp::qt {
namespace {

std::mutex gQtmlMutex;  // leaf lock; guards gQtmlCount
int gQtmlCount = 0;

}  // namespace

OSErr QtmlInitialize(SInt32 flags) {
  (void)flags;  // sound, GDI and DirectSound choices mean nothing here
  std::lock_guard lock(gQtmlMutex);
  ++gQtmlCount;
  return noErr;
}

void QtmlTerminate() {
  std::lock_guard lock(gQtmlMutex);
  if (gQtmlCount > 0) --gQtmlCount;
}

bool QtmlIsInitialized() {
  std::lock_guard lock(gQtmlMutex);
  return gQtmlCount > 0;
}

OSErr NativePathToFSSpec(const char *path, FSSpec *spec, SInt32 flags) {
  (void)flags;
  if (!path || !spec) return paramErr;
  std::memset(spec, 0, sizeof *spec);
  size_t n = ::strnlen(path, kFSSpecMaxPathBytes);
  if (n == 0 || n >= kFSSpecMaxPathBytes) return bdNamErr;
  std::memcpy(spec->path, path, n);
  std::string p(path, n);
  size_t slash = p.find_last_of("/\\");
  std::string leaf = slash == std::string::npos ? p : p.substr(slash + 1);
  size_t len = std::min<size_t>(leaf.size(), sizeof spec->name - 1);
  spec->name[0] = uint8_t(len);
  std::memcpy(spec->name + 1, leaf.data(), len);
  return DataFile::Exists(p) ? OSErr(noErr) : OSErr(fnfErr);
}

}  // namespace tp::qt
