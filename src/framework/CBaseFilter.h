// CBaseFilter: a filter's identity, its three states and IBaseFilter.
//
// The filter moves between Stopped, Paused and Running; each change visits
// the connected pins in position order (Active on leaving Stopped, Run on
// entering Running, Inactive on entering Stopped). The derived class owns
// the pins and says how many there are (GetPinCount, GetPin).
//
// Ownership: the filter lock is given at construction and owned by the
// derived class (CSource owns it); it must outlive the filter's use of it.
// The clock is counted; the graph and its event sink are not (the graph
// owns the filter, not the other way round). The name given by
// JoinFilterGraph is copied.
//
// Threads: control calls come from any thread and take the filter lock.
// NotifyEvent, StreamTime, IsStopped and GetStateNoLock never take it, so
// the pins' worker threads may call them while a control thread holds the
// filter lock waiting for those workers.
#pragma once

#include <atomic>

#include <windows.h>
#include <objbase.h>
#include <strmif.h>

#include "framework/CUnknown.h"
#include "framework/Sync.h"

class CBasePin;
// Registration data of a filter; this framework hands out none.
struct AMOVIESETUP_FILTER;
typedef const AMOVIESETUP_FILTER *LPAMOVIESETUP_FILTER;

class CBaseFilter : public CUnknown, public IBaseFilter, public IAMovieSetup {
 public:
  // pLock: the filter lock, not owned, never null. clsid is copied.
  CBaseFilter(LPCTSTR pName, LPUNKNOWN pUnk, CCritSec *pLock, REFCLSID clsid, HRESULT *phr = nullptr);
  ~CBaseFilter() override;

  DECLARE_IUNKNOWN

  // INonDelegatingUnknown: IBaseFilter, IMediaFilter, IPersist (all the
  // IBaseFilter interface) and IAMovieSetup, plus IUnknown.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;

  // IPersist
  STDMETHODIMP GetClassID(CLSID *pClsID) override;

  // IMediaFilter
  // Stop: Inactive on every connected pin (all are visited, the first
  // failure is returned), then Stopped. Pause from Stopped: Active on each
  // connected pin; on a failure the pins already activated are deactivated
  // again and the filter stays Stopped. Run: Pause first when Stopped, then
  // Run on each connected pin unless already running.
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME tStart) override;
  STDMETHODIMP GetState(DWORD dwMSecs, FILTER_STATE *State) override;
  STDMETHODIMP SetSyncSource(IReferenceClock *pClock) override;
  STDMETHODIMP GetSyncSource(IReferenceClock **pClock) override;

  // IBaseFilter
  STDMETHODIMP EnumPins(IEnumPins **ppEnum) override;
  // Id is the decimal position plus one ("1", "2", ...); anything else
  // finds no pin (VFW_E_NOT_FOUND).
  STDMETHODIMP FindPin(LPCWSTR Id, IPin **ppPin) override;
  // The name is truncated to MAX_FILTER_NAME - 1 characters.
  STDMETHODIMP QueryFilterInfo(FILTER_INFO *pInfo) override;
  STDMETHODIMP JoinFilterGraph(IFilterGraph *pGraph, LPCWSTR pName) override;
  STDMETHODIMP QueryVendorInfo(LPWSTR *pVendorInfo) override;

  // IAMovieSetup: nothing to register (GetSetupData gives none): S_FALSE.
  STDMETHODIMP Register() override;
  STDMETHODIMP Unregister() override;

  // Framework operations ---------------------------------------------------

  // The clock's time minus the start time given to Run; VFW_E_NO_CLOCK
  // without a clock, or the clock's failure.
  virtual HRESULT StreamTime(REFERENCE_TIME &rtStream);
  virtual LONG GetPinVersion() { return m_PinVersion; }
  virtual int GetPinCount() = 0;
  // The pin at position n (0-based), or null; not counted.
  virtual CBasePin *GetPin(int n) = 0;
  virtual LPAMOVIESETUP_FILTER GetSetupData() { return nullptr; }

  // Forwards to the graph's event sink (EC_COMPLETE carries this filter as
  // its second parameter); E_NOTIMPL when the filter is in no graph.
  HRESULT NotifyEvent(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2);
  // Paused or Running (takes the filter lock).
  bool IsActive();
  bool IsStopped() const { return m_State.load() == State_Stopped; }
  FILTER_STATE GetStateNoLock() const { return m_State.load(); }
  // Position of pPin among this filter's pins, or -1.
  int FindPinNumber(IPin *pPin);
  IFilterGraph *GetFilterGraph() const { return m_pGraph; }
  CCritSec *FilterLock() const { return m_pLock; }

 protected:
  // Stops the walk at the first failure, after deactivating pins
  // [0, failedAt) again.
  void DeactivatePins(int count);

  std::atomic<FILTER_STATE> m_State{State_Stopped};
  IReferenceClock *m_pClock = nullptr;  // counted; see m_clockLock
  REFERENCE_TIME m_tStart = 0;
  CLSID m_clsid;
  CCritSec *m_pLock;  // the filter lock, not owned
  WCHAR *m_pName = nullptr;
  IFilterGraph *m_pGraph = nullptr;                 // not counted
  std::atomic<IMediaEventSink *> m_pSink{nullptr};  // not counted
  LONG m_PinVersion = 1;

 private:
  // Guards m_pClock and m_tStart for StreamTime, which workers call. Lock
  // order: the filter lock, then this one; nothing is called out while it
  // is held except AddRef/Release of the clock.
  CCritSec m_clockLock;
};
