// QTTrackFactory: how the movie session makes its track objects. The session
// asks it for a video track object for the first 'vide' media, an audio
// track object for the first 'soun' media, a test fill of that object, and,
// when the test fill fails, the sound-converter decoder instead; and whether
// anything decodes the video track and the decoder's track. It also
// hands out the scratch memory of the session's path conversion, so that a
// failing allocation can be provoked.
//
// Ownership: every object a factory returns belongs to the caller (the
// session deletes it through IMediaExtraction). A factory must outlive the
// sessions that use it; DefaultQTTrackFactory() lives for the process.
#pragma once

#include <cstddef>

#include "QuickTime/Movies.h"
#include "engine/CQTMediaExtraction.h"

class IQTTrackFactory {
 public:
  virtual ~IQTTrackFactory() = default;

  // Each returns null when the object cannot be allocated.
  virtual IMediaExtraction *CreateVideoExtraction(Movie movie) = 0;
  virtual IMediaExtraction *CreateAudioExtraction(Movie movie) = 0;
  virtual IMediaExtraction *CreateAudioDecoder(Movie movie) = 0;
  // Test fill of an object from CreateAudioExtraction: 0 or more when movie
  // audio extraction can serve the track, negative otherwise.
  virtual LONG ProbeAudioExtraction(IMediaExtraction *audio) = 0;
  // Whether anything decodes the track of an object from
  // CreateVideoExtraction / CreateAudioDecoder: 0 when it can be decoded,
  // noCodecErr when nothing on this system decodes its codec, another
  // negative number when its set-up failed otherwise. *codec gets the codec
  // type (video) or sound format (audio) of its description, 0 when unknown.
  // The default answers 0 and codec 0, for factories whose objects are not
  // the track classes.
  virtual LONG ProbeVideoDecoder(IMediaExtraction *video, OSType *codec);
  virtual LONG ProbeAudioDecoder(IMediaExtraction *audio, OSType *codec);

  // Scratch memory (null on failure) and its release.
  virtual char *AllocateBytes(size_t count);
  virtual void FreeBytes(char *bytes);
};

// Stands in for a track class until the real one exists: it finds its media
// by handler type and reports it, its duration and its time scale; it
// produces no samples.
class CQTPlaceholderTrack : public CQTMediaExtraction {
 public:
  CQTPlaceholderTrack(Movie theMovie, OSType handlerType);

  OSType HandlerType() const { return handlerType_; }
  Media GetMedia() const { return media; }

  // IMediaExtraction
  LONG ExtractionBegin() override { return 0; }
  LONG GetNextSample(BYTE *, LONG *, LONGLONG *, LONGLONG *) override { return -1; }
  LONG ExtractionEnd() override { return 0; }
  LONG FillMediaInfo(void *, LONG, const GUID *) override { return -1; }
  void GetSupportedSubtypes(std::vector<GUID> *) override {}
  LONG MoveForward(LONGLONG *) override { return 0; }

 private:
  OSType handlerType_;
};

// The factory the session uses when none is given.
IQTTrackFactory &DefaultQTTrackFactory();
