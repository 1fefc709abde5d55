// Builds without the SDL2 player (Windows): play always uses the
// discarding renderers.
#include "GraphRun.h"

namespace tidepool {

int PlayInWindow(const PlayOptions &) { return -1; }

}  // namespace tidepool
