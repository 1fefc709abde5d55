#include "filter/ResultCodes.h"

#include <vfwmsgs.h>

#include <tidepool/Tidepool.h>

#include "QuickTime/MacErrors.h"
#include "engine/QuickTimeBinding.h"

namespace {

constexpr LONG kAllocationFailed = 2;  // the session's own status for no memory

}  // namespace

HRESULT LoadResult(LONG status, const IAVExtraction::RefusedTrack *refused, ULONG refusedCount) {
  switch (status) {
    case 0:
      return E_FAIL;
    case fnfErr:
    case bdNamErr:
      return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    case permErr:
      return E_ACCESSDENIED;
    case ioErr:
      return HRESULT_FROM_WIN32(ERROR_READ_FAULT);
    case kQTLoadFailedErr:
    case kQTEntryMissingErr:
    case kQTNotBoundErr:
      return TIDEPOOL_E_RUNTIME_UNAVAILABLE;
    case kAllocationFailed:
    case memFullErr:
      return E_OUTOFMEMORY;
    case noMovieFound:
    case cantFindHandler:
      return VFW_E_UNKNOWN_FILE_TYPE;
    case noCodecErr:
      if (refused != nullptr && refusedCount > 0 && refused[0].handlerType == IAVExtraction::kSoundHandler)
        return VFW_E_UNSUPPORTED_AUDIO;
      return VFW_E_UNSUPPORTED_VIDEO;
    default:
      // Anything else the runtime found wrong in the file: a movie it
      // recognised but could not read through (cut short, bad tables).
      return VFW_E_INVALID_FILE_FORMAT;
  }
}

HRESULT StreamResult(LONG trackResult) {
  if (trackResult >= 0) return S_OK;
  if (trackResult == eofErr) return HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
  if (trackResult == ioErr) return HRESULT_FROM_WIN32(ERROR_READ_FAULT);
  return S_FALSE;
}
