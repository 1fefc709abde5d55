// The trace library "quilltrace.dll": its exported entries and, for tests,
// its capture entries.
//
// A program normally binds the library at run time (LoadLibraryW +
// GetProcAddress by the names below) and may run without it; the PFN_ types
// are for that. Tests may also link it directly.
//
// Each trace call formats one message with wvsprintfA / wvsprintfW (at most
// 1023 characters; longer messages are cut), and, when its level is at least
// the minimum level, writes one line "[<level>] <tag>: <message>\n" (UTF-8;
// the message's own trailing line breaks are replaced by exactly one "\n";
// without a tag the line is "[<level>] <message>\n"). Each line is written
// whole: concurrent calls never interleave within a line.
//
// Environment, read when the library loads and again by QuillTraceConfigure:
//   QUILLTRACE_FILE   a path: lines are appended to that file;
//                     "stderr": lines go to standard error;
//                     unset or empty: lines go nowhere (only to a capture).
//   QUILLTRACE_LEVEL  the minimum level written (decimal); unset or not a
//                     number: 0, everything.
//
// Every entry accepts concurrent calls from any thread. Strings passed in are
// borrowed for the call only.
#pragma once

#include <stdarg.h>

#include <windows.h>

#if defined(_WIN32)
#if defined(QUILLTRACE_BUILDING)
#define QUILLTRACE_API __declspec(dllexport)
#else
#define QUILLTRACE_API
#endif
#else
#define QUILLTRACE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// ---- trace lines -----------------------------------------------------------
// `flags` is reserved and must be 0. `tag` may be null. The result is the
// length of the formatted message in characters; 0 when the level is below
// the minimum or the line would go nowhere (then nothing is formatted); -1
// for a null format.
QUILLTRACE_API int QUILLTRACE(int level, int flags, const WCHAR *tag, const WCHAR *format, va_list args);
QUILLTRACE_API int QUILLTRACEA(int level, int flags, const char *tag, const char *format, va_list args);
// As above, but the formatted text is written exactly as it comes: no level
// and tag prefix, no line break added. Level filtering still applies.
QUILLTRACE_API int QUILLTRACERAW(int level, int flags, const WCHAR *tag, const WCHAR *format, va_list args);
QUILLTRACE_API int QUILLTRACERAWA(int level, int flags, const char *tag, const char *format, va_list args);

// ---- dump files ------------------------------------------------------------
// Appends `bytes` bytes of `data` to the file at `path` ("\" or "/"
// separators), which stays open for further dumps to the same path until
// QUILLDumpFileClose or a dump to another path. Returns the number of bytes
// written, or -1 for a null path, null data with a non-zero size, a negative
// size or a file that cannot be opened.
QUILLTRACE_API int QUILLDumptoFile(const WCHAR *path, const void *data, int bytes);
// Closes the open dump file, if any. Returns 0.
QUILLTRACE_API int QUILLDumpFileClose(void);
// 1 when trace lines go anywhere (a file, standard error or a capture), else 0.
QUILLTRACE_API int QUILLIsDebugMode(void);

// ---- usage tracking --------------------------------------------------------
// This library keeps usage events local: QUILLTRACKING_INTERNAL writes the
// event as a trace line "[track] <event>: <detail>" (either may be null) and
// returns 0; nothing is ever uploaded, and the two upload entries return 0.
QUILLTRACE_API int QUILLTRACKING_INTERNAL(const char *event, const char *detail);
QUILLTRACE_API int QUILLTRACKING_UPLOAD_INTERNAL(void);
QUILLTRACE_API int QUILLTRACKING_UPLOAD_ASYNC_INTERNAL(void);

// ---- configuration and capture (tests) -----------------------------------------
// Reads QUILLTRACE_FILE and QUILLTRACE_LEVEL again and reopens the output.
QUILLTRACE_API void QuillTraceConfigure(void);
// Starts capturing: from now on every written line is also kept in memory.
// A capture already running is emptied.
QUILLTRACE_API void QuillTraceCaptureBegin(void);
// Copies the captured lines, concatenated, with a terminator, into `buffer`
// and empties the capture, when `size` (bytes) is large enough. Always
// returns the size needed, terminator included; a buffer that is too small
// (or null) gets nothing and the capture is kept.
QUILLTRACE_API int QuillTraceCaptureTake(char *buffer, int size);
// Stops capturing and drops what was captured.
QUILLTRACE_API void QuillTraceCaptureEnd(void);

#ifdef __cplusplus
}
#endif

typedef int (*PFN_QUILLTRACE)(int, int, const WCHAR *, const WCHAR *, va_list);
typedef int (*PFN_QUILLTRACEA)(int, int, const char *, const char *, va_list);
typedef int (*PFN_QUILLTRACERAW)(int, int, const WCHAR *, const WCHAR *, va_list);
typedef int (*PFN_QUILLTRACERAWA)(int, int, const char *, const char *, va_list);
typedef int (*PFN_QUILLDumptoFile)(const WCHAR *, const void *, int);
typedef int (*PFN_QUILLIsDebugMode)(void);
typedef int (*PFN_QUILLDumpFileClose)(void);
typedef int (*PFN_QUILLTRACKING_INTERNAL)(const char *, const char *);
typedef int (*PFN_QUILLTRACKING_UPLOAD_INTERNAL)(void);
typedef int (*PFN_QUILLTRACKING_UPLOAD_ASYNC_INTERNAL)(void);
typedef void (*PFN_QuillTraceCaptureBegin)(void);
typedef int (*PFN_QuillTraceCaptureTake)(char *, int);
typedef void (*PFN_QuillTraceCaptureEnd)(void);

#ifdef __cplusplus
#include <string>

// Takes everything captured so far through `take` (QuillTraceCaptureTake, or
// its address from GetProcAddress).
inline std::string QuillTraceTakeCaptured(PFN_QuillTraceCaptureTake take) {
  std::string text;
  for (;;) {
    const int need = take(nullptr, 0);
    text.assign(static_cast<size_t>(need > 0 ? need : 1), '\0');
    if (take(text.data(), static_cast<int>(text.size())) <= static_cast<int>(text.size())) break;
  }
  text.resize(text.find('\0'));
  return text;
}
#endif
