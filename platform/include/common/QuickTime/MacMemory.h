// Memory Manager of the QuickTime-style runtime: relocatable blocks reached
// through handles, and nonrelocatable blocks (pointers).
//
// Every block is a real allocation that knows its size and lock state. The
// caller owns what NewHandle and NewPtr return and gives it back with
// DisposeHandle and DisposePtr; a null handle or one this runtime did not
// make is refused (MemError then reports nilHandleErr or memWZErr) and never
// dereferenced. MemError is per thread: it reports the last Memory Manager
// call made on the calling thread.
#pragma once

#include "MacTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

OSErr MemError(void);
Handle NewHandle(Size byteCount);
void DisposeHandle(Handle h);
Size GetHandleSize(Handle h);
void HLock(Handle h);
void HUnlock(Handle h);
void HLockHi(Handle h);
Ptr NewPtr(Size byteCount);
void DisposePtr(Ptr p);
void BlockMoveData(const void *srcPtr, void *destPtr, Size byteCount);

#ifdef __cplusplus
}
#endif
