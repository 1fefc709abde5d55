// Registration of the module's classes, filters and file extensions, behind
// DllRegisterServer and DllUnregisterServer (DllEntry.h).
//
// Registering writes, under HKEY_CLASSES_ROOT:
//   "Media Type\Extensions\<ext>" "Source Filter" = the braced filter class
//     id, for each of the 16 extensions (outcomes ignored);
//   "CLSID\{class id}" = template name, with "InprocServer32" = the module's
//     full path and "ThreadingModel" = "Both", for every template;
// and each filter template's record through the filter mapper
// (IFilterMapper2, else the old IFilterMapper). Unregistering removes the
// same, extensions first; missing entries are no error.
//
// The module's path must fit MAX_PATH characters: a longer one is refused
// with HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) before anything is
// written, never registered cut short.
//
// Threads: any; COM is initialised on the calling thread for the mapper
// calls (and left as it was when the thread is in another apartment).
// Processes may register and unregister at once: each registry change is
// atomic, but a registration racing a removal may find a key deleted under
// it and fail with HRESULT_FROM_WIN32(ERROR_KEY_DELETED), as on Windows; a
// later registration writes the complete set again.
#pragma once

#include <windows.h>

#include "server/CFactoryTemplate.h"

// The module's full path as the system's narrow code page gives it, widened
// into path (MAX_PATH characters); the failure's HRESULT otherwise.
HRESULT GetModulePath(HINSTANCE module, WCHAR (&path)[MAX_PATH]);

// Registers (bRegister) or removes every template's class and filter entry.
// modulePath is needed only when registering.
HRESULT AMovieDllRegisterServer2(BOOL bRegister, const WCHAR *modulePath);
