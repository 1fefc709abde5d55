// Internal to platform/dshow: deep copy and release of AM_MEDIA_TYPE records
// for the platform's own objects (the program has its own utilities).
// Format blocks and created records come from the COM task allocator.
#pragma once

#include <strmif.h>

namespace tp::dshow {

// A new record holding a deep copy of src (format block copied, IUnknown
// counted); null when src is null or memory runs out.
AM_MEDIA_TYPE *CreateMediaTypeCopy(const AM_MEDIA_TYPE *src);
// Frees a record made by CreateMediaTypeCopy (or by any task-allocator
// user): format block, IUnknown, then the record. Null is ignored.
void DeleteMediaTypeCopy(AM_MEDIA_TYPE *pmt);

}  // namespace tp::dshow
