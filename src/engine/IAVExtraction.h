// IAVExtraction: an opened movie (the movie session). The filter creates one
// per loaded file with new, reads GetStatus, borrows its track objects for
// the output pins, and deletes it through the virtual destructor, which
// deletes the tracks, disposes the movie and leaves the runtime.
#pragma once

#include <windows.h>

class IMediaExtraction;
struct MovieContents;

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

  // Every track, the chapters and the metadata (read on the first call), or
  // null when the session has none. Owned by the session.
  virtual const MovieContents *GetContents() { return nullptr; }
  // The 1-based index (the runtime's track order) of the sound track behind
  // GetAudioExtraction, or 0.
  virtual int GetSoundTrackIndex() { return 0; }
  // A new track object for sound track `trackIndex`, which from then on is
  // the movie's enabled sound track; null (nothing changed) when that is no
  // sound track or nothing decodes it. The caller owns the object until it
  // hands it to AdoptAudioExtraction, or gives it up with
  // DiscardSoundTrack. Control threads, one switch at a time.
  virtual IMediaExtraction *CreateSoundTrack(int /*trackIndex*/) { return nullptr; }
  // Makes `track` (from CreateSoundTrack) the session's sound track object
  // and deletes the one before, which no pin may use any more.
  virtual void AdoptAudioExtraction(IMediaExtraction * /*track*/) {}
  // Deletes `track` (from CreateSoundTrack) and enables the sound track that
  // plays again.
  virtual void DiscardSoundTrack(IMediaExtraction * /*track*/) {}
  // The text track that plays by default (the first enabled one, else the
  // first; a chapter track is none) as timed cues, made on the first call;
  // null without one. Owned by the session. *trackIndex (optional) gets its
  // 1-based index.
  virtual IMediaExtraction *GetTextExtraction(int * /*trackIndex*/) { return nullptr; }
};
