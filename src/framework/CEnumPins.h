// CEnumPins: the IEnumPins object that a filter's EnumPins hands out.
//
// Walks the filter's pins by position and hands each pin out at most once
// until Reset, even when the filter's pin list changes in between (the
// filter's pin version tells it so; Next then starts over but skips the
// pins it has already handed out).
//
// Ownership: COM reference counting (starts at 1 for the creator). The
// enumerator counts its filter; each pin handed out is counted for the
// caller. Not meant to be shared between threads without locking.
#pragma once

#include <atomic>
#include <vector>

#include <windows.h>
#include <strmif.h>

#include "framework/CBaseObject.h"

class CBaseFilter;
class CBasePin;

class CEnumPins : public IEnumPins, public CBaseObject {
 public:
  // A fresh enumerator over pFilter (pEnum null), or a copy of pEnum's
  // position and handed-out list. Check IsValid after construction: copying
  // the list can run out of memory.
  CEnumPins(CBaseFilter *pFilter, CEnumPins *pEnum);
  ~CEnumPins() override;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IEnumPins
  // S_OK when cPins pins were fetched, S_FALSE when fewer;
  // VFW_E_ENUM_OUT_OF_SYNC when a pin vanished (nothing handed out then).
  STDMETHODIMP Next(ULONG cPins, IPin **ppPins, ULONG *pcFetched) override;
  STDMETHODIMP Skip(ULONG cPins) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumPins **ppEnum) override;

  bool IsValid() const { return m_valid; }

 private:
  bool AreWeOutOfSync() const;
  void Refresh();

  int m_Position = 0;
  int m_PinCount = 0;
  CBaseFilter *m_pFilter;  // counted
  LONG m_Version = 0;
  std::atomic<LONG> m_cRef{1};
  std::vector<CBasePin *> m_PinCache;  // pins handed out since Reset
  bool m_valid = true;
};
