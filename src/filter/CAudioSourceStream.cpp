#include "filter/CAudioSourceStream.h"

#include <cstring>

#include <mmreg.h>
#include <uuids.h>

#include "engine/IMediaExtraction.h"
#include "framework/RefTime.h"
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
  return TrackMediaType(m_extraction, pMediaType);
}

HRESULT CAudioSourceStream::TrackMediaType(IMediaExtraction *track, CMediaType *pMediaType) {
  BYTE *block = pMediaType->AllocFormatBuffer(kWaveFormatBytes);
  if (!block) {
    TraceW2(TEXT("AllocFormatBuffer failed\n"));
    return E_OUTOFMEMORY;
  }
  std::memset(block, 0, kWaveFormatBytes);
  if (track) track->FillMediaInfo(block, kWaveFormatBytes, nullptr);
  pMediaType->SetType(&MEDIATYPE_Audio);
  pMediaType->SetSubtype(&MEDIASUBTYPE_PCM);
  pMediaType->SetFormatType(&FORMAT_WaveFormatEx);
  pMediaType->SetSampleSize(track ? static_cast<ULONG>(track->GetBufferSize()) : 0);
  return S_OK;
}

HRESULT CAudioSourceStream::SwitchTrack(IMediaExtraction *track, IMediaExtraction **old) {
  if (!track || !old) return E_POINTER;
  *old = nullptr;
  CMediaType type;
  if (HRESULT hr = TrackMediaType(track, &type); FAILED(hr)) return hr;
  {
    // The filter lock keeps the connection and the allocator as they are
    // while the new type is weighed and taken.
    CAutoLock filterLock(CBasePin::m_pLock);
    bool newType = false;
    if (IsConnected()) {
      if (!(type == m_mt)) {
        if (GetConnected()->QueryAccept(&type) != S_OK) {
          TraceW8(TEXT("CAudioSourceStream::SwitchTrack: the new type is not accepted"));
          return VFW_E_TYPE_NOT_ACCEPTED;
        }
        newType = true;
      }
      ALLOCATOR_PROPERTIES props{};
      if (Allocator() && SUCCEEDED(Allocator()->GetProperties(&props)) && props.cbBuffer < track->GetBufferSize()) {
        TraceW8(TEXT("CAudioSourceStream::SwitchTrack: buffers of %d bytes, %d needed"),
                static_cast<int>(props.cbBuffer), static_cast<int>(track->GetBufferSize()));
        return VFW_E_TYPE_NOT_ACCEPTED;
      }
    }
    CAutoLock lock(&m_lock);
    *old = m_extraction;
    m_extraction = track;
    m_timeScale = track->GetTimeScale();
    if (newType) {
      m_mt = type;
      m_bTypePending = true;
    }
    if (ThreadExists()) {
      // Where the old track's last filled sample ended: the samples go on
      // from there in the segment the loop announced.
      LONGLONG at = RefTimeToUnits(m_rtPosition, m_timeScale);
      SeekTo(&at);
      m_bTrackAdvanced = true;
      m_bRestartPending = true;
    } else {
      SeekTrackToStart();
    }
  }
  UpdateFromSeek();
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

HRESULT CAudioSourceStream::FillSample(IMediaSample *pSample, BYTE *pData, long *pSize) {
  const HRESULT hr = PullSample(pData, pSize, true);
  if (hr == S_OK && m_bTypePending && pSample) {
    pSample->SetMediaType(&m_mt);
    m_bTypePending = false;
  }
  return hr;
}
