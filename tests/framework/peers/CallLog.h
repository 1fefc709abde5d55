// CallLog: an ordered, thread-safe record of the calls a test peer received,
// shared by a peer and the objects it hands out, so tests can check the
// order of calls across them.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace tp::test {

class CallLog {
 public:
  void Add(std::string call) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(std::move(call));
  }
  std::vector<std::string> Calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
  }
  // The calls whose names are in `names`, in order (filters out the rest).
  std::vector<std::string> Only(const std::vector<std::string> &names) const {
    std::vector<std::string> out;
    for (const std::string &c : Calls()) {
      if (std::find(names.begin(), names.end(), c) != names.end()) out.push_back(c);
    }
    return out;
  }
  size_t Count(const std::string &name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<size_t>(std::count(m_calls.begin(), m_calls.end(), name));
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
  }

 private:
  // Leaf lock: guards m_calls; nothing is called while it is held.
  mutable std::mutex m_mutex;
  std::vector<std::string> m_calls;
};

}  // namespace tp::test
