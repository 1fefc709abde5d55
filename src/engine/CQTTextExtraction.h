// CQTTextExtraction: a text track of the movie ('tx3g' and QuickTime 'text'
// samples) as timed cues: each sample that holds text becomes one cue, its
// text as UTF-8 with the style records left out and line breaks as "\n".
// Times are movie time (the track's edits applied), in the movie's time
// scale, so cues line up with the other pins.
//
// The cue times are read when the object is made (times only, no sample
// data); each cue's text is read when it is asked for.
//
// Ownership: the movie session owns the object; movie and track belong to
// the movie. Threads: as IMediaExtraction.
#pragma once

#include <string>
#include <vector>

#include "engine/CQTMediaExtraction.h"

class CQTTextExtraction : public CQTMediaExtraction {
 public:
  CQTTextExtraction(Movie theMovie, Track theTrack);

  // IMediaExtraction
  LONG ExtractionBegin() override { return 0; }
  // The next cue's text into buffer (cut to *size bytes, which gets the
  // count); its start and duration in movie units. -1 past the last cue.
  LONG GetNextSample(BYTE *buffer, LONG *size, LONGLONG *start, LONGLONG *duration) override;
  LONG ExtractionEnd() override { return 0; }
  LONGLONG GetDuration() override { return movieDuration_; }
  LONG GetTimeScale() override { return movieScale_; }
  // The next cue is the first that is still showing at *time.
  void SetPosition(LONGLONG *time) override;
  LONG FillMediaInfo(void *, LONG, const GUID *) override { return -1; }
  LONG GetBufferSize() override { return kMaxCueBytes; }
  void GetSupportedSubtypes(std::vector<GUID> *) override {}
  LONG MoveForward(LONGLONG *) override { return -1; }

  // A sample's text: the 16-bit length and the text after it (UTF-8, or
  // UTF-16 after a byte order mark), carriage returns as "\n". Empty for a
  // sample too short for its length.
  static std::string SampleText(const BYTE *data, size_t size);

  static constexpr LONG kMaxCueBytes = 64 * 1024;
  static constexpr size_t kMaxCues = 1 << 20;

 private:
  struct Cue {
    LONGLONG start;     // movie units
    LONGLONG duration;  // movie units
  };
  Track track_;
  std::vector<Cue> cues_;
  size_t next_ = 0;
  LONG movieScale_ = 0;
  LONGLONG movieDuration_ = 0;
};
