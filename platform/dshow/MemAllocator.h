// The standard memory allocator (CLSID_MemoryAllocator) and its samples.
//
// MemAllocator hands out a fixed set of MemSample buffers: SetProperties
// fixes count, size, alignment and prefix while decommitted; Commit
// allocates the buffers; GetBuffer takes a free one (waiting while none is
// free); a sample whose last reference is released goes back to the free
// list, or is freed if the allocator has been decommitted meanwhile.
//
// Ownership: COM reference counting. Every sample that is out (handed out by
// GetBuffer and not yet released) holds a reference to its allocator, so the
// allocator outlives its outstanding samples. The allocator owns all sample
// objects and their memory.
//
// Threads: every method may be called from any thread.
#pragma once

#include <strmif.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace tp::dshow {

class MemAllocator;

class MemSample final : public IMediaSample {
 public:
  // IUnknown. The last Release returns the sample to its allocator.
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IMediaSample
  STDMETHODIMP GetPointer(BYTE **ppBuffer) override;
  STDMETHODIMP_(LONG) GetSize() override;
  STDMETHODIMP GetTime(REFERENCE_TIME *pTimeStart, REFERENCE_TIME *pTimeEnd) override;
  STDMETHODIMP SetTime(REFERENCE_TIME *pTimeStart, REFERENCE_TIME *pTimeEnd) override;
  STDMETHODIMP IsSyncPoint() override;
  STDMETHODIMP SetSyncPoint(BOOL bIsSyncPoint) override;
  STDMETHODIMP IsPreroll() override;
  STDMETHODIMP SetPreroll(BOOL bIsPreroll) override;
  STDMETHODIMP_(LONG) GetActualDataLength() override;
  STDMETHODIMP SetActualDataLength(LONG length) override;
  STDMETHODIMP GetMediaType(AM_MEDIA_TYPE **ppMediaType) override;
  STDMETHODIMP SetMediaType(AM_MEDIA_TYPE *pMediaType) override;
  STDMETHODIMP IsDiscontinuity() override;
  STDMETHODIMP SetDiscontinuity(BOOL bDiscontinuity) override;
  STDMETHODIMP GetMediaTime(LONGLONG *pTimeStart, LONGLONG *pTimeEnd) override;
  STDMETHODIMP SetMediaTime(LONGLONG *pTimeStart, LONGLONG *pTimeEnd) override;

 private:
  friend class MemAllocator;
  MemSample(MemAllocator *allocator, BYTE *block, BYTE *data, LONG size);
  ~MemSample();
  // Clears times, flags, length and media type for the next user.
  void ResetProperties();

  enum : DWORD {
    kSyncPoint = 0x01,
    kPreroll = 0x02,
    kDiscontinuity = 0x04,
    kTimeValid = 0x10,
    kMediaTimeValid = 0x20,
    kStopValid = 0x100,
  };

  MemAllocator *const m_allocator;  // not counted; see the header comment
  BYTE *const m_block;              // whole allocation, owned
  BYTE *const m_data;               // aligned start after the prefix
  const LONG m_size;
  std::atomic<LONG> m_cRef{0};
  bool m_out = false;  // handed out; guarded by the allocator's lock
  DWORD m_flags = 0;
  LONG m_actual = 0;
  REFERENCE_TIME m_start = 0;
  REFERENCE_TIME m_stop = 0;
  LONGLONG m_mediaStart = 0;
  LONGLONG m_mediaStop = 0;
  AM_MEDIA_TYPE *m_mediaType = nullptr;  // owned; null when unchanged
};

class MemAllocator final : public IMemAllocator {
 public:
  // Creates an allocator for COM activation (no aggregation).
  static HRESULT Create(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv);

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IMemAllocator
  // E_POINTER for null pointers; VFW_E_ALREADY_COMMITTED while committed;
  // VFW_E_BUFFERS_OUTSTANDING while samples of an earlier commit are still
  // out; VFW_E_BADALIGN unless cbAlign is a power of two; E_INVALIDARG for
  // negative counts or sizes. Writes the properties in force to *pActual.
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES *pRequest, ALLOCATOR_PROPERTIES *pActual) override;
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES *pProps) override;
  // VFW_E_SIZENOTSET before SetProperties (or with no buffers);
  // E_OUTOFMEMORY when the buffers cannot be allocated (nothing kept).
  STDMETHODIMP Commit() override;
  // Frees the free buffers now and the outstanding ones as they come back;
  // wakes every GetBuffer waiter, which then fails with VFW_E_NOT_COMMITTED.
  STDMETHODIMP Decommit() override;
  // Waits for a free buffer unless dwFlags has AM_GBF_NOWAIT (then
  // VFW_E_TIMEOUT); VFW_E_NOT_COMMITTED when (or once) decommitted. The
  // times are hints and ignored.
  STDMETHODIMP GetBuffer(IMediaSample **ppBuffer, REFERENCE_TIME *pStartTime, REFERENCE_TIME *pEndTime,
                         DWORD dwFlags) override;
  // Called by a sample's last Release. E_INVALIDARG for a sample that is
  // not one of this allocator's outstanding samples.
  STDMETHODIMP ReleaseBuffer(IMediaSample *pBuffer) override;

  // Number of samples handed out and not yet returned (tests).
  LONG OutstandingForTesting();

 private:
  MemAllocator() = default;
  ~MemAllocator();
  void FreeSampleLocked(MemSample *sample);

  std::atomic<LONG> m_cRef{0};
  // Guards every field below. A leaf lock: nothing is called out of this
  // object while it is held (the allocator reference that a returned sample
  // drops is released after it is left).
  std::mutex m_lock;
  std::condition_variable m_freed;  // a buffer came back or decommit happened
  ALLOCATOR_PROPERTIES m_props{0, 0, 1, 0};
  bool m_propsSet = false;
  bool m_committed = false;
  std::vector<MemSample *> m_all;   // every sample object that exists
  std::vector<MemSample *> m_free;  // subset of m_all that is not out
  LONG m_outstanding = 0;
};

// Entry for COM activation of CLSID_MemoryAllocator.
inline HRESULT CreateMemoryAllocator(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) {
  return MemAllocator::Create(pUnkOuter, riid, ppv);
}

}  // namespace tp::dshow
