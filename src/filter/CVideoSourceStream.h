// CVideoSourceStream: the "Video" output pin. Offers the uncompressed
// layouts the video track can produce (in the track's order), accepts a
// VIDEOINFOHEADER type in one of them and switches the track to it, asks for
// one buffer of the picture size, fills each buffer with one decoded frame,
// and passes a downstream report of late frames on to the audio stream as a
// delay.
//
// A renderer that moves to a surface of its own may widen the rows: it asks
// QueryAccept with the connected type at a wider biWidth (rcSource and
// rcTarget the picture), then attaches that type to a buffer. That frame
// and the later ones are drawn at its stride until the next connection.
//
// Threads: media type calls run on the connecting thread; QueryAccept also
// on a renderer's streaming thread (it takes no lock); Notify on the
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
  // Unconnected: CheckMediaType. Connected: S_OK for the connected type at
  // any stride it may be drawn at (StrideOf), S_FALSE for anything else;
  // the track is left as it is either way.
  STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE *pmt) override;

  // Whether `proposed` is `connected` with only its rows wider: the same
  // types and bitmap header but for biWidth (at least the picture's width,
  // even for 4:2:0) and biSizeImage, with rcSource and rcTarget the picture
  // (or both empty at the picture's own width). Its biWidth goes to *stride.
  static bool StrideOf(const CMediaType &connected, const AM_MEDIA_TYPE &proposed, LONG *stride);

  // IQualityControl: a frame 100 ms late or more sets the audio stream's
  // compensation to the lateness. Always S_OK.
  STDMETHODIMP Notify(IBaseFilter *pSelf, Quality q) override;

 protected:
  // A buffer carrying a type switches the track to its stride first; a
  // type that is not a stride change fails the sample.
  HRESULT FillSample(IMediaSample *pSample, BYTE *pData, long *pSize) override;
  // One buffer of the connected type's biSizeImage; E_POINTER without a
  // connected format.
  HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES *pRequest) override;

 private:
  std::vector<GUID> m_subtypes;  // from the track at construction; never changed
};
