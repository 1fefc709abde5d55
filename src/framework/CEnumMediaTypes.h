// CEnumMediaTypes: the IEnumMediaTypes object that a pin's EnumMediaTypes
// hands out.
//
// Walks the pin's offered types by position through the pin's
// GetMediaType(int, CMediaType*); a change of the pin's media type version
// makes it report VFW_E_ENUM_OUT_OF_SYNC until Reset.
//
// Ownership: COM reference counting (starts at 1 for the creator). The
// enumerator counts its pin (which counts the filter). Each type handed out
// by Next is a task-memory record that the caller frees with
// DeleteMediaType.
#pragma once

#include <atomic>

#include <windows.h>
#include <strmif.h>

#include "framework/CBaseObject.h"

class CBasePin;

class CEnumMediaTypes : public IEnumMediaTypes, public CBaseObject {
 public:
  // A fresh enumerator over pPin (pEnum null) or a copy of pEnum's position.
  CEnumMediaTypes(CBasePin *pPin, CEnumMediaTypes *pEnum);
  ~CEnumMediaTypes() override;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IEnumMediaTypes
  // S_OK when cMediaTypes types were fetched, S_FALSE when fewer (the
  // position moves past a position the pin did not fill).
  STDMETHODIMP Next(ULONG cMediaTypes, AM_MEDIA_TYPE **ppMediaTypes, ULONG *pcFetched) override;
  // S_OK when the pin has a type at the new position - 1, else S_FALSE.
  STDMETHODIMP Skip(ULONG cMediaTypes) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumMediaTypes **ppEnum) override;

 private:
  bool AreWeOutOfSync() const;

  int m_Position = 0;
  CBasePin *m_pPin;  // counted
  LONG m_Version = 0;
  std::atomic<LONG> m_cRef{1};
};
