// Linked into the Linux "QuickTime.qts" only: keeps the codec libraries
// resident once the runtime has been loaded.

#include <dlfcn.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace {

// The runtime may be loaded and freed many times in one process, but the
// codec libraries keep process-wide state (per-thread blocks, lazily built
// tables) that they never give back. Unloading them with us would strand that
// memory, so they stay resident once we have been loaded; the runtime itself
// still unloads.
void PinCodecLibraries() {
  const void *anchors[] = {
      reinterpret_cast<const void *>(&avformat_version), reinterpret_cast<const void *>(&avcodec_version),
      reinterpret_cast<const void *>(&avutil_version), reinterpret_cast<const void *>(&swscale_version),
      reinterpret_cast<const void *>(&swresample_version)};
  for (const void *anchor : anchors) {
    Dl_info info{};
    if (dladdr(anchor, &info) == 0 || info.dli_fname == nullptr) continue;
    // NOLOAD: only take a pin on a library that is already mapped; the extra
    // reference is never released, on purpose.
    (void)dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  }
}

struct CodecLibraryPin {
  CodecLibraryPin() { PinCodecLibraries(); }
} g_codecLibraryPin;

}  // namespace
