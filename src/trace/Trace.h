// The trace entry points every layer calls, the module tag and the GUID
// formatter.
//
// TraceA2/A4/A8 take a narrow format, TraceW2/W4/W8 a wide one (wsprintf
// rules: in a wide format %s is a wide string); the digit is the level: 2
// progress and life cycle, 4 notable events, 8 failures. Each call hands the
// level, the module tag, the format and its arguments to the trace library
// and returns the library's result, or -1 when the library or its entry is
// not there. The calls take no lock and may come from any thread.
#pragma once

#include <windows.h>

#include "trace/QuillTraceBinding.h"

// The module tag every line carries.
extern const char kModuleTagA[];
extern const WCHAR kModuleTagW[];

int TraceA2(const char *format, ...);
int TraceA4(const char *format, ...);
int TraceA8(const char *format, ...);
int TraceW2(const WCHAR *format, ...);
int TraceW4(const WCHAR *format, ...);
int TraceW8(const WCHAR *format, ...);

// Forwards to the library's QUILLDumptoFile; -1 when it is not bound.
int TraceDumpToFile(const WCHAR *path, const void *data, int bytes);

// The process's binding, bound while the module is loaded.
QuillTraceBinding &TheQuillTraceBinding();

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX (abcd)": the GUID in upper-case hex,
// then the four bytes of its first field in memory order as characters
// (printable ASCII as itself, anything else as '.'), so that a FOURCC
// subtype shows its letters. Returns a buffer of the calling thread that the
// thread's next call overwrites, or null for a null GUID.
const WCHAR *FormatGuid(const GUID *guid);
