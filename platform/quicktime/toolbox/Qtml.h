// Qtml: start-up and shut-down of the runtime in a process, and the native
// path conversion. InitializeQTML / TerminateQTML nest with a process-wide
// count; IsInitialized answers the QTML query (true while at least one
// InitializeQTML is not balanced). Thread-safe; the count's lock is a leaf.
#pragma once

#include <QuickTime/Movies.h>

namespace tp::qt {

OSErr QtmlInitialize(SInt32 flags);
void QtmlTerminate();
bool QtmlIsInitialized();

// Fills *spec from a native path (ANSI code page; UTF-8 off Windows). The
// spec is filled even when the file does not exist (fnfErr), as callers may
// name a file they are about to make; a null argument gives paramErr and an
// empty or overlong path bdNamErr with the FSSpec cleared.
OSErr NativePathToFSSpec(const char *path, FSSpec *spec, SInt32 flags);

}  // namespace tp::qt
