#include "dshow/GraphEvents.h"

#include <evcode.h>

#include <chrono>

namespace tp::dshow {

GraphEvents::GraphEvents() : m_handle(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

GraphEvents::~GraphEvents() {
  if (m_handle) CloseHandle(m_handle);
}

void GraphEvents::PushLocked(const Event &e) {
  if (m_noNotify) return;
  // A host that never reads its events must not make the graph grow
  // without bound; the oldest are dropped.
  if (m_queue.size() >= kMaxQueued) m_queue.pop_front();
  m_queue.push_back(e);
  if (m_handle) SetEvent(m_handle);
  m_posted.notify_all();
}

bool GraphEvents::PopLocked(Event *event) {
  if (m_queue.empty()) return false;
  *event = m_queue.front();
  m_queue.pop_front();
  if (m_queue.empty() && m_handle) ResetEvent(m_handle);
  return true;
}

void GraphEvents::Post(LONG code, LONG_PTR param1, LONG_PTR param2) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (code == EC_COMPLETE && m_defaultCompletion) {
    m_completed.insert(param2);
    if (!m_completeQueued && m_renderers > 0 && m_completed.size() >= m_renderers) {
      m_completeQueued = true;
      PushLocked({EC_COMPLETE, S_OK, 0});
    }
    return;
  }
  PushLocked({code, param1, param2});
}

void GraphEvents::ResetCompletion(size_t renderers) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_renderers = renderers;
  m_completed.clear();
  m_completeQueued = false;
}

bool GraphEvents::Get(Event *event, DWORD ms) {
  std::unique_lock<std::mutex> lock(m_lock);
  auto any = [this] { return !m_queue.empty(); };
  if (ms == INFINITE) {
    m_posted.wait(lock, any);
  } else if (!m_posted.wait_for(lock, std::chrono::milliseconds(ms), any)) {
    return false;
  }
  return PopLocked(event);
}

LONG GraphEvents::WaitForEnd(DWORD ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms == INFINITE ? 0 : ms);
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    Event e;
    while (PopLocked(&e)) {
      if (e.code == EC_COMPLETE || e.code == EC_ERRORABORT || e.code == EC_USERABORT) return e.code;
    }
    if (ms == INFINITE) {
      m_posted.wait(lock);
    } else if (m_posted.wait_until(lock, deadline) == std::cv_status::timeout && m_queue.empty()) {
      return 0;
    }
  }
}

void GraphEvents::SetDefaultCompletion(bool on) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_defaultCompletion = on;
}

void GraphEvents::SetNoNotify(bool on) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_noNotify = on;
  if (on) {
    m_queue.clear();
    if (m_handle) ResetEvent(m_handle);
  }
}

bool GraphEvents::NoNotify() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_noNotify;
}

}  // namespace tp::dshow
