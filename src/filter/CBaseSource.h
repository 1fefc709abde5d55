// CBaseSource: a file source filter. Adds IFileSourceFilter and
// IAMFilterMiscFlags to the framework's push source: it keeps the path given
// to Load and asks the derived class to create the output pins from it.
//
// Ownership: the filter owns its file name and (through CSource) its pins.
// Threads: Load and GetCurFile run on control threads under the filter's
// state lock.
#pragma once

#include <string>

#include <windows.h>
#include <strmif.h>

#include "framework/CSource.h"

class CBaseSource : public CSource, public IFileSourceFilter, public IAMFilterMiscFlags {
 public:
  CBaseSource(LPCTSTR pName, LPUNKNOWN pUnk, REFCLSID clsid, HRESULT *phr);
  ~CBaseSource() override;

  DECLARE_IUNKNOWN

  // IFileSourceFilter and IAMFilterMiscFlags, then the framework filter's.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;

  // IFileSourceFilter
  // Stores the path (the media type is ignored) and creates the pins.
  // E_POINTER for a null path and VFW_E_ALREADY_CONNECTED once pins exist
  // (nothing changed); otherwise CreatePins' result: S_OK with at least one
  // pin, or the failure that says why there is none (the path stays stored
  // and a later Load is accepted).
  STDMETHODIMP Load(LPCOLESTR pszFileName, const AM_MEDIA_TYPE *pmt) override;
  // A task-memory copy of the path (empty before Load) that the caller
  // frees; the media type is not touched.
  STDMETHODIMP GetCurFile(LPOLESTR *ppszFileName, AM_MEDIA_TYPE *pmt) override;

  // IAMFilterMiscFlags: AM_FILTER_MISC_FLAGS_IS_SOURCE.
  STDMETHODIMP_(ULONG) GetMiscFlags() override;

 protected:
  // Creates the output pins from m_fileName: S_OK with at least one pin,
  // else a failure and no pins. State lock held.
  virtual HRESULT CreatePins() = 0;

  std::basic_string<WCHAR> m_fileName;
};
