// The library's exported entries: formatting of trace lines, dump files,
// usage tracking (local only) and the test capture.
#include <quilltrace.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>  // std::lock_guard
#include <string>

#include "TraceOutput.h"
#include "Utf8.h"

namespace {

using quilltrace::AppendUtf8;
using quilltrace::Lock;
using quilltrace::TraceOutput;

constexpr int kMessageLimit = 1024;  // wvsprintf's own limit, terminator included

void AppendPrefix(int level, std::string *line) {
  char head[16];
  std::snprintf(head, sizeof head, "[%d] ", level);
  line->append(head);
}

// The message's own trailing line breaks give way to exactly one "\n".
void AppendBody(std::string_view message, std::string *line) {
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.remove_suffix(1);
  line->append(message);
  line->push_back('\n');
}

int TraceNarrow(bool raw, int level, const char *tag, const char *format, va_list args) {
  if (format == nullptr) return -1;
  TraceOutput &output = TraceOutput::Instance();
  if (!output.Wants(level)) return 0;
  char message[kMessageLimit];
  const int n = wvsprintfA(message, format, args);
  const std::string_view text(message, strnlen(message, sizeof message));
  std::string line;
  if (raw) {
    line.assign(text);
  } else {
    AppendPrefix(level, &line);
    if (tag != nullptr) line.append(tag).append(": ");
    AppendBody(text, &line);
  }
  output.Write(line);
  return n;
}

int TraceWide(bool raw, int level, const WCHAR *tag, const WCHAR *format, va_list args) {
  if (format == nullptr) return -1;
  TraceOutput &output = TraceOutput::Instance();
  if (!output.Wants(level)) return 0;
  WCHAR message[kMessageLimit];
  const int n = wvsprintfW(message, format, args);
  int length = 0;
  while (length < kMessageLimit && message[length] != 0) ++length;
  std::string text;
  AppendUtf8(message, length, &text);
  std::string line;
  if (raw) {
    line = std::move(text);
  } else {
    AppendPrefix(level, &line);
    if (tag != nullptr) {
      AppendUtf8(tag, -1, &line);
      line.append(": ");
    }
    AppendBody(text, &line);
  }
  output.Write(line);
  return n;
}

// The open dump file. Its lock is a leaf and is never held together with
// the trace output's lock.
struct DumpFile {
  Lock mutex;
  std::string path;  // UTF-8, "/" separators off Windows
  std::FILE *file = nullptr;

  void CloseLocked() {
    if (file != nullptr) std::fclose(file);
    file = nullptr;
    path.clear();
  }
  ~DumpFile() {
    std::lock_guard<Lock> lock(mutex);
    CloseLocked();
  }
};

DumpFile &Dump() {
  static DumpFile dump;
  return dump;
}

std::FILE *OpenForAppend(const WCHAR *path, const std::string &utf8) {
#if defined(_WIN32)
  (void)utf8;
  return _wfopen(path, L"ab");
#else
  (void)path;
  return std::fopen(utf8.c_str(), "ab");
#endif
}

}  // namespace

extern "C" {

QUILLTRACE_API int QUILLTRACE(int level, int flags, const WCHAR *tag, const WCHAR *format, va_list args) {
  return TraceWide(false, level, tag, format, args);
}

QUILLTRACE_API int QUILLTRACEA(int level, int flags, const char *tag, const char *format, va_list args) {
  return TraceNarrow(false, level, tag, format, args);
}

QUILLTRACE_API int QUILLTRACERAW(int level, int flags, const WCHAR *tag, const WCHAR *format, va_list args) {
  return TraceWide(true, level, tag, format, args);
}

QUILLTRACE_API int QUILLTRACERAWA(int level, int flags, const char *tag, const char *format, va_list args) {
  return TraceNarrow(true, level, tag, format, args);
}

QUILLTRACE_API int QUILLDumptoFile(const WCHAR *path, const void *data, int bytes) {
  if (path == nullptr || path[0] == 0 || bytes < 0 || (data == nullptr && bytes != 0)) return -1;
  std::string utf8;
  AppendUtf8(path, -1, &utf8);
#if !defined(_WIN32)
  for (char &c : utf8) {
    if (c == '\\') c = '/';
  }
#endif
  DumpFile &dump = Dump();
  std::lock_guard<Lock> lock(dump.mutex);
  if (dump.file == nullptr || dump.path != utf8) {
    dump.CloseLocked();
    dump.file = OpenForAppend(path, utf8);
    if (dump.file == nullptr) return -1;
    dump.path = utf8;
  }
  if (bytes == 0) return 0;
  const size_t written = std::fwrite(data, 1, static_cast<size_t>(bytes), dump.file);
  std::fflush(dump.file);
  return static_cast<int>(written);
}

QUILLTRACE_API int QUILLDumpFileClose(void) {
  DumpFile &dump = Dump();
  std::lock_guard<Lock> lock(dump.mutex);
  dump.CloseLocked();
  return 0;
}

QUILLTRACE_API int QUILLIsDebugMode(void) { return TraceOutput::Instance().Enabled() ? 1 : 0; }

QUILLTRACE_API int QUILLTRACKING_INTERNAL(const char *event, const char *detail) {
  std::string line = "[track] ";
  line.append(event != nullptr ? event : "").append(": ").append(detail != nullptr ? detail : "").push_back('\n');
  TraceOutput::Instance().Write(line);
  return 0;
}

QUILLTRACE_API int QUILLTRACKING_UPLOAD_INTERNAL(void) { return 0; }

QUILLTRACE_API int QUILLTRACKING_UPLOAD_ASYNC_INTERNAL(void) { return 0; }

QUILLTRACE_API void QuillTraceConfigure(void) { TraceOutput::Instance().Configure(); }

QUILLTRACE_API void QuillTraceCaptureBegin(void) { TraceOutput::Instance().CaptureBegin(); }

QUILLTRACE_API int QuillTraceCaptureTake(char *buffer, int size) {
  return TraceOutput::Instance().CaptureTake(buffer, size);
}

QUILLTRACE_API void QuillTraceCaptureEnd(void) { TraceOutput::Instance().CaptureEnd(); }

}  // extern "C"
