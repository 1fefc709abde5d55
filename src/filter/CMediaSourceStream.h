// CMediaSourceStream: an output stream bound to one track of the movie
// through the track's IMediaExtraction. Takes the stream's duration, stop
// and time scale from the track, repositions the track on a seek, and gives
// the pins the one way both pull a sample: the track writes straight into
// the downstream buffer, its start and duration become 100 ns units.
//
// Ownership: the track is borrowed; the movie session owns it and is deleted
// before the pins, so the destructor never touches it.
//
// A track whose time scale is not positive has no usable times: the stream
// reports a duration of 0 and ends at once (FillSample gives S_FALSE).
#pragma once

#include "filter/CBaseSourceStream.h"

class IMediaExtraction;

class CMediaSourceStream : public CBaseSourceStream {
 public:
  CMediaSourceStream(LPCTSTR pObjectName, CSource *pFilter, HRESULT *phr, LPCWSTR pName, IMediaExtraction *pExtraction);
  ~CMediaSourceStream() override;

  // Sets both the duration and the stop position. Only before the filter
  // first runs (no worker exists yet).
  void SetDuration(REFERENCE_TIME rtDuration);

 protected:
  // The shared pulling pattern: the next sample into pData, its times into
  // m_rtSampleStart and m_rtSampleDuration. writeBackSize: store the track's
  // byte count through pSize. S_FALSE at the end of the track or when the
  // times cannot be converted; a failure when the track could not read the
  // movie's data (StreamResult).
  HRESULT PullSample(BYTE *pData, long *pSize, bool writeBackSize);
  // Calls the track's SetPosition; always S_OK.
  HRESULT SeekTo(LONGLONG *pTime) override;
  // The track's key frame at or before the target (IMediaExtraction::
  // KeyFrameTime), in 100 ns units. m_lock held.
  REFERENCE_TIME KeyFrameAtOrBefore(REFERENCE_TIME rtTarget) override;

  // Borrowed; may be null. Replaced only under m_lock (CAudioSourceStream's
  // track switch); the worker reads it under m_lock.
  IMediaExtraction *m_extraction;
};
