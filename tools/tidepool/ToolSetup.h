// What the tidepool tool arranges before it opens a movie: the runtime's
// registry entry when none exists, and trace output on request.
#pragma once

#include <string>

namespace tidepool {

// When HKLM\SOFTWARE\Apple Computer, Inc.\QuickTime has no "QTSysDir", writes
// the QuickTime folder beside the tool's own bin/ folder (../QuickTime/
// relative to the executable), with a trailing separator; unless the
// installer put the tool in place (HKLM\SOFTWARE\Tidepool "InstallFolder"):
// the runtime's registration is then the installer's alone. Returns the
// value in effect afterwards (empty when none could be read or written).
std::string EnsureQuickTimeRegistered();

// Sends the trace to standard error: sets the trace library's
// QUILLTRACE_FILE and asks the library, already loaded at start-up, to read
// its environment again. false when the library is not there.
bool SendTraceToStandardError();

}  // namespace tidepool
