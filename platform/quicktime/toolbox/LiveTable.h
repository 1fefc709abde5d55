// LiveTable: the runtime's record of the objects it has handed out under an
// opaque key (audio extraction sessions, sound converters, decompression
// sequences). A key is honoured only while its object is in the table, so a
// disposed or foreign key is refused instead of dereferenced.
//
// Objects are shared: Find hands out a reference that keeps the object alive
// for a call still running on it, and Remove hands the table's reference to
// the caller, so the object is destroyed outside the table's lock.
//
// Thread-safety: every member takes the table's mutex, a leaf lock (nothing
// is called while it is held).
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace tp::qt {

template <typename Key, typename T>
class LiveTable {
 public:
  void Add(Key key, std::shared_ptr<T> object) {
    std::lock_guard<std::mutex> lock(mutex_);  // leaf lock
    live_[key] = std::move(object);
  }
  // Adds under a key `next` picks; `next(previous)` is called until it
  // gives one not in use. Returns the key.
  template <typename Next>
  Key AddWithNewKey(std::shared_ptr<T> object, Next next) {
    std::lock_guard<std::mutex> lock(mutex_);  // leaf lock
    do {
      lastKey_ = next(lastKey_);
    } while (live_.count(lastKey_));
    live_.emplace(lastKey_, std::move(object));
    return lastKey_;
  }
  std::shared_ptr<T> Find(Key key) const {
    std::lock_guard<std::mutex> lock(mutex_);  // leaf lock
    auto it = live_.find(key);
    return it == live_.end() ? nullptr : it->second;
  }
  // The table's reference, or null when the key is not live.
  std::shared_ptr<T> Remove(Key key) {
    std::lock_guard<std::mutex> lock(mutex_);  // leaf lock
    auto it = live_.find(key);
    if (it == live_.end()) return nullptr;
    std::shared_ptr<T> object = std::move(it->second);
    live_.erase(it);
    return object;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(mutex_);  // leaf lock
    return live_.size();
  }

 private:
  mutable std::mutex mutex_;
  Key lastKey_{};
  std::unordered_map<Key, std::shared_ptr<T>> live_;
};

}  // namespace tp::qt
