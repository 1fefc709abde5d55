#include "dshow/MemAllocator.h"

#include <cstdint>
#include <new>

#include "dshow/MediaTypeCopy.h"

namespace tp::dshow {

// ---- MemSample ---------------------------------------------------------------

MemSample::MemSample(MemAllocator *allocator, BYTE *block, BYTE *data, LONG size)
    : m_allocator(allocator), m_block(block), m_data(data), m_size(size) {}

MemSample::~MemSample() {
  DeleteMediaTypeCopy(m_mediaType);
  delete[] m_block;
}

void MemSample::ResetProperties() {
  m_flags = 0;
  m_actual = 0;
  m_start = m_stop = 0;
  m_mediaStart = m_mediaStop = 0;
  DeleteMediaTypeCopy(m_mediaType);
  m_mediaType = nullptr;
}

STDMETHODIMP MemSample::QueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMediaSample)) {
    *ppv = static_cast<IMediaSample *>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) MemSample::AddRef() { return static_cast<ULONG>(++m_cRef); }

STDMETHODIMP_(ULONG) MemSample::Release() {
  LONG ref = --m_cRef;
  if (ref == 0) {
    // The allocator is alive: this outstanding sample holds a reference.
    m_allocator->ReleaseBuffer(this);
    return 0;
  }
  return static_cast<ULONG>(ref < 0 ? 0 : ref);
}

STDMETHODIMP MemSample::GetPointer(BYTE **ppBuffer) {
  if (!ppBuffer) return E_POINTER;
  *ppBuffer = m_data;
  return S_OK;
}

STDMETHODIMP_(LONG) MemSample::GetSize() { return m_size; }

STDMETHODIMP MemSample::GetTime(REFERENCE_TIME *pTimeStart, REFERENCE_TIME *pTimeEnd) {
  if (!pTimeStart || !pTimeEnd) return E_POINTER;
  if (m_flags & kStopValid) {
    *pTimeStart = m_start;
    *pTimeEnd = m_stop;
    return S_OK;
  }
  if (m_flags & kTimeValid) {
    *pTimeStart = m_start;
    *pTimeEnd = m_start + 1;
    return VFW_S_NO_STOP_TIME;
  }
  return VFW_E_SAMPLE_TIME_NOT_SET;
}

STDMETHODIMP MemSample::SetTime(REFERENCE_TIME *pTimeStart, REFERENCE_TIME *pTimeEnd) {
  m_flags &= ~(kTimeValid | kStopValid);
  if (pTimeStart) {
    m_start = *pTimeStart;
    m_flags |= kTimeValid;
    if (pTimeEnd) {
      m_stop = *pTimeEnd;
      m_flags |= kStopValid;
    }
  }
  return S_OK;
}

STDMETHODIMP MemSample::IsSyncPoint() { return (m_flags & kSyncPoint) ? S_OK : S_FALSE; }
STDMETHODIMP MemSample::SetSyncPoint(BOOL b) {
  m_flags = b ? (m_flags | kSyncPoint) : (m_flags & ~kSyncPoint);
  return S_OK;
}
STDMETHODIMP MemSample::IsPreroll() { return (m_flags & kPreroll) ? S_OK : S_FALSE; }
STDMETHODIMP MemSample::SetPreroll(BOOL b) {
  m_flags = b ? (m_flags | kPreroll) : (m_flags & ~kPreroll);
  return S_OK;
}
STDMETHODIMP MemSample::IsDiscontinuity() { return (m_flags & kDiscontinuity) ? S_OK : S_FALSE; }
STDMETHODIMP MemSample::SetDiscontinuity(BOOL b) {
  m_flags = b ? (m_flags | kDiscontinuity) : (m_flags & ~kDiscontinuity);
  return S_OK;
}

STDMETHODIMP_(LONG) MemSample::GetActualDataLength() { return m_actual; }

STDMETHODIMP MemSample::SetActualDataLength(LONG length) {
  if (length < 0 || length > m_size) return VFW_E_BUFFER_OVERFLOW;
  m_actual = length;
  return S_OK;
}

STDMETHODIMP MemSample::GetMediaType(AM_MEDIA_TYPE **ppMediaType) {
  if (!ppMediaType) return E_POINTER;
  *ppMediaType = nullptr;
  if (!m_mediaType) return S_FALSE;
  *ppMediaType = CreateMediaTypeCopy(m_mediaType);
  return *ppMediaType ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP MemSample::SetMediaType(AM_MEDIA_TYPE *pMediaType) {
  DeleteMediaTypeCopy(m_mediaType);
  m_mediaType = nullptr;
  if (!pMediaType) return S_OK;
  m_mediaType = CreateMediaTypeCopy(pMediaType);
  return m_mediaType ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP MemSample::GetMediaTime(LONGLONG *pTimeStart, LONGLONG *pTimeEnd) {
  if (!pTimeStart || !pTimeEnd) return E_POINTER;
  if (!(m_flags & kMediaTimeValid)) return VFW_E_MEDIA_TIME_NOT_SET;
  *pTimeStart = m_mediaStart;
  *pTimeEnd = m_mediaStop;
  return S_OK;
}

STDMETHODIMP MemSample::SetMediaTime(LONGLONG *pTimeStart, LONGLONG *pTimeEnd) {
  if (!pTimeStart) {
    m_flags &= ~kMediaTimeValid;
    return S_OK;
  }
  if (!pTimeEnd) return E_POINTER;
  m_mediaStart = *pTimeStart;
  m_mediaStop = *pTimeEnd;
  m_flags |= kMediaTimeValid;
  return S_OK;
}

// ---- MemAllocator ------------------------------------------------------------

HRESULT MemAllocator::Create(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  auto *allocator = new (std::nothrow) MemAllocator();
  if (!allocator) return E_OUTOFMEMORY;
  allocator->AddRef();
  HRESULT hr = allocator->QueryInterface(riid, ppv);
  allocator->Release();
  return hr;
}

MemAllocator::~MemAllocator() {
  // Only reached when no sample is out (each holds a reference).
  for (MemSample *s : m_all) delete s;
}

STDMETHODIMP MemAllocator::QueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMemAllocator)) {
    *ppv = static_cast<IMemAllocator *>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) MemAllocator::AddRef() { return static_cast<ULONG>(++m_cRef); }

STDMETHODIMP_(ULONG) MemAllocator::Release() {
  LONG ref = --m_cRef;
  if (ref == 0) delete this;
  return static_cast<ULONG>(ref < 0 ? 0 : ref);
}

STDMETHODIMP MemAllocator::SetProperties(ALLOCATOR_PROPERTIES *pRequest, ALLOCATOR_PROPERTIES *pActual) {
  if (!pRequest || !pActual) return E_POINTER;
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_committed) return VFW_E_ALREADY_COMMITTED;
  if (m_outstanding > 0) return VFW_E_BUFFERS_OUTSTANDING;
  const LONG align = pRequest->cbAlign;
  if (align <= 0 || (align & (align - 1)) != 0) return VFW_E_BADALIGN;
  if (pRequest->cBuffers < 0 || pRequest->cbBuffer < 0 || pRequest->cbPrefix < 0) return E_INVALIDARG;
  m_props = *pRequest;
  m_propsSet = true;
  *pActual = m_props;
  return S_OK;
}

STDMETHODIMP MemAllocator::GetProperties(ALLOCATOR_PROPERTIES *pProps) {
  if (!pProps) return E_POINTER;
  std::lock_guard<std::mutex> lock(m_lock);
  *pProps = m_props;
  return S_OK;
}

STDMETHODIMP MemAllocator::Commit() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_committed) return S_OK;
  if (!m_propsSet || m_props.cBuffers <= 0) return VFW_E_SIZENOTSET;
  // Samples still out from before a Decommit come back into service when
  // returned, so only the rest are made now.
  const LONG existing = static_cast<LONG>(m_all.size());
  const size_t align = static_cast<size_t>(m_props.cbAlign);
  // 64-bit arithmetic: each term is below 2^31.
  const uint64_t blockSize = static_cast<uint64_t>(m_props.cbPrefix) + static_cast<uint64_t>(m_props.cbBuffer) + align;
  std::vector<MemSample *> made;
  for (LONG i = existing; i < m_props.cBuffers; ++i) {
    BYTE *block = new (std::nothrow) BYTE[blockSize];
    MemSample *sample = nullptr;
    if (block) {
      uintptr_t data = reinterpret_cast<uintptr_t>(block) + static_cast<uintptr_t>(m_props.cbPrefix);
      data = (data + align - 1) & ~(static_cast<uintptr_t>(align) - 1);
      sample = new (std::nothrow) MemSample(this, block, reinterpret_cast<BYTE *>(data), m_props.cbBuffer);
      if (!sample) delete[] block;
    }
    bool kept = false;
    if (sample) {
      try {
        made.push_back(sample);
        kept = true;
      } catch (const std::bad_alloc &) {
        delete sample;
      }
    }
    if (!kept) {
      for (MemSample *s : made) delete s;
      return E_OUTOFMEMORY;
    }
  }
  try {
    m_all.reserve(m_all.size() + made.size());
    m_free.reserve(static_cast<size_t>(m_props.cBuffers));
  } catch (const std::bad_alloc &) {
    for (MemSample *s : made) delete s;
    return E_OUTOFMEMORY;
  }
  for (MemSample *s : made) {
    m_all.push_back(s);
    m_free.push_back(s);
  }
  m_committed = true;
  return S_OK;
}

void MemAllocator::FreeSampleLocked(MemSample *sample) {
  for (size_t i = 0; i < m_all.size(); ++i) {
    if (m_all[i] == sample) {
      m_all[i] = m_all.back();
      m_all.pop_back();
      break;
    }
  }
  delete sample;
}

STDMETHODIMP MemAllocator::Decommit() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_committed) return S_OK;
    m_committed = false;
    for (MemSample *s : m_free) FreeSampleLocked(s);
    m_free.clear();
  }
  m_freed.notify_all();
  return S_OK;
}

STDMETHODIMP MemAllocator::GetBuffer(IMediaSample **ppBuffer, REFERENCE_TIME *, REFERENCE_TIME *, DWORD dwFlags) {
  if (!ppBuffer) return E_POINTER;
  *ppBuffer = nullptr;
  MemSample *sample = nullptr;
  {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
      if (!m_committed) return VFW_E_NOT_COMMITTED;
      if (!m_free.empty()) break;
      if (dwFlags & AM_GBF_NOWAIT) return VFW_E_TIMEOUT;
      m_freed.wait(lock);
    }
    sample = m_free.back();
    m_free.pop_back();
    sample->m_out = true;
    ++m_outstanding;
    sample->ResetProperties();
    sample->m_cRef = 1;
  }
  AddRef();  // held by the sample while it is out
  *ppBuffer = sample;
  return S_OK;
}

STDMETHODIMP MemAllocator::ReleaseBuffer(IMediaSample *pBuffer) {
  if (!pBuffer) return E_POINTER;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    MemSample *sample = nullptr;
    for (MemSample *s : m_all) {
      if (static_cast<IMediaSample *>(s) == pBuffer) {
        sample = s;
        break;
      }
    }
    if (!sample || !sample->m_out) return E_INVALIDARG;
    sample->m_out = false;
    --m_outstanding;
    if (m_committed && static_cast<LONG>(m_free.size()) < m_props.cBuffers) {
      sample->ResetProperties();
      m_free.push_back(sample);  // capacity reserved at Commit
    } else {
      FreeSampleLocked(sample);
    }
  }
  m_freed.notify_one();
  Release();  // the reference the sample held while out; may delete this
  return S_OK;
}

LONG MemAllocator::OutstandingForTesting() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_outstanding;
}

}  // namespace tp::dshow
