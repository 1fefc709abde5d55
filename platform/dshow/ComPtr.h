// Internal to platform/dshow: a counted interface pointer that releases what
// it holds, for the graph manager's walks over filters and pins.
#pragma once

#include <unknwn.h>

#include <utility>
#include <vector>

namespace tp::dshow {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  // Takes over one reference that the caller already holds.
  static ComPtr Adopt(T *p) {
    ComPtr c;
    c.m_p = p;
    return c;
  }
  // Adds a reference of its own.
  explicit ComPtr(T *p) : m_p(p) {
    if (m_p) m_p->AddRef();
  }
  ComPtr(const ComPtr &o) : ComPtr(o.m_p) {}
  ComPtr(ComPtr &&o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
  ComPtr &operator=(ComPtr o) noexcept {
    std::swap(m_p, o.m_p);
    return *this;
  }
  ~ComPtr() {
    if (m_p) m_p->Release();
  }
  T *get() const { return m_p; }
  T *operator->() const { return m_p; }
  explicit operator bool() const { return m_p != nullptr; }
  // For out parameters: releases what is held first.
  T **put() {
    *this = ComPtr();
    return &m_p;
  }
  void **putVoid() { return reinterpret_cast<void **>(put()); }

  // Queries p for Q: an empty pointer when it does not answer.
  template <class Q>
  ComPtr<Q> As(REFIID iid) const {
    ComPtr<Q> q;
    if (m_p && FAILED(m_p->QueryInterface(iid, q.putVoid()))) q = ComPtr<Q>();
    return q;
  }

 private:
  T *m_p = nullptr;
};

}  // namespace tp::dshow
