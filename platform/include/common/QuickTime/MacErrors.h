// Error numbers of the QuickTime-style runtime (16-bit OSErr values). The
// runtime returns them from its calls and keeps the last one per thread for
// GetMoviesError and MemError.
#pragma once

#include "MacTypes.h"

enum {
  unimpErr = -4,      // selector or function not implemented
  ioErr = -36,        // reading the file failed
  bdNamErr = -37,     // path empty or too long for an FSSpec
  eofErr = -39,       // read past the end of the file
  tmfoErr = -42,      // too many movie files open
  fnfErr = -43,       // file not found
  paramErr = -50,     // null or out-of-range argument
  permErr = -54,      // the file exists but cannot be opened for reading
  rfNumErr = -51,     // not an open movie file reference
  memFullErr = -108,  // allocation failed or size absurd
  nilHandleErr = -109,
  memWZErr = -111,      // not a handle or pointer of this runtime
  memLockedErr = -117,  // a locked block would have to move
  cDepthErr = -157,     // graphics world pixel format not supported
};

// Image Compression Manager.
enum {
  codecErr = -8960,         // the decoder failed (set-up, or a frame it cannot produce)
  noCodecErr = -8961,       // no decoder for this codec type
  codecAbortErr = -8967,    // the operation was cancelled (a held-back picture flushed)
  codecBadDataErr = -8969,  // the sample's data is corrupt; later samples may still decode
};

enum {
  couldNotResolveDataRef = -2000,
  badImageDescription = -2001,
  cantFindHandler = -2003,
  invalidMedia = -2008,
  invalidTrack = -2009,
  invalidMovie = -2010,
  invalidSampleTable = -2011,
  invalidTime = -2015,
  movieToolboxUninitialized = -2020,
  userDataItemNotFound = -2026,
  maxSizeToGrowTooSmall = -2027,
  badTrackIndex = -2028,
  timeNotInMedia = -2032,
  internalQuickTimeError = -2034,
  invalidSampleDescIndex = -2039,
  noMovieFound = -2048,
  featureUnsupported = -2053,
};

enum {
  badComponentInstance = (SInt32)0x80008001,
  badComponentSelector = (SInt32)0x80008002,
};
