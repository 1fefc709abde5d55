#include "filter/CMediaSourceStream.h"

#include "engine/IMediaExtraction.h"
#include "filter/ResultCodes.h"
#include "framework/RefTime.h"
#include "trace/Trace.h"

namespace {

int Id(const void *p) { return static_cast<int>(reinterpret_cast<UINT_PTR>(p)); }

}  // namespace

CMediaSourceStream::CMediaSourceStream(LPCTSTR pObjectName, CSource *pFilter, HRESULT *phr, LPCWSTR pName,
                                       IMediaExtraction *pExtraction)
    : CBaseSourceStream(pObjectName, pFilter, phr, pName), m_extraction(pExtraction) {
  CAutoLock lock(&m_lock);
  m_rtSampleStart = 0;
  m_rtDuration = 0;
  if (!m_extraction) return;
  m_timeScale = m_extraction->GetTimeScale();
  const LONGLONG units = m_extraction->GetDuration();
  // Exact, so that the stop is the track's end and its last sample is
  // delivered. A track without a positive time scale has no duration.
  m_rtDuration = m_rtStop = UnitsToRefTime(units, m_timeScale);
  TraceW2(TEXT("CMediaSourceStream::CMediaSourceStream this(0x%x) Duration(%d)"), Id(this),
          static_cast<int>(m_rtDuration));
}

CMediaSourceStream::~CMediaSourceStream() {
  CAutoLock lock(&m_lock);
  TraceW2(TEXT("CMediaSourceStream::~CMediaSourceStream() this(0x%x)"), Id(this));
}

void CMediaSourceStream::SetDuration(REFERENCE_TIME rtDuration) {
  // Taken although no worker exists yet: seeking calls may already read.
  CAutoLock lock(&m_lock);
  m_rtDuration = m_rtStop = rtDuration;
}

HRESULT CMediaSourceStream::PullSample(BYTE *pData, long *pSize, bool writeBackSize) {
  if (!m_extraction) return S_FALSE;
  // The stream ends at once on a track without a usable time scale.
  if (m_timeScale <= 0) return S_FALSE;
  LONG count = static_cast<LONG>(*pSize);
  LONGLONG start = 0, duration = 0;
  const LONG result = m_extraction->GetNextSample(pData, &count, &start, &duration);
  if (result < 0) return StreamResult(result);
  // The start and the end are converted, and the duration is their
  // difference: one sample's stop is the next one's start.
  LONGLONG end = 0;
  if (__builtin_add_overflow(start, duration, &end)) end = start;
  m_rtSampleStart = UnitsToRefTime(start, m_timeScale);
  m_rtSampleDuration = SubtractTimes(UnitsToRefTime(end, m_timeScale), m_rtSampleStart);
  // A count outside the buffer would make the sample claim bytes it has
  // not got.
  if (writeBackSize) *pSize = count < 0 ? 0 : (count > *pSize ? *pSize : count);
  return S_OK;
}

REFERENCE_TIME CMediaSourceStream::KeyFrameAtOrBefore(REFERENCE_TIME rtTarget) {
  if (!m_extraction || m_timeScale <= 0) return rtTarget;
  const LONGLONG units = RefTimeToUnits(rtTarget, m_timeScale);
  const LONGLONG key = m_extraction->KeyFrameTime(units);
  // A key frame is never later than the target, even through rounding.
  const REFERENCE_TIME rt = key == units ? rtTarget : UnitsToRefTime(key, m_timeScale);
  return rt < rtTarget ? rt : rtTarget;
}

HRESULT CMediaSourceStream::SeekTo(LONGLONG *pTime) {
  if (m_extraction) m_extraction->SetPosition(pTime);
  return S_OK;
}
