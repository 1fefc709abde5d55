// ResultCodes: the engine's outcomes turned into the results a host sees.
// LoadResult gives IFileSourceFilter::Load's failure for a movie session
// that did not open (the table in include/tidepool/Tidepool.h); StreamResult
// gives FillBuffer's result for what a track's GetNextSample answered.
// Plain functions; any thread.
#pragma once

#include <windows.h>

#include "engine/IAVExtraction.h"

// Load's failure for a session status that is not 0 (a runtime error
// number, or 2 for an allocation that failed), with the tracks the session
// left out (they decide between unsupported video and audio). E_FAIL for a
// status of 0, which is no failure to report.
HRESULT LoadResult(LONG status, const IAVExtraction::RefusedTrack *refused, ULONG refusedCount);

// The stream's result for GetNextSample's: S_OK for a sample (0 or more),
// S_FALSE for the end of the track or a failure that ends it (-1 and every
// other error), and a failure for a read that failed (the graph is to be
// told: the movie has not ended).
HRESULT StreamResult(LONG trackResult);
