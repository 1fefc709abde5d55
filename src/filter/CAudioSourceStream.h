// CAudioSourceStream: the "Audio" output pin. Offers one PCM type whose
// WAVEFORMATEX the audio track fills in, accepts any PCM type with a
// WAVEFORMATEX block, asks for one buffer of the track's buffer size and
// fills each with the next block of PCM. Its compensation delay is set by
// the video pin's quality notification.
//
// The track behind the pin can be switched (another sound track of the
// movie): while stopped the next run plays the new one from the seek start;
// while running or paused the pin flushes and carries on from where it was,
// in the same segment, so the stamps go on. A new PCM type that downstream
// accepts (QueryAccept) is announced on the next sample; one that it refuses,
// or that needs larger buffers than the allocator gave, fails the switch and
// the old track plays on.
//
// Threads: media type calls on the connecting thread, FillSample on the
// worker, SwitchTrack on a control thread (the filter lock may be held,
// m_lock must not be).
#pragma once

#include "filter/CMediaSourceStream.h"

class CAudioSourceStream : public CMediaSourceStream {
 public:
  CAudioSourceStream(LPCTSTR pObjectName, CSource *pFilter, HRESULT *phr, LPCWSTR pName, IMediaExtraction *pExtraction);

  // Position 0: PCM with an 18-byte WAVEFORMATEX from the track and
  // fixed-size samples of the track's buffer size.
  HRESULT GetMediaType(int iPosition, CMediaType *pMediaType) override;
  // Audio, PCM, FORMAT_WaveFormatEx with a block; the block's contents are
  // not compared with the track's.
  HRESULT CheckMediaType(const CMediaType *pMediaType) override;

  // Puts `track` (borrowed, as the first one) behind the pin. S_OK with the
  // track it replaced in *old (no longer used by the pin, the caller's to
  // delete); VFW_E_TYPE_NOT_ACCEPTED when downstream refuses the new type or
  // its buffers are too small for it, E_POINTER for null pointers: the old
  // track then stays.
  HRESULT SwitchTrack(IMediaExtraction *track, IMediaExtraction **old);

 protected:
  HRESULT FillSample(IMediaSample *pSample, BYTE *pData, long *pSize) override;
  HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES *pRequest) override;

 private:
  // The one PCM type of a track.
  static HRESULT TrackMediaType(IMediaExtraction *track, CMediaType *pMediaType);

  bool m_bTypePending = false;  // m_lock: the next sample carries m_mt
};
