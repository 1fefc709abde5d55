// TestGraph: a graph stand-in whose event sink records the events a filter
// raises. It lives on the test's stack; its reference count is only checked
// for balance. Events may be raised from any thread and waited for.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <windows.h>
#include <strmif.h>

namespace tp::test {

// A graph that only offers an event sink; every event is recorded.
class TestGraph : public IFilterGraph, public IMediaEventSink {
 public:
  struct Event {
    LONG code;
    LONG_PTR param1;
    LONG_PTR param2;
  };

  STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IFilterGraph)) {
      *ppv = static_cast<IFilterGraph *>(this);
    } else if (IsEqualIID(riid, IID_IMediaEventSink)) {
      *ppv = static_cast<IMediaEventSink *>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  // Lives on the test's stack; counting is only checked for balance.
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_ref; }
  STDMETHODIMP_(ULONG) Release() override { return --m_ref; }

  STDMETHODIMP AddFilter(IBaseFilter *, LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP RemoveFilter(IBaseFilter *) override { return E_NOTIMPL; }
  STDMETHODIMP EnumFilters(IEnumFilters **) override { return E_NOTIMPL; }
  STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter **) override { return E_NOTIMPL; }
  STDMETHODIMP ConnectDirect(IPin *, IPin *, const AM_MEDIA_TYPE *) override { return E_NOTIMPL; }
  STDMETHODIMP Reconnect(IPin *) override { return E_NOTIMPL; }
  STDMETHODIMP Disconnect(IPin *) override { return E_NOTIMPL; }
  STDMETHODIMP SetDefaultSyncSource() override { return E_NOTIMPL; }

  STDMETHODIMP Notify(LONG code, LONG_PTR p1, LONG_PTR p2) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back({code, p1, p2});
    m_cv.notify_all();
    return S_OK;
  }

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  bool WaitForEvents(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_events.size() >= n; });
  }
  ULONG RefCount() const { return m_ref.load(); }

 private:
  std::atomic<ULONG> m_ref{0};
  // Leaf lock: guards m_events; nothing is called while it is held.
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<Event> m_events;
};

}  // namespace tp::test
