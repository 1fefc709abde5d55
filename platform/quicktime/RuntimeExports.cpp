// The exports of "QuickTime.qts". Only these three symbols leave the library;
// everything else is built with hidden visibility.

#include <dlfcn.h>

#include <cstdarg>
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <tpversion.h>
#include <QuickTime/QTDispatch.h>

#include "Dispatcher.h"

TP_VERSION_RESOURCE(7, 7, 0, 0, "Tidepool movie runtime");

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

#define QT_EXPORT extern "C" __attribute__((visibility("default")))

QT_EXPORT intptr_t theQuickTimeDispatcher(uint32_t selector, ...) {
  va_list args;
  va_start(args, selector);
  intptr_t r = tp::qt::Dispatch(selector, args);
  va_end(args);
  return r;
}

QT_EXPORT SInt32 _CallComponent(void *componentInstance, void *componentParams) {
  (void)componentInstance;
  (void)componentParams;
  return badComponentSelector;
}

QT_EXPORT SInt32 _CallComponentFunctionWithStorage(Handle storage, void *componentParams, void *function) {
  (void)storage;
  (void)componentParams;
  (void)function;
  return badComponentSelector;
}
