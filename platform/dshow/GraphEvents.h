// GraphEvents: the graph manager's event queue (what IMediaEventEx hands
// the application) and the default handling of EC_COMPLETE.
//
// Filters post events through Post (IMediaEventSink::Notify). EC_COMPLETE
// from a renderer is counted; the application gets one EC_COMPLETE when
// every renderer of the running graph has reported it (or each one as it
// comes when default handling is cancelled). Every other event is queued as
// it comes. The notification handle is a manual-reset event that is set
// while the queue holds an event.
//
// Ownership: owned by the graph. Filter pointers carried in parameters are
// not counted (the graph holds its filters).
//
// Threads: any. m_lock is a leaf: no call leaves this object while it is
// held (SetEvent/ResetEvent take only the platform's own leaf lock), so
// streaming threads may post while a control thread holds the graph lock.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>

namespace tp::dshow {

class GraphEvents {
 public:
  struct Event {
    LONG code;
    LONG_PTR param1;
    LONG_PTR param2;
  };

  GraphEvents();
  ~GraphEvents();
  GraphEvents(const GraphEvents &) = delete;
  GraphEvents &operator=(const GraphEvents &) = delete;

  // From filters (any thread).
  void Post(LONG code, LONG_PTR param1, LONG_PTR param2);

  // The graph starts streaming with `renderers` renderers, or a seek
  // flushed them: the EC_COMPLETE count starts again.
  void ResetCompletion(size_t renderers);

  // Waits up to `ms` (INFINITE: no limit) for the next event and removes
  // it: false when none came.
  bool Get(Event *event, DWORD ms);
  // Waits up to `ms` for EC_COMPLETE, EC_ERRORABORT or EC_USERABORT,
  // dropping every other event on the way: its code, or 0 when none came.
  LONG WaitForEnd(DWORD ms);

  // EC_COMPLETE default handling (counting): on by default.
  void SetDefaultCompletion(bool on);
  // AM_MEDIAEVENT_NONOTIFY: events are dropped and the handle stays clear.
  void SetNoNotify(bool on);
  bool NoNotify();

  HANDLE Handle() const { return m_handle; }

 private:
  void PushLocked(const Event &e);
  bool PopLocked(Event *event);

  const HANDLE m_handle;  // manual reset; set while m_queue is not empty
  std::mutex m_lock;      // leaf; guards the fields below
  std::condition_variable m_posted;
  std::deque<Event> m_queue;
  size_t m_renderers = 0;
  std::set<LONG_PTR> m_completed;  // renderers that sent EC_COMPLETE
  bool m_completeQueued = false;
  bool m_defaultCompletion = true;
  bool m_noNotify = false;

  static constexpr size_t kMaxQueued = 10000;
};

}  // namespace tp::dshow
