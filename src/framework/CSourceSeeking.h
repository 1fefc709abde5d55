// CSourceSeeking: IMediaSeeking state of one source pin.
//
// Keeps the stream's duration, start and stop positions and rate, answers the
// seeking queries in reference time (100 ns units, the only time format) and
// turns SetPositions into new positions followed by a call of ChangeStop
// and/or ChangeStart, which the derived stream supplies to make the change
// take effect. The derived class also supplies SetRate.
//
// Ownership: the lock given at construction belongs to the derived class and
// must outlive this object. The derived class reads and writes the four
// position fields directly, under that lock. IUnknown calls go to the outer
// unknown (in a pin, the pin itself).
#pragma once

#include <windows.h>
#include <strmif.h>

#include "framework/CUnknown.h"
#include "framework/Sync.h"

class CSourceSeeking : public IMediaSeeking, public CUnknown {
 public:
  // IUnknown: forwarded to the outer unknown
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override { return GetOwner()->QueryInterface(riid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return GetOwner()->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return GetOwner()->Release(); }

  // INonDelegatingUnknown
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;

  // IMediaSeeking
  STDMETHODIMP GetCapabilities(DWORD *pCapabilities) override;
  STDMETHODIMP CheckCapabilities(DWORD *pCapabilities) override;
  STDMETHODIMP IsFormatSupported(const GUID *pFormat) override;
  STDMETHODIMP QueryPreferredFormat(GUID *pFormat) override;
  STDMETHODIMP GetTimeFormat(GUID *pFormat) override;
  STDMETHODIMP IsUsingTimeFormat(const GUID *pFormat) override;
  STDMETHODIMP SetTimeFormat(const GUID *pFormat) override;
  STDMETHODIMP GetDuration(LONGLONG *pDuration) override;
  STDMETHODIMP GetStopPosition(LONGLONG *pStop) override;
  // Not offered: always E_NOTIMPL.
  STDMETHODIMP GetCurrentPosition(LONGLONG *pCurrent) override;
  STDMETHODIMP ConvertTimeFormat(LONGLONG *pTarget, const GUID *pTargetFormat, LONGLONG Source,
                                 const GUID *pSourceFormat) override;
  // Stores the new positions under the lock, then (without it) calls
  // ChangeStop and/or ChangeStart; see the .cpp for the flag rules.
  // The start may carry AM_SEEKING_SeekToKeyFrame (the start moves to
  // KeyFrameAtOrBefore) and AM_SEEKING_ReturnTime (the start is written back,
  // absolute); the stop takes positioning bits only (E_INVALIDARG).
  STDMETHODIMP SetPositions(LONGLONG *pCurrent, DWORD dwCurrentFlags, LONGLONG *pStop, DWORD dwStopFlags) override;
  STDMETHODIMP GetPositions(LONGLONG *pCurrent, LONGLONG *pStop) override;
  STDMETHODIMP GetAvailable(LONGLONG *pEarliest, LONGLONG *pLatest) override;
  // SetRate is left to the derived class.
  STDMETHODIMP GetRate(double *pdRate) override;
  STDMETHODIMP GetPreroll(LONGLONG *pllPreroll) override;

  static constexpr LONGLONG kUnknownDuration = 0x3FFFFFFFFFFFFFFFLL;
  static constexpr DWORD kDefaultCapabilities = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards |
                                                AM_SEEKING_CanSeekBackwards | AM_SEEKING_CanGetStopPos |
                                                AM_SEEKING_CanGetDuration;

 protected:
  // pLock must not be null and must outlive this object; phr is left alone.
  CSourceSeeking(LPCTSTR pName, LPUNKNOWN pUnk, HRESULT *phr, CCritSec *pLock);

  // Called without the lock after the positions (or rate) changed; the
  // derived class makes the change take effect (for instance by restarting
  // its worker).
  virtual HRESULT ChangeStart() = 0;
  virtual HRESULT ChangeStop() = 0;
  virtual HRESULT ChangeRate() = 0;
  // Where a seek to `rtTarget` with AM_SEEKING_SeekToKeyFrame starts: the
  // stream's key frame at or before it. Called with the lock held. The
  // default has every sample a key frame: the target itself.
  virtual REFERENCE_TIME KeyFrameAtOrBefore(REFERENCE_TIME rtTarget) { return rtTarget; }

  REFERENCE_TIME m_rtDuration = kUnknownDuration;
  REFERENCE_TIME m_rtStart = 0;
  REFERENCE_TIME m_rtStop = kUnknownDuration;
  double m_dRateSeeking = 1.0;
  DWORD m_dwSeekingCaps = kDefaultCapabilities;
  // Owned by the derived class (it is the stream's own lock, not the filter
  // lock). Lock order: taken after the filter lock when both are held, and
  // never held here while ChangeStart, ChangeStop or ChangeRate run, so that
  // those may stop and restart the worker.
  CCritSec *m_pLock;
};
