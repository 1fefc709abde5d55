// QuickTimeBinding: finds the runtime library "QuickTime.qts" at run time,
// binds its three entry points and routes every runtime call through the
// dispatcher entry. The engine never links the runtime: each runtime function
// it calls is a small stub (QuickTimeStubs.cpp) that runs the bind hook when
// one is armed and hands its selector and arguments to the dispatcher slot.
//
// Ownership: one binding per process (TheQuickTimeBinding). It holds the
// module handle while bound; the successful InitializeQTML calls are counted
// and the last TerminateQTML releases the library. While nothing is bound the
// dispatcher slot holds NotBoundDispatcher (and each component slot a
// not-bound function of its own type), so a call fails with kQTNotBoundErr
// and does nothing.
//
// Threads: InitializeQTML and TerminateQTML serialise through the named
// mutex "QTMLInitTermMutex<pid in lowercase hex>" (the only lock here; no
// other lock is ever taken while it is held, and the runtime's own
// initialisation and termination run under it). The stubs and the bind hook
// take no lock; the slots are atomics so that a worker calling a stub never
// races a binding change on another thread.
#pragma once

#include <atomic>

#include <windows.h>

#include "QuickTime/QTDispatch.h"

// Result codes of the binding itself.
constexpr OSErr kQTLoadFailedErr = -2093;    // "QuickTime.qts" could not be loaded
constexpr OSErr kQTEntryMissingErr = -2094;  // an entry point is missing
constexpr OSErr kQTNotBoundErr = -2095;      // a call made while nothing is bound

// The hook a stub runs first while it is armed. Its result is ignored.
using QTBindHook = LONG (*)();

struct QuickTimeBinding {
  std::atomic<HMODULE> module{nullptr};
  std::atomic<QTDispatcherProc> theQuickTimeDispatcher;
  std::atomic<QTCallComponentProc> _CallComponent;
  std::atomic<QTCallComponentFunctionWithStorageProc> _CallComponentFunctionWithStorage;
  std::atomic<QTBindHook> bindHook;
  // Successful InitializeQTML calls not yet balanced; guarded by the init
  // mutex.
  LONG initCount = 0;
  // CheckQuickTimeVersion's verdict, computed once.
  std::atomic<bool> versionChecked{false};
  std::atomic<bool> versionOk{false};

  QuickTimeBinding();
};

QuickTimeBinding &TheQuickTimeBinding();

// The dispatcher that every slot holds while unbound: returns kQTNotBoundErr.
EXTERN_C intptr_t NotBoundDispatcher(uint32_t selector, ...);

// Folder of the runtime's system files, with a trailing "\" (or "/"): the
// folder of an already loaded "QuickTime.qts", else registry "QTSysDir",
// else "QuickTime.qts folder", else the Windows system folder; the first
// that exists wins. Returns 1, or 0 with an empty buffer.
int GetQuickTimeSystemFolder(char *buffer, int size);
// Folder of the runtime's extensions: "QTExtDir", else the system folder
// (with "QuickTime\" appended when that is the Windows system folder).
// Returns 1, or 0 with an empty buffer.
int GetQuickTimeExtensionFolder(char *buffer, int size);
// LoadLibraryA of the name in the system folder, then in the extension
// folder. Null when neither loads or there is no system folder.
HMODULE LoadQuickTimeComponent(const char *name);
// Takes the three entries from the held module. 0, or kQTEntryMissingErr at
// the first missing one. Clears the bind hook on success.
LONG BindQuickTimeEntryPoints();
// The bind hook armed at start-up, for calls made before InitializeQTML.
LONG EnsureQuickTimeBound();
// True when the loaded (or loadable) "QuickTime.qts" is at least 7.0.2.0.
// Computed once per process.
bool CheckQuickTimeVersion();

// Test seam: puts the binding back into its start-up state (unbound, hook
// armed, count 0, version unchecked), releasing a held library.
void ResetQuickTimeBindingForTesting();
// The current count of outstanding InitializeQTML calls.
LONG QuickTimeInitCountForTesting();
