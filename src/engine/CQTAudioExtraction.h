// CQTAudioExtraction: the movie's sound as 16-bit little-endian stereo PCM
// through the runtime's Movie Audio Extraction, one twentieth of a second per
// block (whole frames: 1,102 at 22,050 Hz), each timed by the frames it
// holds. The preferred audio path: the movie session keeps it when
// ProbeExtraction succeeds and falls back to CQTAudioDecoder otherwise.
//
// Ownership: the movie session owns this object and the movie. The object
// owns its extraction session and its buffer list (one block: the list
// header, then the data bytes), both released by ExtractionEnd and the
// destructor. The grabber is borrowed.
//
// Threads: no locks. The audio stream serialises GetNextSample (worker
// thread) with SetPosition (control threads).
#pragma once

#include <windows.h>
#include <mmreg.h>

#include "QuickTime/Movies.h"
#include "engine/CQTMediaExtraction.h"

class IMediaSampleGrabber;

class CQTAudioExtraction : public CQTMediaExtraction {
 public:
  explicit CQTAudioExtraction(Movie theMovie);
  ~CQTAudioExtraction() override;

  // IMediaExtraction
  // Starts (or restarts) extraction at time 0: 0, -1 when the session cannot
  // begin, -108 for memory, or the runtime's error.
  LONG ExtractionBegin() override;
  // One fill of framesPerFill frames; *size in: capacity, out: bytes
  // written (the first bytes of the fill when the capacity is smaller).
  // The fill that completes the track is delivered; the call after it
  // returns -1 and rewinds to time 0.
  LONG GetNextSample(BYTE *buffer, LONG *size, LONGLONG *start, LONGLONG *duration) override;
  LONG ExtractionEnd() override;
  void SetPosition(LONGLONG *time) override;
  // format: a WAVEFORMATEX (18 bytes); -1 for a null or smaller block.
  LONG FillMediaInfo(void *format, LONG size, const GUID *subtype) override;
  LONG GetBufferSize() override;
  void GetSupportedSubtypes(std::vector<GUID> *) override {}
  void SetOutputSubtype(const GUID *) override {}
  LONG MoveForward(LONGLONG *) override { return 0; }
  LONG SetSampleGrabber(IMediaSampleGrabber *grabber) override;

  // Test fill into scratch memory, then back to time 0. 0 or more when the
  // extraction can serve the track, negative otherwise: noCodecErr when the
  // runtime has no decoder for it, -1 for any other failure.
  LONG ProbeExtraction();

  LONG FramesPerFill() const { return framesPerFill; }

 private:
  OSErr SetExtractionTime(LONGLONG time);
  // Blocks are timed from `time` (movie units) on, by the frames counted.
  void RestartCount(LONGLONG time);
  void HandToGrabber(LONG bytes, LONGLONG start, LONGLONG length);

  MovieAudioExtractionRef extraction = nullptr;
  AudioBufferList *bufferList = nullptr;  // header followed by the data bytes
  BYTE *bufferData = nullptr;             // inside bufferList's block
  UInt32 bufferBytes = 0;                 // capacity of bufferData
  LONG framesPerFill = 0;
  LONG frameRate = 1;          // frames per second the runtime delivers
  LONGLONG countBase = 0;      // movie time where frame counting restarted
  LONGLONG framesCounted = 0;  // frames the runtime moved past since then
  WAVEFORMATEX outputFormat{};
  LONG endOfStream = 0;
  OSStatus lastFillError = 0;  // the last failed fill's error, for the probe
  IMediaSampleGrabber *sampleGrabber = nullptr;
};
