// Where the trace library's lines go: the output chosen by the environment
// (a file, standard error or nowhere), the minimum level, and the capture
// kept for tests. One instance per loaded library (Instance()); it owns the
// open output file and the captured text.
//
// Every method may be called from any thread at the same time.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>  // std::lock_guard
#include <string>
#include <string_view>

#include "Lock.h"

namespace quilltrace {

class TraceOutput {
 public:
  static TraceOutput &Instance();

  TraceOutput();
  ~TraceOutput();
  TraceOutput(const TraceOutput &) = delete;
  TraceOutput &operator=(const TraceOutput &) = delete;

  // Reads QUILLTRACE_FILE and QUILLTRACE_LEVEL and (re)opens the output.
  void Configure();

  // True when a line of this level is to be written at all: it passes the
  // level filter and there is somewhere for it to go.
  bool Wants(int level) const {
    return level >= minLevel_.load(std::memory_order_relaxed) && enabled_.load(std::memory_order_relaxed);
  }

  // Writes `line` (a whole line, or raw text) in one piece to the output
  // and to the capture.
  void Write(std::string_view line);

  // True when lines go anywhere.
  bool Enabled() const;

  void CaptureBegin();
  int CaptureTake(char *buffer, int size);
  void CaptureEnd();

 private:
  void CloseLocked();
  void UpdateEnabledLocked() { enabled_.store(file_ != nullptr || capturing_, std::memory_order_relaxed); }

  std::atomic<int> minLevel_{0};
  std::atomic<bool> enabled_{false};  // file_ != nullptr || capturing_
  // Guards everything below. A leaf lock: nothing else is taken while it is
  // held, and it is never held across a call out of this class.
  Lock mutex_;
  std::FILE *file_ = nullptr;  // owned unless it is stderr
  bool toStderr_ = false;
  bool capturing_ = false;
  std::string captured_;
};

}  // namespace quilltrace
