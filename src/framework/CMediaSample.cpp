#include "framework/CMediaSample.h"

#include <cstddef>
#include <cstring>

#include <vfwmsgs.h>

#include "framework/CMediaType.h"

namespace {

constexpr DWORD kSettableFlags = 0x1DF;  // everything but media time and end of stream

// Whether the first `size` bytes of the record hold the member at
// offset/length.
constexpr bool Covers(DWORD size, size_t offset, size_t length) { return size >= offset + length; }

#define TP_COVERS(size, member) \
  Covers(size, offsetof(AM_SAMPLE2_PROPERTIES, member), sizeof(static_cast<AM_SAMPLE2_PROPERTIES *>(nullptr)->member))

}  // namespace

CMediaSample::CMediaSample(LPCTSTR, IMemAllocator *pAllocator, HRESULT *phr, LPBYTE pBuffer, LONG length)
    : m_pBuffer(pBuffer), m_lActual(length), m_cbBuffer(length), m_pAllocator(pAllocator) {
  if (length < 0) {
    if (phr) *phr = VFW_E_BUFFER_OVERFLOW;
    m_cbBuffer = 0;
    m_lActual = 0;
  }
}

CMediaSample::~CMediaSample() { DropMediaType(); }

void CMediaSample::DropMediaType() {
  DeleteMediaType(m_pMediaType);
  m_pMediaType = nullptr;
  m_dwFlags &= ~Sample_TypeChanged;
}

STDMETHODIMP CMediaSample::QueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IMediaSample) || IsEqualIID(riid, IID_IMediaSample2) || IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IMediaSample2 *>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CMediaSample::AddRef() { return static_cast<ULONG>(++m_cRef); }

STDMETHODIMP_(ULONG) CMediaSample::Release() {
  LONG current = m_cRef.load();
  do {
    if (current <= 0) return 0;  // an unbalanced release must not wrap the count
  } while (!m_cRef.compare_exchange_weak(current, current - 1));
  if (current - 1 != 0) return static_cast<ULONG>(current - 1);
  DropMediaType();
  m_dwFlags = 0;
  m_dwTypeSpecificFlags = 0;
  m_dwStreamId = 0;
  if (m_pAllocator) m_pAllocator->ReleaseBuffer(this);
  return 0;
}

STDMETHODIMP CMediaSample::GetPointer(BYTE **ppBuffer) {
  if (!ppBuffer) return E_POINTER;
  *ppBuffer = m_pBuffer;
  return S_OK;
}

STDMETHODIMP_(LONG) CMediaSample::GetSize() { return m_cbBuffer; }

STDMETHODIMP CMediaSample::GetTime(REFERENCE_TIME *pTimeStart, REFERENCE_TIME *pTimeEnd) {
  if (!pTimeStart || !pTimeEnd) return E_POINTER;
  if (m_dwFlags & Sample_StopValid) {
    *pTimeStart = m_Start;
    *pTimeEnd = m_End;
    return S_OK;
  }
  if (m_dwFlags & Sample_TimeValid) {
    *pTimeStart = m_Start;
    *pTimeEnd = m_Start + 1;
    return VFW_S_NO_STOP_TIME;
  }
  return VFW_E_SAMPLE_TIME_NOT_SET;
}

STDMETHODIMP CMediaSample::SetTime(REFERENCE_TIME *pTimeStart, REFERENCE_TIME *pTimeEnd) {
  if (!pTimeStart) {
    m_dwFlags &= ~(Sample_TimeValid | Sample_StopValid);
  } else if (!pTimeEnd) {
    m_Start = *pTimeStart;
    m_dwFlags = (m_dwFlags | Sample_TimeValid) & ~Sample_StopValid;
  } else {
    m_Start = *pTimeStart;
    m_End = *pTimeEnd;
    m_dwFlags |= Sample_TimeValid | Sample_StopValid;
  }
  return S_OK;
}

STDMETHODIMP CMediaSample::IsSyncPoint() { return (m_dwFlags & Sample_SyncPoint) ? S_OK : S_FALSE; }

STDMETHODIMP CMediaSample::SetSyncPoint(BOOL b) {
  m_dwFlags = b ? (m_dwFlags | Sample_SyncPoint) : (m_dwFlags & ~Sample_SyncPoint);
  return S_OK;
}

STDMETHODIMP CMediaSample::IsPreroll() { return (m_dwFlags & Sample_Preroll) ? S_OK : S_FALSE; }

STDMETHODIMP CMediaSample::SetPreroll(BOOL b) {
  m_dwFlags = b ? (m_dwFlags | Sample_Preroll) : (m_dwFlags & ~Sample_Preroll);
  return S_OK;
}

STDMETHODIMP CMediaSample::IsDiscontinuity() { return (m_dwFlags & Sample_Discontinuity) ? S_OK : S_FALSE; }

STDMETHODIMP CMediaSample::SetDiscontinuity(BOOL b) {
  m_dwFlags = b ? (m_dwFlags | Sample_Discontinuity) : (m_dwFlags & ~Sample_Discontinuity);
  return S_OK;
}

STDMETHODIMP_(LONG) CMediaSample::GetActualDataLength() { return m_lActual; }

STDMETHODIMP CMediaSample::SetActualDataLength(LONG length) {
  if (length < 0 || length > m_cbBuffer) return VFW_E_BUFFER_OVERFLOW;
  m_lActual = length;
  return S_OK;
}

STDMETHODIMP CMediaSample::GetMediaType(AM_MEDIA_TYPE **ppMediaType) {
  if (!ppMediaType) return E_POINTER;
  *ppMediaType = nullptr;
  if (!(m_dwFlags & Sample_TypeChanged) || !m_pMediaType) return S_FALSE;
  *ppMediaType = CreateMediaType(m_pMediaType);
  return *ppMediaType ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CMediaSample::SetMediaType(AM_MEDIA_TYPE *pMediaType) {
  DropMediaType();
  if (!pMediaType) return S_OK;
  m_pMediaType = CreateMediaType(pMediaType);
  if (!m_pMediaType) return E_OUTOFMEMORY;
  m_dwFlags |= Sample_TypeChanged;
  return S_OK;
}

STDMETHODIMP CMediaSample::GetMediaTime(LONGLONG *pTimeStart, LONGLONG *pTimeEnd) {
  if (!pTimeStart || !pTimeEnd) return E_POINTER;
  if (!(m_dwFlags & Sample_MediaTimeValid)) return VFW_E_MEDIA_TIME_NOT_SET;
  *pTimeStart = m_MediaStart;
  *pTimeEnd = m_MediaStart + m_MediaEnd;
  return S_OK;
}

STDMETHODIMP CMediaSample::SetMediaTime(LONGLONG *pTimeStart, LONGLONG *pTimeEnd) {
  if (!pTimeStart) {
    m_dwFlags &= ~Sample_MediaTimeValid;
    return S_OK;
  }
  if (!pTimeEnd) return E_POINTER;
  m_MediaStart = *pTimeStart;
  // Kept in 32 bits; the subtraction is done unsigned so that a huge span
  // wraps instead of overflowing.
  m_MediaEnd =
      static_cast<LONG>(static_cast<uint32_t>(static_cast<uint64_t>(*pTimeEnd) - static_cast<uint64_t>(*pTimeStart)));
  m_dwFlags |= Sample_MediaTimeValid;
  return S_OK;
}

STDMETHODIMP CMediaSample::GetProperties(DWORD cbProperties, BYTE *pbProperties) {
  if (cbProperties == 0) return S_OK;
  if (!pbProperties) return E_POINTER;
  AM_SAMPLE2_PROPERTIES props;
  std::memset(&props, 0, sizeof(props));
  const DWORD size = cbProperties < sizeof(props) ? cbProperties : static_cast<DWORD>(sizeof(props));
  props.cbData = size;
  props.dwTypeSpecificFlags = m_dwTypeSpecificFlags;
  props.dwSampleFlags = m_dwFlags & ~Sample_MediaTimeValid;
  props.lActual = m_lActual;
  props.tStart = m_Start;
  props.tStop = m_End;
  props.dwStreamId = m_dwStreamId;
  props.pMediaType = (m_dwFlags & Sample_TypeChanged) ? m_pMediaType : nullptr;
  props.pbBuffer = m_pBuffer;
  props.cbBuffer = m_cbBuffer;
  std::memcpy(pbProperties, &props, size);
  return S_OK;
}

STDMETHODIMP CMediaSample::SetProperties(DWORD cbProperties, const BYTE *pbProperties) {
  if (cbProperties <= 3) return S_OK;  // not even the size field
  if (!pbProperties) return E_POINTER;
  if (cbProperties > sizeof(AM_SAMPLE2_PROPERTIES)) return E_INVALIDARG;
  // Copied out: the caller's bytes need not be aligned, and nothing past
  // cbProperties is read.
  AM_SAMPLE2_PROPERTIES props;
  std::memset(&props, 0, sizeof(props));
  std::memcpy(&props, pbProperties, cbProperties);
  if (props.cbData > sizeof(AM_SAMPLE2_PROPERTIES)) return E_INVALIDARG;
  const DWORD size = props.cbData < cbProperties ? props.cbData : cbProperties;

  // Validate everything first.
  const bool hasFlags = TP_COVERS(size, dwSampleFlags);
  const bool hasTimes = TP_COVERS(size, tStart) && TP_COVERS(size, tStop);
  if (hasFlags) {
    if (props.dwSampleFlags & ~kSettableFlags) return E_INVALIDARG;
    if ((props.dwSampleFlags & Sample_TimeValid) && !(m_dwFlags & Sample_TimeValid) && !hasTimes) return E_INVALIDARG;
  }
  if (TP_COVERS(size, pbBuffer) && props.pbBuffer && props.pbBuffer != m_pBuffer) return E_INVALIDARG;
  if (TP_COVERS(size, cbBuffer) && props.cbBuffer != 0 && props.cbBuffer != m_cbBuffer) return E_INVALIDARG;
  // A length outside the buffer would let readers run past it.
  if (TP_COVERS(size, lActual) && (props.lActual < 0 || props.lActual > m_cbBuffer)) return E_INVALIDARG;
  AM_MEDIA_TYPE *newType = nullptr;
  const bool wantsType = hasFlags && (props.dwSampleFlags & Sample_TypeChanged) && TP_COVERS(size, pMediaType);
  if (wantsType) {
    if (!props.pMediaType) return E_POINTER;
    newType = CreateMediaType(props.pMediaType);
    if (!newType) return E_OUTOFMEMORY;
  }

  // Then apply.
  if (TP_COVERS(size, dwStreamId)) m_dwStreamId = props.dwStreamId;
  if (hasFlags) {
    m_dwFlags = props.dwSampleFlags | (m_dwFlags & Sample_MediaTimeValid);
  }
  if (TP_COVERS(size, dwTypeSpecificFlags)) m_dwTypeSpecificFlags = props.dwTypeSpecificFlags;
  if (TP_COVERS(size, lActual)) m_lActual = props.lActual;
  if (TP_COVERS(size, tStop)) m_End = props.tStop;
  if (TP_COVERS(size, tStart)) m_Start = props.tStart;
  if (newType) {
    DeleteMediaType(m_pMediaType);
    m_pMediaType = newType;
  } else if (hasFlags && !(props.dwSampleFlags & Sample_TypeChanged)) {
    DeleteMediaType(m_pMediaType);
    m_pMediaType = nullptr;
  }
  // The flag says exactly whether a type is held.
  if (m_pMediaType)
    m_dwFlags |= Sample_TypeChanged;
  else
    m_dwFlags &= ~Sample_TypeChanged;
  return S_OK;
}
