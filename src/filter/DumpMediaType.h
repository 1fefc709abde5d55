// DumpMediaType: writes one media type to the trace, one field per line
// (the three GUIDs, then the WAVEFORMATEX[TENSIBLE], VIDEOINFOHEADER or
// VIDEOINFOHEADER2 fields), so that the type a connection settled on can be
// read afterwards.
//
// Only fields that lie wholly inside the format block (cbFormat bytes) are
// printed, whatever the block's own size fields claim. Runs on the caller's
// thread; a null type writes nothing.
#pragma once

#include <windows.h>
#include <strmif.h>

void DumpMediaType(const AM_MEDIA_TYPE *pmt);
