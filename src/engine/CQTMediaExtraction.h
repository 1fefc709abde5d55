// CQTMediaExtraction: the common base of the runtime-backed track classes
// (video, movie audio extraction, sound-converter decoder). It keeps the
// members they share and gives the default behaviour of the operations a
// track class need not replace.
//
// Ownership: movie belongs to the movie session, which disposes it after
// deleting every track; media belongs to the movie. A track object is owned
// by the movie session and deleted through IMediaExtraction.
#pragma once

#include <windows.h>
#include <mmreg.h>

#include "QuickTime/Movies.h"
#include "engine/IMediaExtraction.h"
#include "engine/IMediaSampleGrabber.h"
#include "engine/noncopyable.h"

class CQTMediaExtraction : public IMediaExtraction, public noncopyable {
 public:
  explicit CQTMediaExtraction(Movie theMovie);
  ~CQTMediaExtraction() override = default;

  // IMediaExtraction defaults
  LONGLONG GetDuration() override;
  LONG GetTimeScale() override;
  void SetPosition(LONGLONG *time) override;
  LONG GetBufferSize() override;
  void SetOutputSubtype(const GUID *subtype) override;
  LONG SetSampleGrabber(IMediaSampleGrabber *grabber) override;

 protected:
  // Wraps `bytes` of PCM at `data` (laid out as `format`) as a sample
  // stamped from `start` and `length` (media units) and hands it to
  // `grabber` on the calling thread.
  void HandPcmToGrabber(IMediaSampleGrabber *grabber, LPCTSTR name, const WAVEFORMATEX &format, BYTE *data, LONG bytes,
                        LONGLONG start, LONGLONG length) const;

  Movie movie;            // not owned
  Media media;            // this track's media, null until found
  LONG duration;          // media units
  LONG maxSampleSize;     // capacity of the compressed-sample buffer, bytes
  LONGLONG position;      // media units
  LONGLONG lastDuration;  // decode duration of the sample group read last
  LONG timeScale;         // media units per second
};
