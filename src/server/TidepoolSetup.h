// The filter's registration record: what the filter mapper lists for
// Tidepool (class id, name "Tidepool", merit, the "Audio" and "Video" output
// pins), and the movie file extensions the module registers it for.
// Static data; the factory template of the filter points to sudTidepool.
#pragma once

#include <windows.h>

#include "server/CFactoryTemplate.h"

extern const AMOVIESETUP_FILTER sudTidepool;

// ".264" ... ".qt": the 16 extensions, in the order registration walks them.
extern const WCHAR *const kTidepoolExtensions[];
extern const int kTidepoolExtensionCount;
