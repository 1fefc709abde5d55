#include "filter/CAudioSourceStream.h"

#include <cstring>

#include <mmreg.h>
#include <uuids.h>

#include "engine/IMediaExtraction.h"
#include "trace/Trace.h"

namespace {

constexpr ULONG kWaveFormatBytes = 18;  // WAVEFORMATEX with cbSize, nothing after it

}  // namespace

CAudioSourceStream::CAudioSourceStream(LPCTSTR pObjectName, CSource *pFilter, HRESULT *phr, LPCWSTR pName,
                                       IMediaExtraction *pExtraction)
    : CMediaSourceStream(pObjectName, pFilter, phr, pName, pExtraction) {}

HRESULT CAudioSourceStream::GetMediaType(int iPosition, CMediaType *pMediaType) {
  TraceW2(TEXT("CQTAudioSourceStream::GetMediaType %d\n"), iPosition);
  if (!pMediaType) return E_POINTER;
  if (iPosition < 0) return E_INVALIDARG;
  if (iPosition > 0) return VFW_S_NO_MORE_ITEMS;

  BYTE *block = pMediaType->AllocFormatBuffer(kWaveFormatBytes);
  if (!block) {
    TraceW2(TEXT("AllocFormatBuffer failed\n"));
    return E_OUTOFMEMORY;
  }
  std::memset(block, 0, kWaveFormatBytes);
  if (m_extraction) m_extraction->FillMediaInfo(block, kWaveFormatBytes, nullptr);
  pMediaType->SetType(&MEDIATYPE_Audio);
  pMediaType->SetSubtype(&MEDIASUBTYPE_PCM);
  pMediaType->SetFormatType(&FORMAT_WaveFormatEx);
  pMediaType->SetSampleSize(m_extraction ? static_cast<ULONG>(m_extraction->GetBufferSize()) : 0);
  return S_OK;
}

HRESULT CAudioSourceStream::CheckMediaType(const CMediaType *pMediaType) {
  if (!pMediaType) return E_POINTER;
  if (!IsEqualGUID(*pMediaType->Type(), MEDIATYPE_Audio) || !IsEqualGUID(*pMediaType->Subtype(), MEDIASUBTYPE_PCM) ||
      !IsEqualGUID(*pMediaType->FormatType(), FORMAT_WaveFormatEx) || !pMediaType->Format()) {
    return E_INVALIDARG;
  }
  return S_OK;
}

HRESULT CAudioSourceStream::GetAllocatorRequirements(ALLOCATOR_PROPERTIES *pRequest) {
  if (!pRequest) return E_POINTER;
  pRequest->cbBuffer = m_extraction ? m_extraction->GetBufferSize() : 0;
  pRequest->cBuffers = 1;
  return S_OK;
}

HRESULT CAudioSourceStream::FillSample(IMediaSample *, BYTE *pData, long *pSize) {
  return PullSample(pData, pSize, true);
}
