// CAudioSourceStream: the "Audio" output pin. Offers one PCM type whose
// WAVEFORMATEX the audio track fills in, accepts any PCM type with a
// WAVEFORMATEX block, asks for one buffer of the track's buffer size and
// fills each with the next block of PCM. Its compensation delay is set by
// the video pin's quality notification.
//
// Threads: media type calls on the connecting thread, FillSample on the
// worker.
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

 protected:
  HRESULT FillSample(IMediaSample *pSample, BYTE *pData, long *pSize) override;
  HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES *pRequest) override;
};
