// The three exports of "QuickTime.qts" and the contract of its dispatcher.
//
// theQuickTimeDispatcher(selector, ...) performs the API function named by
// the selector (QTSelectors.h) with that function's arguments, passed in
// their declared order with the ordinary variadic promotions (16-bit and
// 8-bit values travel as int; "long" values are 32-bit, SInt32). The result
// is pointer-sized so that Handle, Ptr, Movie, Track and Media results fit;
// an OSErr, Boolean or 32-bit result is returned sign-extended (OSErr) or
// zero-extended (Boolean, unsigned), and a void function returns 0.
//
// GetMediaSample2 is the one exception, because it takes a 64-bit value: its
// selector is followed by the address of a 16-bit OSErr result slot and then
// by the address of each of its 13 arguments, in order. The dispatcher
// writes the result into the slot and also returns it.
//
// An unknown selector, or one whose manager this runtime does not provide,
// returns unimpErr (-4) and does nothing. The dispatcher may be called from
// any thread; calls on different movies run in parallel, and one movie (its
// tracks and media) may be read from several threads at once.
//
// _CallComponent and _CallComponentFunctionWithStorage are exported for
// callers that bind all three entry points; no component of this runtime is
// reached through them, and they answer badComponentSelector.
#pragma once

#include <stdint.h>

#include "MacTypes.h"
#include "MacErrors.h"

typedef intptr_t (*QTDispatcherProc)(uint32_t selector, ...);
typedef SInt32 (*QTCallComponentProc)(void *componentInstance, void *componentParams);
typedef SInt32 (*QTCallComponentFunctionWithStorageProc)(Handle storage, void *componentParams, void *function);

// Export names, as GetProcAddress / dlsym see them.
#define kQTDispatcherExportName "theQuickTimeDispatcher"
#define kQTCallComponentExportName "_CallComponent"
#define kQTCallComponentFunctionWithStorageExportName "_CallComponentFunctionWithStorage"

// The file name of the runtime library.
#define kQTRuntimeFileName "QuickTime.qts"
