// Events: CreateEvent, SetEvent, ResetEvent. Named events are shared within
// the process by name (case-sensitive, as kernel object names are).
#include "win32/SyncEvent.h"

#include <map>
#include <string>

#include "win32/Utf16.h"

namespace tp::win32 {

void SyncEvent::set() {
  {
    std::lock_guard<std::mutex> lock(dispatcherMutex());
    signalled_ = true;
  }
  wakeWaiters();
}

void SyncEvent::reset() {
  std::lock_guard<std::mutex> lock(dispatcherMutex());
  signalled_ = false;
}

bool SyncEvent::isSignalledFor(DWORD) const { return signalled_; }

DWORD SyncEvent::acquire(DWORD) {
  if (!manualReset_) signalled_ = false;
  return WAIT_OBJECT_0;
}

}  // namespace tp::win32

namespace {

using tp::win32::SyncEvent;

struct NamedEvents {
  // Leaf lock; the map holds no ownership, so an event dies with its last handle.
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<SyncEvent>> byName;
};

NamedEvents &namedEvents() {
  static NamedEvents *n = new NamedEvents;
  return *n;
}

HANDLE createEvent(BOOL manualReset, BOOL initialState, const std::string *name) {
  std::shared_ptr<SyncEvent> event;
  bool existed = false;
  try {
    if (name == nullptr) {
      event = std::make_shared<SyncEvent>(manualReset != FALSE, initialState != FALSE);
    } else {
      NamedEvents &n = namedEvents();
      std::lock_guard<std::mutex> lock(n.mutex);
      event = n.byName[*name].lock();
      existed = event != nullptr;
      if (!existed) {
        event = std::make_shared<SyncEvent>(manualReset != FALSE, initialState != FALSE);
        n.byName[*name] = event;
      }
    }
  } catch (const std::bad_alloc &) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE handle = tp::win32::insertHandle(std::move(event));
  if (handle != nullptr) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

}  // namespace

EXTERN_C HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  if (lpName == nullptr || lpName[0] == 0) return createEvent(bManualReset, bInitialState, nullptr);
  const std::string name = tp::win32::utf16ToUtf8(lpName);
  return createEvent(bManualReset, bInitialState, &name);
}

EXTERN_C HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  if (lpName == nullptr || lpName[0] == 0) return createEvent(bManualReset, bInitialState, nullptr);
  const std::string name = lpName;
  return createEvent(bManualReset, bInitialState, &name);
}

EXTERN_C BOOL WINAPI SetEvent(HANDLE hEvent) {
  auto event = tp::win32::referenceHandleAs<SyncEvent>(hEvent);
  if (!event) return FALSE;
  event->set();
  return TRUE;
}

EXTERN_C BOOL WINAPI ResetEvent(HANDLE hEvent) {
  auto event = tp::win32::referenceHandleAs<SyncEvent>(hEvent);
  if (!event) return FALSE;
  event->reset();
  return TRUE;
}
