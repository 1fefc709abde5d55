// The exports of "QuickTime.qts". Only these three symbols leave the library;
// everything else is built with hidden visibility (on Windows: is not named
// in the .def file).

#include <cstdarg>
#include <cstdint>

#include <tpversion.h>
#include <QuickTime/QTDispatch.h>

#include "toolbox/Dispatcher.h"

TP_VERSION_RESOURCE(7, 7, 0, 0, "Tidepool movie runtime");

// On Windows the .def file beside the Windows back end names the exports.
#if defined(_WIN32)
#define QT_EXPORT extern "C"
#else
#define QT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

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
