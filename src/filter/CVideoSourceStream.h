// CVideoSourceStream: the "Video" output pin. Offers the uncompressed
// layouts the video track can produce (in the track's order), accepts a
// VIDEOINFOHEADER type in one of them and switches the track to it, asks for
// one buffer of the picture size, fills each buffer with one decoded frame,
// and passes a downstream report of late frames on to the audio stream as a
// delay.
//
// Threads: media type calls run on the connecting thread; Notify on the
// downstream filter's thread (it takes this stream's lock while it sets the
// audio stream's delay); FillSample on the worker.
#pragma once

#include <vector>

#include "filter/CMediaSourceStream.h"

class CVideoSourceStream : public CMediaSourceStream {
 public:
  CVideoSourceStream(LPCTSTR pObjectName, CSource *pFilter, HRESULT *phr, LPCWSTR pName, IMediaExtraction *pExtraction);
  ~CVideoSourceStream() override;

  // The type at iPosition: VIDEOINFOHEADER from the track, fixed-size
  // samples of biSizeImage. VFW_S_NO_MORE_ITEMS past the list.
  HRESULT GetMediaType(int iPosition, CMediaType *pMediaType) override;
  // Video, a listed subtype, FORMAT_VideoInfo with a whole VIDEOINFOHEADER
  // block; nothing else of the format is compared. Accepting a type switches
  // the track to its subtype and restarts its extraction.
  HRESULT CheckMediaType(const CMediaType *pMediaType) override;

  // IQualityControl: a frame 100 ms late or more sets the audio stream's
  // compensation to the lateness. Always S_OK.
  STDMETHODIMP Notify(IBaseFilter *pSelf, Quality q) override;

 protected:
  HRESULT FillSample(IMediaSample *pSample, BYTE *pData, long *pSize) override;
  // One buffer of the connected type's biSizeImage; E_POINTER without a
  // connected format.
  HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES *pRequest) override;

 private:
  std::vector<GUID> m_subtypes;  // from the track at construction; never changed
};
