#include "trace/Trace.h"

#include <cstdarg>
#include <cstring>

const char kModuleTagA[] = "Tidepool";
const WCHAR kModuleTagW[] = TEXT("Tidepool");

namespace {

QuillTraceBinding g_binding;

// Binds the library when the module is loaded and unbinds it at unload. It
// lives in this file so that whatever calls a trace entry point links it.
struct BindingLifetime {
  BindingLifetime() { BindTraceLibrary(&g_binding, SystemTraceLoaderApi()); }
  ~BindingLifetime() { UnbindTraceLibrary(&g_binding, SystemTraceLoaderApi()); }
  BindingLifetime(const BindingLifetime &) = delete;
  BindingLifetime &operator=(const BindingLifetime &) = delete;
} g_bindingLifetime;

int TraceNarrow(int level, const char *format, va_list args) {
  const PFN_QUILLTRACEA entry = g_binding.traceA;
  return entry != nullptr ? entry(level, 0, kModuleTagA, format, args) : -1;
}

int TraceWide(int level, const WCHAR *format, va_list args) {
  const PFN_QUILLTRACE entry = g_binding.trace;
  return entry != nullptr ? entry(level, 0, kModuleTagW, format, args) : -1;
}

}  // namespace

#define TP_DEFINE_TRACE(name, level, Char, forward)  \
  int name(const Char *format, ...) {                \
    va_list args;                                    \
    va_start(args, format);                          \
    const int result = forward(level, format, args); \
    va_end(args);                                    \
    return result;                                   \
  }

TP_DEFINE_TRACE(TraceA2, 2, char, TraceNarrow)
TP_DEFINE_TRACE(TraceA4, 4, char, TraceNarrow)
TP_DEFINE_TRACE(TraceA8, 8, char, TraceNarrow)
TP_DEFINE_TRACE(TraceW2, 2, WCHAR, TraceWide)
TP_DEFINE_TRACE(TraceW4, 4, WCHAR, TraceWide)
TP_DEFINE_TRACE(TraceW8, 8, WCHAR, TraceWide)
#undef TP_DEFINE_TRACE

int TraceDumpToFile(const WCHAR *path, const void *data, int bytes) {
  const PFN_QUILLDumptoFile entry = g_binding.dumpToFile;
  return entry != nullptr ? entry(path, data, bytes) : -1;
}

QuillTraceBinding &TheQuillTraceBinding() { return g_binding; }

const WCHAR *FormatGuid(const GUID *guid) {
  if (guid == nullptr) return nullptr;
  // One buffer per thread: a process-wide one would let two threads' texts
  // run into each other.
  static thread_local WCHAR text[64];
  BYTE first[4];
  const DWORD data1 = guid->Data1;
  std::memcpy(first, &data1, sizeof first);
  auto shown = [](BYTE b) -> int { return (b >= 0x20 && b <= 0x7E) ? b : '.'; };
  wsprintfW(text, TEXT("%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X (%c%c%c%c)"), data1, guid->Data2, guid->Data3,
            guid->Data4[0], guid->Data4[1], guid->Data4[2], guid->Data4[3], guid->Data4[4], guid->Data4[5],
            guid->Data4[6], guid->Data4[7], shown(first[0]), shown(first[1]), shown(first[2]), shown(first[3]));
  return text;
}
