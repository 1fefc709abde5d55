// CQTAVExtraction: the movie session, the one object that stands for an
// opened movie file. Its constructor adds the runtime's folder to the
// process's "Path", logs the versions of the runtime's files, initialises the
// runtime through the binding, opens the movie and creates one track object
// for its first video track and one for its first sound track. The outcome
// is read with GetStatus; the constructor never throws.
//
// Ownership: the session owns the movie and both track objects; the filter
// owns the session (created with new, deleted through IAVExtraction). The
// destructor deletes the tracks, disposes the movie and leaves the runtime,
// even after a failed opening.
//
// Threads: built and destroyed on the thread that loads and releases the
// filter. The "Path" change is process-wide and made without a lock.
#pragma once

#include <string>

#include <windows.h>

#include "QuickTime/Movies.h"
#include "engine/CQTMovieContents.h"
#include "engine/IAVExtraction.h"
#include "engine/noncopyable.h"

class IMediaExtraction;
class IQTTrackFactory;

using WideString = std::basic_string<WCHAR>;

class CQTAVExtraction : public IAVExtraction, public noncopyable {
 public:
  // path: wide, NUL-terminated; read during construction only. factory:
  // makes the track objects (the default factory when null); not owned.
  explicit CQTAVExtraction(LPCWSTR path, IQTTrackFactory *factory = nullptr);
  ~CQTAVExtraction() override;

  // IAVExtraction
  IMediaExtraction *GetAudioExtraction() override;
  IMediaExtraction *GetVideoExtraction() override;
  LONG GetStatus() override;
  ULONG GetRefusedTrackCount() override;
  bool GetRefusedTrack(ULONG index, RefusedTrack *track) override;
  const MovieContents *GetContents() override;
  int GetSoundTrackIndex() override;
  IMediaExtraction *CreateSoundTrack(int trackIndex) override;
  void AdoptAudioExtraction(IMediaExtraction *track) override;
  void DiscardSoundTrack(IMediaExtraction *track) override;
  IMediaExtraction *GetTextExtraction(int *trackIndex) override;

  // The opened movie (null unless the movie opened), for inspection tools;
  // owned by the session.
  Movie GetMovie() const { return movie; }

  // Appends ";" and the runtime's folder to "Path". 0, or -1 when "Path"
  // cannot be read (it is then left as it was).
  static LONG SetQTSysDir();
  // The registry's "QTSysDir" value, or empty when it cannot be read.
  static WideString GetQTSysDir();
  // The four parts of a file's version resource. false when the file has
  // none or it cannot be read.
  static bool ReadFileVersion(LPCWSTR path, WORD *major, WORD *minor, WORD *build, WORD *revision);
  // The media of the track of that handler type that plays by default: the
  // first enabled one, else the first; null when there is none.
  static Media FindMediaOfType(Movie movie, OSType type);

 private:
  // Opens the movie and creates the track objects: 0, a runtime error
  // number, or 2 when a track object could not be allocated.
  LONG OpenMovie(FSSpec *spec);
  // Asks the factory whether anything decodes *track (video or sound); when
  // nothing does, traces the codec, deletes the object, nulls *track and
  // records the refusal. With `noOtherDecoder` (movie audio extraction
  // already found no decoder), a track whose own set-up fails in any way is
  // refused as well: nothing is left that could play it.
  void RefuseUndecodable(IMediaExtraction **track, OSType handlerType, bool noOtherDecoder = false);
  // noCodecErr when tracks were refused and none is left, else 0.
  LONG NoTrackLeft() const;
  // Enables sound track `trackIndex` and disables the others.
  void EnableSoundTrack(int trackIndex);

  IMediaExtraction *videoExtraction;
  IMediaExtraction *audioExtraction;
  Movie movie;
  LONG status;
  IQTTrackFactory *factory_;
  RefusedTrack refused_[2] = {};
  ULONG refusedCount_ = 0;
  MovieContents contents_;
  bool contentsRead_ = false;
  int soundTrack_ = -1;                         // -1: not yet looked up
  int pendingSound_ = 0;                        // the track CreateSoundTrack made an object for
  IMediaExtraction *textExtraction_ = nullptr;  // owned; made by GetTextExtraction
  int textTrack_ = -1;                          // -1: not yet looked up
};
