// IMediaExtraction: one track of an opened movie, from which an output stream
// pulls decoded samples. Plain abstract class, not COM: the movie session
// creates and owns each track object and deletes it through the virtual
// destructor; the output streams only borrow it.
//
// Times and durations are signed 64-bit counts in the track's own time scale
// (GetTimeScale units per second). Results: 0 for success, -1 for the
// engine's own failures and end of track, or a runtime error number
// (16-bit, sign-extended).
//
// Threads: no locking here. The caller must not call one track object from
// two threads at once (the output stream's lock serialises GetNextSample and
// SetPosition).
#pragma once

#include <vector>

#include <windows.h>

class IMediaSampleGrabber;

class IMediaExtraction {
 public:
  virtual ~IMediaExtraction() = default;

  // Prepares extraction. 0 on success; on failure the track has already
  // called ExtractionEnd.
  virtual LONG ExtractionBegin() = 0;
  // Writes the next sample into buffer (capacity *size bytes). On success
  // returns 0 with the presentation start and the duration in media units;
  // audio tracks store the byte count written back into *size. -1: no sample
  // (end of track, null buffer, or a failure already traced). ioErr or
  // eofErr: the movie's data could not be read (the file failed, or ends
  // before the sample): samples read before it were all delivered, and the
  // track is not at its end; a seek clears it.
  virtual LONG GetNextSample(BYTE *buffer, LONG *size, LONGLONG *start, LONGLONG *duration) = 0;
  virtual LONG ExtractionEnd() = 0;
  // The duration member sign-extended: a negative 32-bit duration stays
  // negative.
  virtual LONGLONG GetDuration() = 0;
  virtual LONG GetTimeScale() = 0;
  // Moves to *time (media units); the video track writes back the
  // presentation time of the first frame it will deliver.
  virtual void SetPosition(LONGLONG *time) = 0;
  // The presentation time (media units) of the key frame at or before
  // `time`: where a seek to `time` that may land early shows its first
  // picture. The default has every sample a key frame.
  virtual LONGLONG KeyFrameTime(LONGLONG time) { return time; }
  // Fills the format block (VIDEOINFOHEADER or WAVEFORMATEX) for subtype.
  virtual LONG FillMediaInfo(void *format, LONG size, const GUID *subtype) = 0;
  virtual LONG GetBufferSize() = 0;
  // Appends the output subtypes the track offers.
  virtual void GetSupportedSubtypes(std::vector<GUID> *subtypes) = 0;
  virtual void SetOutputSubtype(const GUID *subtype) = 0;
  // Video: the pixels from one output row to the next, as a downstream
  // buffer lays them out (its type's biWidth; chroma rows of 4:2:0 at half).
  // 0 returns to rows as wide as the picture; SetOutputSubtype does the
  // same. 0 on success; -1 for a stride narrower than the picture (or odd
  // in 4:2:0), or a track without pictures.
  virtual LONG SetOutputStride(LONG pixels) { return pixels == 0 ? 0 : -1; }
  virtual LONG MoveForward(LONGLONG *delta) = 0;
  // Attaches (or with null detaches) the grabber; not owned.
  virtual LONG SetSampleGrabber(IMediaSampleGrabber *grabber) = 0;
};
