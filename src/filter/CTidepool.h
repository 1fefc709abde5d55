// CTidepool: the filter the class factory creates (CLSID_Tidepool). Opens
// the loaded file as a movie session on the QuickTime-style runtime.
//
// Ownership and threads: as CMediaSource.
#pragma once

#include "filter/CMediaSource.h"

class CTidepool : public CMediaSource {
 public:
  // A new filter with no reference taken, or null with E_OUTOFMEMORY in
  // *phr. pUnk: the aggregating object, or null.
  static CUnknown *WINAPI CreateInstance(LPUNKNOWN pUnk, HRESULT *phr);

  CTidepool(LPUNKNOWN pUnk, HRESULT *phr);
  ~CTidepool() override;

 protected:
  // Replaces any earlier session with a new one on m_fileName: S_OK when it
  // opened, E_OUTOFMEMORY, or the failure that says why it did not open
  // (traced; LoadResult).
  HRESULT CreateExtraction() override;
};
