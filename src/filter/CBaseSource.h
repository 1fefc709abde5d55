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
  // (nothing changed); a failure of CreatePins is returned; S_OK otherwise,
  // also when the movie could not be opened (no pins then).
  STDMETHODIMP Load(LPCOLESTR pszFileName, const AM_MEDIA_TYPE *pmt) override;
  // A task-memory copy of the path (empty before Load) that the caller
  // frees; the media type is not touched.
  STDMETHODIMP GetCurFile(LPOLESTR *ppszFileName, AM_MEDIA_TYPE *pmt) override;

  // IAMFilterMiscFlags: AM_FILTER_MISC_FLAGS_IS_SOURCE.
  STDMETHODIMP_(ULONG) GetMiscFlags() override;

 protected:
  // Creates the output pins from m_fileName: negative on failure, S_FALSE
  // when there is nothing to stream. State lock held.
  virtual HRESULT CreatePins() = 0;

  std::basic_string<WCHAR> m_fileName;
};
