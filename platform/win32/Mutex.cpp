// Mutex kernel objects and the per-process table of named mutexes.
#include "win32/Mutex.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "win32/CodePage.h"

namespace tp::win32 {
namespace {

// The mutexes the current thread owns; abandoned when the thread ends.
// Touched only by its own thread.
class OwnedMutexes {
 public:
  ~OwnedMutexes() {
    for (auto &weak : owned_)
      if (auto m = weak.lock()) m->abandon(threadId_);
  }
  void add(const std::shared_ptr<SyncMutex> &m, DWORD threadId) {
    threadId_ = threadId;
    owned_.push_back(m);
  }
  void remove(const SyncMutex *m) {
    owned_.erase(std::remove_if(owned_.begin(), owned_.end(),
                                [&](const std::weak_ptr<SyncMutex> &w) {
                                  auto p = w.lock();
                                  return !p || p.get() == m;
                                }),
                 owned_.end());
  }

 private:
  DWORD threadId_ = 0;
  std::vector<std::weak_ptr<SyncMutex>> owned_;
};

thread_local OwnedMutexes t_owned;

struct NameTable {
  std::mutex mutex;  // leaf lock: guards `byName`
  std::map<std::u16string, std::weak_ptr<SyncMutex>> byName;
};

NameTable &names() {
  static NameTable *t = new NameTable;  // never destroyed: used until exit
  return *t;
}

// Kernel object names are case-sensitive; the session prefixes name the one
// namespace there is here.
std::u16string ObjectName(std::u16string_view name) {
  for (std::u16string_view prefix : {u"Global\\", u"Local\\"})
    if (name.starts_with(prefix)) name.remove_prefix(prefix.size());
  return std::u16string(name);
}

HANDLE CreateMutexObject(BOOL initialOwner, std::u16string_view rawName, bool named) {
  const DWORD tid = currentThreadId();
  std::shared_ptr<SyncMutex> mutex;
  bool existed = false;
  if (named) {
    const std::u16string name = ObjectName(rawName);
    NameTable &t = names();
    std::lock_guard lock(t.mutex);
    for (auto it = t.byName.begin(); it != t.byName.end();) it = it->second.expired() ? t.byName.erase(it) : ++it;
    if (auto it = t.byName.find(name); it != t.byName.end()) mutex = it->second.lock();
    if (mutex) {
      existed = true;  // the initial owner flag does not apply then
    } else {
      mutex = std::make_shared<SyncMutex>(initialOwner ? tid : 0);
      t.byName[name] = mutex;
    }
  } else {
    mutex = std::make_shared<SyncMutex>(initialOwner ? tid : 0);
  }
  if (initialOwner && !existed) t_owned.add(mutex, tid);
  HANDLE h = insertHandle(mutex);
  if (!h) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

}  // namespace

SyncMutex::SyncMutex(DWORD initialOwner) : owner_(initialOwner), count_(initialOwner ? 1 : 0) {}

bool SyncMutex::release(DWORD threadId) {
  {
    std::lock_guard lock(dispatcherMutex());
    if (owner_ != threadId || count_ == 0) return false;
    if (--count_ > 0) return true;
    owner_ = 0;
  }
  t_owned.remove(this);
  wakeWaiters();
  return true;
}

void SyncMutex::abandon(DWORD threadId) {
  {
    std::lock_guard lock(dispatcherMutex());
    if (owner_ != threadId) return;
    owner_ = 0;
    count_ = 0;
    abandoned_ = true;
  }
  wakeWaiters();
}

bool SyncMutex::isSignalledFor(DWORD threadId) const { return owner_ == 0 || owner_ == threadId; }

DWORD SyncMutex::acquire(DWORD threadId) {
  if (owner_ == threadId) {
    ++count_;
    return WAIT_OBJECT_0;
  }
  owner_ = threadId;
  count_ = 1;
  // Runs on the waiting thread itself, which now owns the mutex.
  t_owned.add(shared_from_this(), threadId);
  if (abandoned_) {
    abandoned_ = false;
    return WAIT_ABANDONED;
  }
  return WAIT_OBJECT_0;
}

}  // namespace tp::win32

EXTERN_C HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName) {
  const std::u16string_view name = tp::win32::WideView(lpName);
  return tp::win32::CreateMutexObject(bInitialOwner, name, !name.empty());
}

EXTERN_C HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
  const std::u16string name = tp::win32::Utf8ToUtf16(lpName ? lpName : "");
  return tp::win32::CreateMutexObject(bInitialOwner, name, !name.empty());
}

EXTERN_C BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  auto mutex = tp::win32::referenceHandleAs<tp::win32::SyncMutex>(hMutex);
  if (!mutex) return FALSE;
  if (!mutex->release(tp::win32::currentThreadId())) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}
