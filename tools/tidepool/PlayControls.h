// PlayControls: the player's transport on a host's graph, the same behind
// the SDL window and the system's video window: where the graph is, pause
// and resume, and a seek by a step, each reported on standard output in the
// lines the player's tests read. Called on the player's (main) thread only.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <algorithm>
#include <cstdio>

#include "GraphHost.h"

namespace tidepool {

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
