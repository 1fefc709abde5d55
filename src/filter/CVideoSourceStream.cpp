#include "filter/CVideoSourceStream.h"

#include <cstring>

#include <amvideo.h>
#include <uuids.h>

#include "engine/IMediaExtraction.h"
#include "filter/CAudioSourceStream.h"
#include "filter/CMediaSource.h"
#include "filter/DumpMediaType.h"
#include "trace/Trace.h"

namespace {

constexpr REFERENCE_TIME kLateThreshold = 1000000;  // 100 ms

constexpr DWORD FourCC(char a, char b, char c, char d) {
  return static_cast<DWORD>(static_cast<BYTE>(a)) | (static_cast<DWORD>(static_cast<BYTE>(b)) << 8) |
         (static_cast<DWORD>(static_cast<BYTE>(c)) << 16) | (static_cast<DWORD>(static_cast<BYTE>(d)) << 24);
}

bool SameRect(const RECT &a, const RECT &b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

}  // namespace

CVideoSourceStream::CVideoSourceStream(LPCTSTR pObjectName, CSource *pFilter, HRESULT *phr, LPCWSTR pName,
                                       IMediaExtraction *pExtraction)
    : CMediaSourceStream(pObjectName, pFilter, phr, pName, pExtraction) {
  if (m_extraction) m_extraction->GetSupportedSubtypes(&m_subtypes);
}

CVideoSourceStream::~CVideoSourceStream() = default;

HRESULT CVideoSourceStream::GetMediaType(int iPosition, CMediaType *pMediaType) {
  TraceW2(TEXT("CVideoSourceStream::GetMediaType %d\n"), iPosition);
  if (!pMediaType) return E_POINTER;
  if (iPosition < 0) return E_INVALIDARG;
  if (static_cast<size_t>(iPosition) >= m_subtypes.size()) return VFW_S_NO_MORE_ITEMS;
  if (!m_extraction) return S_OK;

  VIDEOINFOHEADER info;
  std::memset(&info, 0, sizeof info);
  const GUID &subtype = m_subtypes[static_cast<size_t>(iPosition)];
  m_extraction->FillMediaInfo(&info, sizeof info, &subtype);
  TraceW2(TEXT("sample size %d\n"), static_cast<int>(info.bmiHeader.biSizeImage));

  pMediaType->SetType(&MEDIATYPE_Video);
  pMediaType->SetFormatType(&FORMAT_VideoInfo);
  if (!pMediaType->SetFormat(reinterpret_cast<const BYTE *>(&info), sizeof info)) return E_OUTOFMEMORY;
  pMediaType->SetSubtype(&subtype);
  pMediaType->SetSampleSize(info.bmiHeader.biSizeImage);
  return S_OK;
}

HRESULT CVideoSourceStream::CheckMediaType(const CMediaType *pMediaType) {
  TraceW2(TEXT("CVideoSourceStream::CheckMediaType"));
  if (!pMediaType) return E_POINTER;
  if (!IsEqualGUID(*pMediaType->Type(), MEDIATYPE_Video)) return E_INVALIDARG;
  const GUID *match = nullptr;
  for (const GUID &subtype : m_subtypes) {
    if (IsEqualGUID(subtype, *pMediaType->Subtype())) match = &subtype;
  }
  if (!match) return E_INVALIDARG;
  if (!IsEqualGUID(*pMediaType->FormatType(), FORMAT_VideoInfo)) return E_INVALIDARG;
  // A block shorter than its header would be read past its end when the
  // buffers are sized.
  if (!pMediaType->Format() || pMediaType->FormatLength() < sizeof(VIDEOINFOHEADER)) return E_INVALIDARG;

  if (m_extraction) {
    // A type may be checked while the worker runs (QueryAccept): the track
    // is only ever called under the stream's lock.
    CAutoLock lock(&m_lock);
    m_extraction->SetOutputSubtype(match);
    m_extraction->ExtractionBegin();
    // The restarted track stands at its start: the next run moves it to the
    // seek start, so a seek made before the connection is not lost.
    if (m_rtStart != 0) m_bTrackAdvanced = true;
  }
  DumpMediaType(pMediaType);
  return S_OK;
}

bool CVideoSourceStream::StrideOf(const CMediaType &connected, const AM_MEDIA_TYPE &proposed, LONG *stride) {
  if (!IsEqualGUID(proposed.majortype, *connected.Type()) || !IsEqualGUID(proposed.subtype, *connected.Subtype()) ||
      !IsEqualGUID(proposed.formattype, *connected.FormatType()) || !IsEqualGUID(proposed.formattype, FORMAT_VideoInfo))
    return false;
  if (!connected.Format() || connected.FormatLength() < sizeof(VIDEOINFOHEADER)) return false;
  if (!proposed.pbFormat || proposed.cbFormat < sizeof(VIDEOINFOHEADER)) return false;
  VIDEOINFOHEADER was, now;
  std::memcpy(&was, connected.Format(), sizeof was);
  std::memcpy(&now, proposed.pbFormat, sizeof now);
  const BITMAPINFOHEADER &a = was.bmiHeader, &b = now.bmiHeader;
  if (b.biSize != a.biSize || b.biHeight != a.biHeight || b.biPlanes != a.biPlanes || b.biBitCount != a.biBitCount ||
      b.biCompression != a.biCompression)
    return false;
  if (b.biWidth < a.biWidth) return false;
  // 4:2:0 chroma rows lie half a luma row apart.
  const bool planar = b.biCompression == FourCC('Y', 'V', '1', '2') || b.biCompression == FourCC('I', '4', '2', '0');
  if (planar && b.biWidth % 2 != 0) return false;
  const RECT picture{0, 0, a.biWidth, a.biHeight < 0 ? -a.biHeight : a.biHeight};
  const RECT none{0, 0, 0, 0};
  const bool whole = SameRect(now.rcSource, picture) && SameRect(now.rcTarget, picture);
  const bool unset = b.biWidth == a.biWidth && SameRect(now.rcSource, none) && SameRect(now.rcTarget, none);
  if (!whole && !unset) return false;
  *stride = b.biWidth;
  return true;
}

STDMETHODIMP CVideoSourceStream::QueryAccept(const AM_MEDIA_TYPE *pmt) {
  if (!pmt) return E_POINTER;
  if (!IsConnected()) return CMediaSourceStream::QueryAccept(pmt);
  // While connected the buffers already have their size and the track its
  // layout: only a wider stride can be honoured, on a buffer that carries it.
  LONG stride = 0;
  const bool accepted = StrideOf(CurrentMediaType(), *pmt, &stride);
  TraceW2(TEXT("CVideoSourceStream::QueryAccept stride(%d) %d"), static_cast<int>(stride), accepted ? 1 : 0);
  return accepted ? S_OK : S_FALSE;
}

HRESULT CVideoSourceStream::GetAllocatorRequirements(ALLOCATOR_PROPERTIES *pRequest) {
  if (!pRequest) return E_POINTER;
  const CMediaType &mt = CurrentMediaType();
  if (!mt.Format() || mt.FormatLength() < sizeof(VIDEOINFOHEADER)) return E_POINTER;
  const auto *info = reinterpret_cast<const VIDEOINFOHEADER *>(mt.Format());
  pRequest->cBuffers = 1;
  pRequest->cbBuffer = static_cast<long>(info->bmiHeader.biSizeImage);
  return S_OK;
}

HRESULT CVideoSourceStream::FillSample(IMediaSample *pSample, BYTE *pData, long *pSize) {
  AM_MEDIA_TYPE *changed = nullptr;
  if (pSample && pSample->GetMediaType(&changed) == S_OK && changed) {
    LONG stride = 0;
    const bool accepted =
        StrideOf(CurrentMediaType(), *changed, &stride) && m_extraction && m_extraction->SetOutputStride(stride) == 0;
    DeleteMediaType(changed);
    if (!accepted) {
      TraceW2(TEXT("CVideoSourceStream: the buffer's type is not a stride change"));
      return VFW_E_TYPE_NOT_ACCEPTED;
    }
    TraceW2(TEXT("CVideoSourceStream: rows %d pixels apart from now on"), static_cast<int>(stride));
  }
  // The sample keeps its whole capacity as its length.
  return PullSample(pData, pSize, false);
}

STDMETHODIMP CVideoSourceStream::Notify(IBaseFilter *, Quality q) {
  if (q.Late < kLateThreshold) return S_OK;
  CAutoLock lock(&m_lock);
  if (auto *source = dynamic_cast<CMediaSource *>(CBasePin::m_pFilter)) {
    TraceW2(TEXT("Video frame late(%d)"), static_cast<int>(q.Late));
    if (CBaseSourceStream *audio = source->GetAudioStream()) audio->SetCompensation(q.Late);
  }
  return S_OK;
}
