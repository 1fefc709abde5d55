// The filter graph manager (CLSID_FilterGraph): holds a graph's filters,
// connects their pins, runs them, and gathers their events and seeking.
//
// Building: AddFilter (JoinFilterGraph with a unique name), RemoveFilter,
// ConnectDirect and Connect, Render (the pin's types are offered to the
// free input pins of filters already in the graph, then to the filters the
// mapper has registered, by merit; a new filter's own outputs are rendered
// in turn), AddSourceFilter (the source filter named for the file's
// extension under HKEY_CLASSES_ROOT\Media Type\Extensions, loaded through
// IFileSourceFilter) and RenderFile.
//
// Running: every state change visits the filters downstream first, so each
// renderer is ready before its sources push. Run starts the stream time
// kRunDelay ahead of the clock; after Pause, Run resumes the stream time
// where it stopped. The clock is chosen on the first Pause unless the host
// set one (SetSyncSource(NULL) runs the graph without a clock, as fast as
// the filters go).
//
// Events and seeking: GraphEvents (EC_COMPLETE once every renderer has
// reported it). IMediaSeeking goes to every renderer, which passes it up
// to its source; a seek while running pauses, seeks and runs again, and
// the stream time starts again from zero.
//
// Ownership: COM reference counting. The graph counts its filters and its
// clock; filters must not count the graph (JoinFilterGraph's contract).
//
// Threads: control calls from any thread, serialised by the graph lock
// (recursive, as building calls itself). Filters' streaming threads only
// post events (GraphEvents has its own leaf lock). Lock order: the graph
// lock, then any filter's locks.
#pragma once

#include <windows.h>
#include <control.h>
#include <strmif.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "dshow/GraphEvents.h"

namespace tp::dshow {

class FilterGraph final : public IGraphBuilder,
                          public IMediaControl,
                          public IMediaEventEx,
                          public IMediaEventSink,
                          public IMediaFilter,
                          public IMediaSeeking {
 public:
  static HRESULT Create(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv);

  // The stream time starts this far ahead of the clock when the graph runs.
  static constexpr REFERENCE_TIME kRunDelay = 10 * 10000;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IFilterGraph
  // A name in use gets " 0001" (or the next free number) appended and the
  // call returns VFW_S_DUPLICATE_NAME; a null name is made up.
  STDMETHODIMP AddFilter(IBaseFilter *pFilter, LPCWSTR pName) override;
  // Disconnects the filter's pins (both ends) first. VFW_E_NOT_STOPPED while
  // the graph is active, VFW_E_NOT_FOUND for a filter not in the graph.
  STDMETHODIMP RemoveFilter(IBaseFilter *pFilter) override;
  STDMETHODIMP EnumFilters(IEnumFilters **ppEnum) override;
  STDMETHODIMP FindFilterByName(LPCWSTR pName, IBaseFilter **ppFilter) override;
  // VFW_E_NOT_IN_GRAPH, VFW_E_INVALID_DIRECTION, VFW_E_NOT_STOPPED, else the
  // output pin's Connect.
  STDMETHODIMP ConnectDirect(IPin *ppinOut, IPin *ppinIn, const AM_MEDIA_TYPE *pmt) override;
  // Disconnects both ends, then connects again with the same type (any
  // type if that fails).
  STDMETHODIMP Reconnect(IPin *ppin) override;
  // This pin only, as documented.
  STDMETHODIMP Disconnect(IPin *ppin) override;
  STDMETHODIMP SetDefaultSyncSource() override;

  // IGraphBuilder
  // Direct connection first, then through one registered intermediate
  // filter.
  STDMETHODIMP Connect(IPin *ppinOut, IPin *ppinIn) override;
  // VFW_E_ALREADY_CONNECTED, VFW_E_CANNOT_RENDER, or S_OK.
  STDMETHODIMP Render(IPin *ppinOut) override;
  // S_OK when every output pin rendered; VFW_S_AUDIO_NOT_RENDERED,
  // VFW_S_VIDEO_NOT_RENDERED or VFW_S_PARTIAL_RENDER when some did;
  // VFW_E_CANNOT_RENDER (source removed again) when none did. Play lists
  // are not supported (E_INVALIDARG when one is given).
  STDMETHODIMP RenderFile(LPCWSTR lpcwstrFile, LPCWSTR lpcwstrPlayList) override;
  // VFW_E_NOT_FOUND for a missing file, VFW_E_UNKNOWN_FILE_TYPE when no
  // source is registered for the extension, VFW_E_CANNOT_LOAD_SOURCE_FILTER
  // when it cannot be created, E_NOINTERFACE without IFileSourceFilter,
  // or Load's failure (the filter is removed again).
  STDMETHODIMP AddSourceFilter(LPCWSTR lpcwstrFileName, LPCWSTR lpcwstrFilterName, IBaseFilter **ppFilter) override;
  STDMETHODIMP SetLogFile(DWORD_PTR) override { return S_OK; }
  STDMETHODIMP Abort() override;
  STDMETHODIMP ShouldOperationContinue() override;

  // IDispatch (for both dual interfaces): no type information.
  STDMETHODIMP GetTypeInfoCount(UINT *pctinfo) override;
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *) override {
    return E_NOTIMPL;
  }

  // IMediaControl (and IMediaFilter's Stop and Pause, which are the same)
  STDMETHODIMP Run() override;
  // S_FALSE when some filter has not finished pausing.
  STDMETHODIMP Pause() override;
  STDMETHODIMP Stop() override;
  // VFW_S_STATE_INTERMEDIATE when a filter is still changing state after
  // msTimeout; VFW_S_CANT_CUE when a filter says so.
  STDMETHODIMP GetState(LONG msTimeout, OAFilterState *pfs) override;
  STDMETHODIMP RenderFile(BSTR strFilename) override;
  STDMETHODIMP AddSourceFilter(BSTR, IDispatch **) override { return E_NOTIMPL; }
  STDMETHODIMP get_FilterCollection(IDispatch **) override { return E_NOTIMPL; }
  STDMETHODIMP get_RegFilterCollection(IDispatch **) override { return E_NOTIMPL; }
  // Pauses, waits for every filter to finish pausing, then stops.
  STDMETHODIMP StopWhenReady() override;

  // IMediaEvent / IMediaEventEx
  STDMETHODIMP GetEventHandle(OAEVENT *hEvent) override;
  // E_ABORT when nothing came within msTimeout.
  STDMETHODIMP GetEvent(LONG *lEventCode, LONG_PTR *lParam1, LONG_PTR *lParam2, LONG msTimeout) override;
  // VFW_E_WRONG_STATE unless running; E_ABORT (code 0) on time-out.
  STDMETHODIMP WaitForCompletion(LONG msTimeout, LONG *pEvCode) override;
  // Only EC_COMPLETE has default handling here (E_INVALIDARG otherwise).
  STDMETHODIMP CancelDefaultHandling(LONG lEvCode) override;
  STDMETHODIMP RestoreDefaultHandling(LONG lEvCode) override;
  STDMETHODIMP FreeEventParams(LONG, LONG_PTR, LONG_PTR) override { return S_OK; }
  // No windows: only a null window is accepted.
  STDMETHODIMP SetNotifyWindow(OAHWND hwnd, LONG, LONG_PTR) override { return hwnd ? E_NOTIMPL : S_OK; }
  STDMETHODIMP SetNotifyFlags(LONG lNoNotifyFlags) override;
  STDMETHODIMP GetNotifyFlags(LONG *lplNoNotifyFlags) override;

  // IMediaEventSink (filters)
  STDMETHODIMP Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) override;

  // IPersist / IMediaFilter
  STDMETHODIMP GetClassID(CLSID *pClassID) override;
  // With an explicit start time (stream time zero at tStart).
  STDMETHODIMP Run(REFERENCE_TIME tStart) override;
  STDMETHODIMP GetState(DWORD dwMilliSecsTimeout, FILTER_STATE *State) override;
  // VFW_E_NOT_STOPPED unless stopped. Null: no clock.
  STDMETHODIMP SetSyncSource(IReferenceClock *pClock) override;
  STDMETHODIMP GetSyncSource(IReferenceClock **pClock) override;

  // IMediaSeeking: over the graph's renderers (E_NOTIMPL when none can
  // seek). Capabilities are those all of them share; the duration is the
  // longest; the current position is the graph's own reckoning from the
  // stream time when it has a clock.
  STDMETHODIMP GetCapabilities(DWORD *pCapabilities) override;
  STDMETHODIMP CheckCapabilities(DWORD *pCapabilities) override;
  STDMETHODIMP IsFormatSupported(const GUID *pFormat) override;
  STDMETHODIMP QueryPreferredFormat(GUID *pFormat) override;
  STDMETHODIMP GetTimeFormat(GUID *pFormat) override;
  STDMETHODIMP IsUsingTimeFormat(const GUID *pFormat) override;
  STDMETHODIMP SetTimeFormat(const GUID *pFormat) override;
  STDMETHODIMP GetDuration(LONGLONG *pDuration) override;
  STDMETHODIMP GetStopPosition(LONGLONG *pStop) override;
  STDMETHODIMP GetCurrentPosition(LONGLONG *pCurrent) override;
  STDMETHODIMP ConvertTimeFormat(LONGLONG *pTarget, const GUID *pTargetFormat, LONGLONG Source,
                                 const GUID *pSourceFormat) override;
  STDMETHODIMP SetPositions(LONGLONG *pCurrent, DWORD dwCurrentFlags, LONGLONG *pStop, DWORD dwStopFlags) override;
  STDMETHODIMP GetPositions(LONGLONG *pCurrent, LONGLONG *pStop) override;
  STDMETHODIMP GetAvailable(LONGLONG *pEarliest, LONGLONG *pLatest) override;
  STDMETHODIMP SetRate(double dRate) override;
  STDMETHODIMP GetRate(double *pdRate) override;
  STDMETHODIMP GetPreroll(LONGLONG *pllPreroll) override;

  // Bounds on graph building.
  static constexpr int kMaxRenderDepth = 8;
  static constexpr int kMaxTypesTried = 64;

 private:
  struct Entry {
    IBaseFilter *filter;  // counted
    std::u16string name;
  };

  FilterGraph();
  ~FilterGraph();

  // All of these run under m_lock.
  int FindLocked(IBaseFilter *filter) const;
  bool PinInGraphLocked(IPin *pin) const;
  std::u16string UniqueNameLocked(LPCWSTR wanted, bool *renamed) const;
  void RemoveAtLocked(size_t index);
  // The filters, each before every filter upstream of it (counted copies).
  std::vector<IBaseFilter *> DownstreamFirstLocked() const;
  // The renderers: filters that say so (IAMFilterMiscFlags), or that have
  // a connected input pin and no connected output pin (counted copies).
  std::vector<IBaseFilter *> RenderersLocked() const;
  std::vector<IMediaSeeking *> SeekersLocked() const;
  HRESULT PauseLocked();
  HRESULT RunLocked(REFERENCE_TIME tStart);
  HRESULT StopLocked();
  HRESULT SetClockLocked(IReferenceClock *clock);
  HRESULT RenderLocked(IPin *out, int depth);
  // Tries out -> each free input pin of filter; S_OK once one connects and
  // the filter's own outputs render.
  HRESULT ConnectToFilterLocked(IPin *out, IBaseFilter *filter, int depth);
  REFERENCE_TIME StreamTimeLocked();

  std::atomic<LONG> m_cRef{0};
  // The graph lock: filter list, state, clock, positions. Recursive
  // because building calls the graph's own entries (AddFilter from Render).
  std::recursive_mutex m_lock;
  std::vector<Entry> m_filters;
  std::atomic<FILTER_STATE> m_state{State_Stopped};
  IReferenceClock *m_clock = nullptr;  // counted
  bool m_clockChosen = false;          // by the host or by the first pause
  REFERENCE_TIME m_tStart = 0;         // clock time of stream time zero
  REFERENCE_TIME m_pausedAt = 0;       // stream time reached when paused
  REFERENCE_TIME m_seekBase = 0;       // position at stream time zero
  double m_rate = 1.0;
  GUID m_timeFormat;
  std::atomic<bool> m_aborted{false};
  GraphEvents m_events;
};

inline HRESULT CreateFilterGraph(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) {
  return FilterGraph::Create(pUnkOuter, riid, ppv);
}

}  // namespace tp::dshow
