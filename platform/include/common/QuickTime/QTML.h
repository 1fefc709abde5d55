// QTML: start-up and shut-down of the QuickTime-style runtime in a process,
// native path conversion and graphics worlds over Windows bitmaps.
//
// InitializeQTML and TerminateQTML nest: every successful InitializeQTML is
// balanced by one TerminateQTML, and the runtime shuts down at the last.
// IsQTMLInitialized answers whether the runtime is initialised in this
// process (at least one InitializeQTML not yet balanced).
#pragma once

#include "MacTypes.h"
#include "ImageCompression.h"
#include "Movies.h"

enum {
  kInitializeQTMLNoSoundFlag = 1 << 0,
  kInitializeQTMLUseGDIFlag = 1 << 1,
  kInitializeQTMLDisableDirectSound = 1 << 2,
};

// NativePathNameToFSSpec flags.
enum { kFullNativePath = (SInt32)0x80000000 };

#ifdef __cplusplus
extern "C" {
#endif

OSErr InitializeQTML(SInt32 flag);
void TerminateQTML(void);
Boolean IsQTMLInitialized(void);
OSErr NativePathNameToFSSpec(char *inName, FSSpec *outFile, SInt32 flags);
OSErr NewGWorldFromHBITMAP(GWorldPtr *offscreenGWorld, CTabHandle cTable, GDHandle aGDevice, GWorldFlags flags,
                           void *newHBITMAP, void *newHDC);

#ifdef __cplusplus
}
#endif
