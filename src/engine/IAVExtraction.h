// IAVExtraction: an opened movie (the movie session). The filter creates one
// per loaded file with new, reads GetStatus, borrows its track objects for
// the output pins, and deletes it through the virtual destructor, which
// deletes the tracks, disposes the movie and leaves the runtime.
#pragma once

#include <windows.h>

class IMediaExtraction;

class IAVExtraction {
 public:
  virtual ~IAVExtraction() = default;

  // The first sound track's object, or null. Owned by the session.
  virtual IMediaExtraction *GetAudioExtraction() = 0;
  // The first video track's object, or null. Owned by the session.
  virtual IMediaExtraction *GetVideoExtraction() = 0;
  // 0 when usable; otherwise the runtime error number that stopped the
  // opening, or 2 when an allocation failed.
  virtual LONG GetStatus() = 0;
};
