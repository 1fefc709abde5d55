// The binding of the optional trace library "quilltrace.dll": its module
// handle and its ten entries, found once when the module loads and dropped
// when it unloads.
//
// QuillTraceBinding is plain data; the process has one (TheQuillTraceBinding,
// in Trace.h), owned by a static object of the trace entry points. It holds a
// reference on the library while bound. LoadTraceLibrary reaches the system
// through a TraceLoaderApi, so that tests can stand in for any of its calls.
//
// Binding and unbinding run during module load and unload, when no trace call
// is under way; in between the binding is only read, from any thread.
#pragma once

#include <windows.h>

#include <quilltrace.h>

struct QuillTraceBinding {
  HMODULE module = nullptr;  // the library, or null when absent
  // The entries, in the order they are looked up. Any of them may be null.
  PFN_QUILLTRACE trace = nullptr;
  PFN_QUILLTRACERAW traceRaw = nullptr;
  PFN_QUILLTRACEA traceA = nullptr;
  PFN_QUILLTRACERAWA traceRawA = nullptr;
  PFN_QUILLDumptoFile dumpToFile = nullptr;
  PFN_QUILLIsDebugMode isDebugMode = nullptr;
  PFN_QUILLDumpFileClose dumpFileClose = nullptr;
  PFN_QUILLTRACKING_INTERNAL tracking = nullptr;
  PFN_QUILLTRACKING_UPLOAD_INTERNAL trackingUpload = nullptr;
  PFN_QUILLTRACKING_UPLOAD_ASYNC_INTERNAL trackingUploadAsync = nullptr;
};

// The system calls LoadTraceLibrary makes, and the address it takes to be
// inside this module's code.
struct TraceLoaderApi {
  HMODULE(WINAPI *getModuleHandleW)(LPCWSTR name);
  FARPROC(WINAPI *getProcAddress)(HMODULE module, LPCSTR name);
  SIZE_T(WINAPI *virtualQuery)(LPCVOID address, PMEMORY_BASIC_INFORMATION info, SIZE_T size);
  DWORD(WINAPI *getModuleFileNameW)(HMODULE module, LPWSTR path, DWORD size);
  HMODULE(WINAPI *loadLibraryW)(LPCWSTR path);
  BOOL(WINAPI *freeLibrary)(HMODULE module);
  void(WINAPI *outputDebugStringW)(LPCWSTR text);
  const void *codeAddress;
};

// The real system calls, with an address inside this module's code.
const TraceLoaderApi &SystemTraceLoaderApi();

// Finds the trace library: already loaded in the process (then used from
// wherever it was loaded), else "quilltrace.dll" beside this module. Writes
// its progress with OutputDebugStringW. Returns a handle holding one
// reference, or null.
HMODULE LoadTraceLibrary(const TraceLoaderApi &api);

// Loads the library into `binding` and looks up its entries; a binding
// without a library has every slot null.
void BindTraceLibrary(QuillTraceBinding *binding, const TraceLoaderApi &api);

// Empties the slots, then frees the library.
void UnbindTraceLibrary(QuillTraceBinding *binding, const TraceLoaderApi &api);
