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

  // A track left out because nothing on this system decodes it: its handler
  // type ('vide', 'soun') and its codec type or sound format.
  struct RefusedTrack {
    DWORD handlerType;  // kVideoHandler or kSoundHandler
    DWORD codec;
  };
  static constexpr DWORD kVideoHandler = 0x76696465;  // 'vide'
  static constexpr DWORD kSoundHandler = 0x736f756e;  // 'soun'

  // The tracks left out when the movie was opened, in the order found, at
  // most one video and one sound track; count 0 when none. false past the
  // last.
  virtual ULONG GetRefusedTrackCount() { return 0; }
  virtual bool GetRefusedTrack(ULONG /*index*/, RefusedTrack * /*track*/) { return false; }
};
