// PlayControls: the player's transport on a host's graph, the same behind
// the SDL window and the system's video window: where the graph is, pause
// and resume, and a seek by a step, each reported on standard output in the
// lines the player's tests read. Called on the player's (main) thread only.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "GraphHost.h"

namespace tidepool {

// One item of a player's --script, "SECONDS:WHAT": when (seconds after the
// graph starts running) and what (a key's name, or the player's own
// actions).
struct ScriptItem {
  double at = 0;
  std::string what;
};

// Splits "SECONDS:WHAT,..." into items in time order (equal times keep
// their order). false when an item has no colon or its time is not a
// non-negative number of seconds.
inline bool SplitScript(const std::string &text, std::vector<ScriptItem> *items) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(',', at);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(at, end - at);
    at = end + 1;
    const size_t colon = item.find(':');
    if (colon == std::string::npos) return false;
    ScriptItem s;
    try {
      size_t used = 0;
      s.at = std::stod(item.substr(0, colon), &used);
      if (used != colon || s.at < 0) return false;
    } catch (...) {
      return false;
    }
    s.what = item.substr(colon + 1);
    items->push_back(std::move(s));
  }
  std::stable_sort(items->begin(), items->end(), [](const ScriptItem &x, const ScriptItem &y) { return x.at < y.at; });
  return true;
}

// What the arrow keys move the position by: 5 s.
constexpr LONGLONG kSeekStep = 50000000;

class PlayControls {
 public:
  PlayControls(GraphHost &host, LONGLONG duration) : m_host(host), m_duration(duration) {}

  LONGLONG Position() {
    LONGLONG at = 0;
    m_host.Seeking()->GetCurrentPosition(&at);
    return at;
  }

  void TogglePause() {
    const HRESULT hr = m_paused ? m_host.Control()->Run() : m_host.Control()->Pause();
    if (FAILED(hr)) {
      std::fprintf(stderr, "tidepool: %s failed: %s\n", m_paused ? "resume" : "pause", GraphHost::Describe(hr).c_str());
      return;
    }
    m_paused = !m_paused;
    std::printf("%s at %.3f s\n", m_paused ? "paused" : "resumed", Position() / 1e7);
    std::fflush(stdout);
  }

  // Moves by step (negative: back), kept inside the movie.
  void Seek(LONGLONG step) {
    const LONGLONG from = Position();
    LONGLONG to = std::clamp<LONGLONG>(from + step, 0, m_duration);
    const HRESULT hr =
        m_host.Seeking()->SetPositions(&to, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
    if (FAILED(hr)) {
      std::fprintf(stderr, "tidepool: cannot seek: %s\n", GraphHost::Describe(hr).c_str());
      return;
    }
    std::printf("seek from %.3f s to %.3f s\n", from / 1e7, to / 1e7);
    std::fflush(stdout);
  }

 private:
  GraphHost &m_host;
  const LONGLONG m_duration;
  bool m_paused = false;
};

}  // namespace tidepool
