// CSource: a source filter, i.e. a filter whose pins are CSourceStream
// output pins that push samples from their own worker threads.
//
// Ownership: the filter owns its pins: a pin adds itself with AddPin when
// constructed, and the filter deletes every pin when it is destroyed (the
// pin's destructor removes it with RemovePin). The filter owns the state
// lock, which is the filter lock and also every pin's lock.
//
// Threads: the pin list is read under the state lock. RemovePin does not
// take it (it runs from pin destructors during the filter's destruction).
#pragma once

#include "framework/CBaseFilter.h"

class CSourceStream;

class CSource : public CBaseFilter {
 public:
  CSource(LPCTSTR pName, LPUNKNOWN lpunk, REFCLSID clsid, HRESULT *phr = nullptr);
  ~CSource() override;

  int GetPinCount() override;
  CBasePin *GetPin(int n) override;

  // Appends pStream: S_OK, or E_OUTOFMEMORY with nothing changed
  // (E_POINTER for null).
  HRESULT AddPin(CSourceStream *pStream);
  // Removes pStream, keeping the others in order: S_OK, or S_FALSE when it
  // is not in the list.
  HRESULT RemovePin(CSourceStream *pStream);
  CCritSec *pStateLock() { return &m_cStateLock; }

 protected:
  int m_iPins = 0;
  CSourceStream **m_paStreams = nullptr;  // owned array of owned pins
  CCritSec m_cStateLock;
};
