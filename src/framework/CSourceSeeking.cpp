#include "framework/CSourceSeeking.h"

#include <limits>

#include <uuids.h>

namespace {

// Relative and incremental positions are added without a range check, but a
// sum that would leave the 64-bit range is held at its end instead of
// wrapping round to the other sign.
LONGLONG SaturatingAdd(LONGLONG a, LONGLONG b) {
  LONGLONG sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<LONGLONG>::max() : std::numeric_limits<LONGLONG>::min();
}

bool IsMediaTime(const GUID *pFormat) { return pFormat && IsEqualGUID(*pFormat, TIME_FORMAT_MEDIA_TIME); }

}  // namespace

CSourceSeeking::CSourceSeeking(LPCTSTR pName, LPUNKNOWN pUnk, HRESULT *phr, CCritSec *pLock)
    : CUnknown(pName, pUnk), m_pLock(pLock) {
  (void)phr;
}

STDMETHODIMP CSourceSeeking::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IMediaSeeking)) {
    *ppv = static_cast<IMediaSeeking *>(this);
    AddRef();
    return S_OK;
  }
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CSourceSeeking::GetCapabilities(DWORD *pCapabilities) {
  if (!pCapabilities) return E_POINTER;
  *pCapabilities = m_dwSeekingCaps;
  return S_OK;
}

STDMETHODIMP CSourceSeeking::CheckCapabilities(DWORD *pCapabilities) {
  if (!pCapabilities) return E_POINTER;
  return (*pCapabilities & ~m_dwSeekingCaps) ? S_FALSE : S_OK;
}

STDMETHODIMP CSourceSeeking::IsFormatSupported(const GUID *pFormat) { return IsMediaTime(pFormat) ? S_OK : S_FALSE; }

STDMETHODIMP CSourceSeeking::QueryPreferredFormat(GUID *pFormat) {
  if (!pFormat) return E_POINTER;
  *pFormat = TIME_FORMAT_MEDIA_TIME;
  return S_OK;
}

STDMETHODIMP CSourceSeeking::GetTimeFormat(GUID *pFormat) { return QueryPreferredFormat(pFormat); }

STDMETHODIMP CSourceSeeking::IsUsingTimeFormat(const GUID *pFormat) { return IsMediaTime(pFormat) ? S_OK : S_FALSE; }

STDMETHODIMP CSourceSeeking::SetTimeFormat(const GUID *pFormat) { return IsMediaTime(pFormat) ? S_OK : E_INVALIDARG; }

STDMETHODIMP CSourceSeeking::GetDuration(LONGLONG *pDuration) {
  if (!pDuration) return E_POINTER;
  CAutoLock lock(m_pLock);
  *pDuration = m_rtDuration;
  return S_OK;
}

STDMETHODIMP CSourceSeeking::GetStopPosition(LONGLONG *pStop) {
  if (!pStop) return E_POINTER;
  CAutoLock lock(m_pLock);
  *pStop = m_rtStop;
  return S_OK;
}

STDMETHODIMP CSourceSeeking::GetCurrentPosition(LONGLONG *pCurrent) { return E_NOTIMPL; }

STDMETHODIMP CSourceSeeking::ConvertTimeFormat(LONGLONG *pTarget, const GUID *pTargetFormat, LONGLONG Source,
                                               const GUID *pSourceFormat) {
  if (!pTarget) return E_POINTER;
  // A null format means the current one, which is always media time.
  if (pTargetFormat && !IsMediaTime(pTargetFormat)) return E_INVALIDARG;
  if (pSourceFormat && !IsMediaTime(pSourceFormat)) return E_INVALIDARG;
  *pTarget = Source;
  return S_OK;
}

STDMETHODIMP CSourceSeeking::SetPositions(LONGLONG *pCurrent, DWORD dwCurrentFlags, LONGLONG *pStop,
                                          DWORD dwStopFlags) {
  const DWORD startBits = dwCurrentFlags & AM_SEEKING_PositioningBitsMask;
  const DWORD stopBits = dwStopFlags & AM_SEEKING_PositioningBitsMask;

  if (dwStopFlags) {
    if (!pStop) return E_POINTER;
    // Only positioning is understood for the stop; key frames, segments,
    // no-flush and returned times are refused there.
    if (dwStopFlags != stopBits) return E_INVALIDARG;
  }
  if (dwCurrentFlags) {
    if (!pCurrent) return E_POINTER;
    // Key frames and the returned time are understood; other bits of the
    // start flags are accepted and ignored.
    if (startBits != AM_SEEKING_AbsolutePositioning && startBits != AM_SEEKING_RelativePositioning) {
      return E_INVALIDARG;
    }
  }

  {
    CAutoLock lock(m_pLock);
    if (startBits == AM_SEEKING_AbsolutePositioning) {
      m_rtStart = *pCurrent;
    } else if (startBits == AM_SEEKING_RelativePositioning) {
      m_rtStart = SaturatingAdd(m_rtStart, *pCurrent);
    }
    if (startBits != AM_SEEKING_NoPositioning && (dwCurrentFlags & AM_SEEKING_SeekToKeyFrame)) {
      m_rtStart = KeyFrameAtOrBefore(m_rtStart);
    }
    if (startBits != AM_SEEKING_NoPositioning && (dwCurrentFlags & AM_SEEKING_ReturnTime)) *pCurrent = m_rtStart;

    if (stopBits == AM_SEEKING_AbsolutePositioning) {
      m_rtStop = *pStop;
    } else if (stopBits == AM_SEEKING_IncrementalPositioning) {
      m_rtStop = SaturatingAdd(m_rtStart, *pStop);
    } else if (stopBits == AM_SEEKING_RelativePositioning) {
      m_rtStop = SaturatingAdd(m_rtStop, *pStop);
    }
  }

  HRESULT hr = S_OK;
  if (stopBits != AM_SEEKING_NoPositioning) hr = ChangeStop();
  if (startBits != AM_SEEKING_NoPositioning) hr = ChangeStart();
  return hr;
}

STDMETHODIMP CSourceSeeking::GetPositions(LONGLONG *pCurrent, LONGLONG *pStop) {
  // Read under the lock as well: the worker and other control threads may be
  // writing the same fields.
  CAutoLock lock(m_pLock);
  if (pCurrent) *pCurrent = m_rtStart;
  if (pStop) *pStop = m_rtStop;
  return S_OK;
}

STDMETHODIMP CSourceSeeking::GetAvailable(LONGLONG *pEarliest, LONGLONG *pLatest) {
  if (pEarliest) *pEarliest = 0;
  if (pLatest) {
    CAutoLock lock(m_pLock);
    *pLatest = m_rtDuration;
  }
  return S_OK;
}

STDMETHODIMP CSourceSeeking::GetRate(double *pdRate) {
  if (!pdRate) return E_POINTER;
  CAutoLock lock(m_pLock);
  *pdRate = m_dRateSeeking;
  return S_OK;
}

STDMETHODIMP CSourceSeeking::GetPreroll(LONGLONG *pllPreroll) {
  if (!pllPreroll) return E_POINTER;
  *pllPreroll = 0;
  return S_OK;
}
