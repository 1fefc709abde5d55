#include "framework/CAMThread.h"

#include <objbase.h>

namespace {

using CoInitializeExFn = HRESULT(STDAPICALLTYPE *)(LPVOID, DWORD);
using CoUninitializeFn = void(STDAPICALLTYPE *)();

template <typename Fn>
Fn LookUp(HMODULE module, LPCSTR name) {
  FARPROC proc = module ? GetProcAddress(module, name) : nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void *>(proc));
}

// COM is initialised through the copy of ole32 that the host already loaded
// (multithreaded, without OLE1 DDE); a process without it runs its workers
// without COM. Returns the uninitialiser to call when the worker leaves, or
// null when initialisation did not succeed.
CoUninitializeFn InitialiseCom() {
  HMODULE ole = GetModuleHandleW(TEXT("ole32.dll"));
  auto coInitializeEx = LookUp<CoInitializeExFn>(ole, "CoInitializeEx");
  if (!coInitializeEx) return nullptr;
  if (FAILED(coInitializeEx(nullptr, COINIT_DISABLE_OLE1DDE))) return nullptr;
  auto coUninitialize = LookUp<CoUninitializeFn>(ole, "CoUninitialize");
  if (!coUninitialize) {
    // Without a way to leave the apartment, leave it never entered instead.
    return nullptr;
  }
  return coUninitialize;
}

}  // namespace

CAMThread::CAMThread(HRESULT *phr, CAMEvent::Creator createEvent)
    : m_EventSend(TRUE, createEvent), m_EventComplete(FALSE, createEvent) {
  (void)phr;  // event failures surface at Create, not here
}

CAMThread::~CAMThread() { Close(); }

bool CAMThread::Create() {
  CAutoLock lock(&m_AccessLock);
  if (ThreadExists()) return false;
  if (!EventsValid()) return false;
  DWORD threadId = 0;
  HANDLE thread = CreateThread(nullptr, 0, &CAMThread::InitialThreadProc, this, 0, &threadId);
  if (!thread) return false;
  m_hThread.store(thread);
  return true;
}

DWORD CAMThread::CallWorker(DWORD dwParam) {
  CAutoLock lock(&m_AccessLock);
  HANDLE thread = m_hThread.load();
  if (!thread) return static_cast<DWORD>(E_FAIL);

  m_dwParam = dwParam;
  m_EventSend.Set();

  // Waiting on the thread as well keeps a caller from blocking for ever on a
  // worker that has already left its loop (after CMD_EXIT, or after a failed
  // start). The completion event comes first, so a reply given just before
  // the thread ended still wins.
  HANDLE handles[2] = {m_EventComplete.Handle(), thread};
  DWORD wait = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  if (wait == WAIT_OBJECT_0) return m_dwReturnVal;
  if (m_EventComplete.Wait(0)) return m_dwReturnVal;
  // The worker is gone: withdraw the command so it does not linger.
  m_EventSend.Reset();
  return static_cast<DWORD>(E_FAIL);
}

void CAMThread::Close() {
  HANDLE thread;
  {
    // Taking the access lock means no CallWorker is waiting on the handle
    // while it is closed.
    CAutoLock lock(&m_AccessLock);
    thread = m_hThread.exchange(nullptr);
  }
  if (thread) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
}

bool CAMThread::ThreadHasEnded() {
  CAutoLock lock(&m_AccessLock);
  HANDLE thread = m_hThread.load();
  return thread && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
}

DWORD CAMThread::GetRequest() {
  m_EventSend.Wait(INFINITE);
  return m_dwParam;
}

bool CAMThread::CheckRequest(DWORD *pParam) {
  if (!m_EventSend.Wait(0)) return false;
  if (pParam) *pParam = m_dwParam;
  return true;
}

void CAMThread::Reply(DWORD dw) {
  m_dwReturnVal = dw;
  // Cleared before the caller is released, so the caller cannot post its
  // next command in between and have it wiped out.
  m_EventSend.Reset();
  m_EventComplete.Set();
}

DWORD WINAPI CAMThread::InitialThreadProc(LPVOID pv) {
  auto *self = static_cast<CAMThread *>(pv);
  CoUninitializeFn leaveCom = InitialiseCom();
  DWORD result = self->ThreadProc();
  if (leaveCom) leaveCom();
  return result;
}
