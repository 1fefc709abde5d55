// CAMThread: one worker thread with a request/reply command channel.
//
// A control thread posts a command with CallWorker and blocks until the
// worker answers it with Reply. The worker sees the pending command through
// GetRequest (blocking) or CheckRequest (polling); the command stays pending,
// visible to both, until the worker replies. The derived class supplies
// ThreadProc, which runs on the worker between the thread's COM
// initialisation and uninitialisation.
//
// Ownership: the object owns its two events, its two locks and the thread
// handle. Destroying it waits for a thread that still runs (Close), so the
// owner must have told the thread to leave first.
#pragma once

#include <atomic>

#include <windows.h>

#include "framework/Sync.h"

class CAMThread {
 public:
  // Failure to create either event is not reported here; Create then refuses
  // to start a thread, so no command can ever be exchanged without events.
  // createEvent replaces CreateEventW for both events (tests use it).
  explicit CAMThread(HRESULT *phr = nullptr, CAMEvent::Creator createEvent = nullptr);
  virtual ~CAMThread();
  CAMThread(const CAMThread &) = delete;
  CAMThread &operator=(const CAMThread &) = delete;

  // Control side -------------------------------------------------------

  // Starts the thread unless one exists (an ended but unclosed thread counts
  // as existing). True when a thread was started; false when one existed,
  // when the events are missing or when the system refused.
  bool Create();
  // Posts dwParam and waits for the worker's reply, which it returns.
  // E_FAIL when there is no thread, or when the thread ends without
  // answering. Callers are serialised by the access lock.
  DWORD CallWorker(DWORD dwParam);
  // Waits for the thread to end and closes its handle; nothing to do when
  // there is none. Never call it from the worker itself.
  void Close();
  bool ThreadExists() const { return m_hThread.load() != nullptr; }
  // Whether a thread was started and has since ended (its handle is still
  // held until Close).
  bool ThreadHasEnded();

  // Worker side ---------------------------------------------------------

  // Blocks until a command is pending and returns it (left pending).
  DWORD GetRequest();
  // Polls for a pending command; writes it to *pParam when given.
  bool CheckRequest(DWORD *pParam);
  // Answers the pending command with dw and clears it.
  void Reply(DWORD dw);

  // Whether both events exist (they may not, see the constructor).
  bool EventsValid() const { return m_EventSend.IsValid() && m_EventComplete.IsValid(); }

 protected:
  // The worker's body; its result becomes the thread's exit code.
  virtual DWORD ThreadProc() = 0;

  // Lock order: m_AccessLock is taken on its own by control threads and is
  // held across a whole CallWorker exchange; the worker never takes it.
  // m_WorkerLock is left to derived classes for data shared with the worker;
  // it is never held while calling the worker.
  CCritSec m_AccessLock;
  CCritSec m_WorkerLock;

 private:
  static DWORD WINAPI InitialThreadProc(LPVOID pv);

  CAMEvent m_EventSend;      // manual reset: signalled while a command is pending
  CAMEvent m_EventComplete;  // auto reset: signalled by the worker's reply
  DWORD m_dwParam = 0;       // the pending command; written before m_EventSend is set
  DWORD m_dwReturnVal = 0;   // the reply; written before m_EventComplete is set
  std::atomic<HANDLE> m_hThread{nullptr};
};
