// IMediaSampleGrabber: how a track hands each sample it has just written to
// the sample grabber. Internal to the module: not a COM interface and not
// reference counted; the grabber is owned by the filter and outlives every
// track that holds a pointer to it.
#pragma once

#include <windows.h>

class SampleData;

class IMediaSampleGrabber {
 public:
  // Called on the thread that called GetNextSample, after the sample was
  // written. isAudio: 0 video, 1 audio. record lives only for this call.
  // formatChanged: 1 with the first video frame after a successful
  // ExtractionBegin, else 0. The tracks ignore the result.
  virtual LONG OnSample(LONG isAudio, SampleData *record, LONG formatChanged) = 0;

 protected:
  ~IMediaSampleGrabber() = default;
};
