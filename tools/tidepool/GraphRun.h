// What the play command borrows from convert: running a built graph to its
// end, an error or Ctrl-C, with the progress bar drawn from the furthest
// stop time the sinks have seen (reached, 100 ns). 0, 1 or 130.
#pragma once

#include <windows.h>

#include <atomic>

#include "GraphHost.h"
#include "HostCommands.h"

namespace tidepool {

int RunGraphToEnd(GraphHost &host, std::atomic<LONGLONG> &reached, double durationSeconds);

// Plays in a window with sound (Linux builds with SDL2): the exit status,
// or -1 when there is no display to play on (after one line that says so),
// for the caller to play into discarding renderers instead. Builds without
// a player always give -1, silently.
int PlayInWindow(const PlayOptions &options);

}  // namespace tidepool
