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

HRESULT CVideoSourceStream::GetAllocatorRequirements(ALLOCATOR_PROPERTIES *pRequest) {
  if (!pRequest) return E_POINTER;
  const CMediaType &mt = CurrentMediaType();
  if (!mt.Format() || mt.FormatLength() < sizeof(VIDEOINFOHEADER)) return E_POINTER;
  const auto *info = reinterpret_cast<const VIDEOINFOHEADER *>(mt.Format());
  pRequest->cBuffers = 1;
  pRequest->cbBuffer = static_cast<long>(info->bmiHeader.biSizeImage);
  return S_OK;
}

HRESULT CVideoSourceStream::FillSample(IMediaSample *, BYTE *pData, long *pSize) {
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
