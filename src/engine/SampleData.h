// The sample record a track hands to the sample grabber for every sample it
// produces while a grabber is attached.
//
// Ownership: the record, its CMediaSample and its PlaneLayout live on the
// producing track's stack for the duration of one IMediaSampleGrabber::OnSample
// call and point at memory the track owns. A receiver that needs the data
// after the call returns copies it during the call with CopyTo; CopyTo itself
// belongs to the source filter's grabber code (src/filter), which fills the
// copy buffer layout the host reads.
//
// SampleData is the host's IQuillSampleRecord (include/tidepool/Tidepool.h):
// the record's one virtual slot is the one the host calls, so the grabber
// hands the record to the host's callback as it is.
#pragma once

#include <windows.h>
#include <mmreg.h>

#include "tidepool/Tidepool.h"

class CMediaSample;
struct _AMMediaType;

// Where a frame's rows lie: four plane starts, then four row strides in bytes.
// Packed formats use entry 0 only; 4:2:0 planar output uses entries 0 to 2 in
// the order the output subtype wants them.
struct PlaneLayout {
  BYTE *planes[4];
  LONG strides[4];
};

// Abstract base of the record: no data, one operation, CopyTo (declared by
// IQuillSampleRecord): writes a self-contained copy of the record into
// buffer (size bytes); 0 on success, -1 on failure.
class SampleData : public IQuillSampleRecord {
 protected:
  ~SampleData() = default;
};

class AVSampleData : public SampleData {
 public:
  LONG CopyTo(BYTE *buffer, unsigned size) override;

  LONG isAudio = 0;                   // 1 for an audio buffer, 0 for a video frame
  LONGLONG startTime = 0;             // 100-ns units
  LONGLONG stopTime = 0;              // 100-ns units
  CMediaSample *sample = nullptr;     // wraps the sample bytes without copying them
  _AMMediaType *mediaType = nullptr;  // video: current output type; audio: null
  PlaneLayout *planes = nullptr;      // video: the frame's planes; audio: null
  LONG bottomUp = 0;                  // 1 when rows are written last row first
  // Audio: the format of the PCM (so that a copy of the record describes
  // its bytes); video: null.
  const WAVEFORMATEX *audioFormat = nullptr;
};
