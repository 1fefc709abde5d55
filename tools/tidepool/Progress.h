// Progress: a one-line progress bar on standard error (position, duration,
// speed against real time), drawn only when standard error is a terminal,
// at most every 100 ms, and cleared at the end.
#pragma once

#include <chrono>

namespace tidepool {

class Progress {
 public:
  // duration in seconds (0 when unknown).
  explicit Progress(double duration);
  ~Progress();
  // Redraws for a position in seconds.
  void Update(double position);
  // Forces the terminal check's answer (tests).
  static void SetTerminalForTesting(bool terminal);

 private:
  const double m_duration;
  const bool m_enabled;
  bool m_drawn = false;
  std::chrono::steady_clock::time_point m_begin;
  std::chrono::steady_clock::time_point m_last;
};

}  // namespace tidepool
