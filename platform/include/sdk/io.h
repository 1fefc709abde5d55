// The C runtime's <io.h> stand-in: file access checks. Implemented in
// platform/win32/Access.cpp. Paths are UTF-8 and may use "\" as separator.
#pragma once

#ifndef F_OK
#define F_OK 0
#endif
#ifndef W_OK
#define W_OK 2
#endif
#ifndef R_OK
#define R_OK 4
#endif

// 0 when the path exists and allows the access asked for (mode 0: exists,
// 2: writable, 4: readable, 6: both); else -1 with errno set (ENOENT, EACCES,
// EINVAL for a null path or another mode).
extern "C" int _access(const char *path, int mode);
