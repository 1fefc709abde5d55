// CMediaSample: an IMediaSample2 over a buffer that the caller owns.
//
// Used as a short-lived wrapper: the engine builds one on the stack around a
// decoded buffer, stamps length and times, and hands it to a callback. It may
// also belong to an allocator: when its last reference is released, its
// properties are cleared and it is handed back with ReleaseBuffer.
//
// Ownership: the buffer is the caller's and must outlive the sample. The
// allocator is not counted. The media type set with SetMediaType is a copy
// owned by the sample. The reference count starts at 0; a sample on the
// stack is never deleted by Release.
//
// Threads: one user at a time, except AddRef and Release, which are atomic.
#pragma once

#include <atomic>

#include <windows.h>
#include <objbase.h>
#include <strmif.h>

class CMediaSample : public IMediaSample2 {
 public:
  // Sample flags (m_dwFlags).
  enum : DWORD {
    Sample_SyncPoint = 0x01,
    Sample_Preroll = 0x02,
    Sample_Discontinuity = 0x04,
    Sample_TypeChanged = 0x08,
    Sample_TimeValid = 0x10,
    Sample_MediaTimeValid = 0x20,
    Sample_TimeDiscontinuity = 0x40,
    Sample_StopValid = 0x100,
  };

  // A negative length gives *phr = VFW_E_BUFFER_OVERFLOW and a buffer size
  // of 0. pAllocator may be null (then Release hands the sample to nobody).
  CMediaSample(LPCTSTR pName, IMemAllocator *pAllocator, HRESULT *phr, LPBYTE pBuffer = nullptr, LONG length = 0);
  virtual ~CMediaSample();
  CMediaSample(const CMediaSample &) = delete;
  CMediaSample &operator=(const CMediaSample &) = delete;

  // IUnknown: IMediaSample, IMediaSample2, IUnknown.
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  // The release that reaches 0 drops the media type, clears flags,
  // type-specific flags and stream id, and returns the sample to its
  // allocator. Releasing a sample whose count is already 0 does nothing.
  STDMETHODIMP_(ULONG) Release() override;

  // IMediaSample
  STDMETHODIMP GetPointer(BYTE **ppBuffer) override;
  STDMETHODIMP_(LONG) GetSize() override;
  // S_OK with both times; VFW_S_NO_STOP_TIME (stop = start + 1) when only
  // the start is set; VFW_E_SAMPLE_TIME_NOT_SET otherwise.
  STDMETHODIMP GetTime(REFERENCE_TIME *pTimeStart, REFERENCE_TIME *pTimeEnd) override;
  STDMETHODIMP SetTime(REFERENCE_TIME *pTimeStart, REFERENCE_TIME *pTimeEnd) override;
  STDMETHODIMP IsSyncPoint() override;
  STDMETHODIMP SetSyncPoint(BOOL bIsSyncPoint) override;
  STDMETHODIMP IsPreroll() override;
  STDMETHODIMP SetPreroll(BOOL bIsPreroll) override;
  STDMETHODIMP_(LONG) GetActualDataLength() override;
  // VFW_E_BUFFER_OVERFLOW for a negative length or one above GetSize().
  STDMETHODIMP SetActualDataLength(LONG length) override;
  // A new copy for the caller (DeleteMediaType) when the type changed; else
  // S_FALSE with *ppMediaType null.
  STDMETHODIMP GetMediaType(AM_MEDIA_TYPE **ppMediaType) override;
  STDMETHODIMP SetMediaType(AM_MEDIA_TYPE *pMediaType) override;
  STDMETHODIMP IsDiscontinuity() override;
  STDMETHODIMP SetDiscontinuity(BOOL bDiscontinuity) override;
  STDMETHODIMP GetMediaTime(LONGLONG *pTimeStart, LONGLONG *pTimeEnd) override;
  // The end is kept as a 32-bit difference from the start.
  STDMETHODIMP SetMediaTime(LONGLONG *pTimeStart, LONGLONG *pTimeEnd) override;

  // IMediaSample2: the AM_SAMPLE2_PROPERTIES record, up to cbProperties
  // bytes of it. SetProperties validates everything it would change before
  // changing anything.
  STDMETHODIMP GetProperties(DWORD cbProperties, BYTE *pbProperties) override;
  STDMETHODIMP SetProperties(DWORD cbProperties, const BYTE *pbProperties) override;

  // Link for an allocator's free list.
  CMediaSample *m_pNext = nullptr;

 protected:
  DWORD m_dwFlags = 0;
  DWORD m_dwTypeSpecificFlags = 0;
  LPBYTE m_pBuffer;
  LONG m_lActual;
  LONG m_cbBuffer;
  IMemAllocator *m_pAllocator;  // not counted
  REFERENCE_TIME m_Start = 0;
  REFERENCE_TIME m_End = 0;
  LONGLONG m_MediaStart = 0;
  LONG m_MediaEnd = 0;                    // difference from m_MediaStart
  AM_MEDIA_TYPE *m_pMediaType = nullptr;  // owned; set only with Sample_TypeChanged
  DWORD m_dwStreamId = 0;
  std::atomic<LONG> m_cRef{0};

 private:
  void DropMediaType();
};
