// SinkBase: what the host's sinks add to the shared renderer base: a record
// of every sample handed to an observer (for time logs), an optional
// slow-down for tests of lateness, and the file-independent half of
// rendering. A derived sink says which types it takes and consumes the
// samples (Consume).
//
// Ownership: COM reference counting, as every filter. The observer is
// copied and called on the streaming thread.
//
// Threads: those of tp::sink::Renderer; Consume runs on the streaming
// thread under the receive lock.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <chrono>
#include <functional>

#include "tpsink/Renderer.h"

namespace tp::sinks {

// One rendered sample, as stamped.
struct SampleRecord {
  bool hasTime = false;
  REFERENCE_TIME start = 0;
  REFERENCE_TIME stop = 0;
  bool sync = false;
  bool discontinuity = false;
  LONG length = 0;
};

using SampleObserver = std::function<void(const SampleRecord &)>;

class SinkBase : public tp::sink::Renderer {
 public:
  // Set before streaming starts.
  void SetObserver(SampleObserver observer) { m_observer = std::move(observer); }
  // The sink renders at most one sample per this long (tests of lateness).
  void SetSlowdown(std::chrono::milliseconds delay) { m_slowdown = delay; }

 protected:
  SinkBase(REFCLSID clsid, LPCWSTR pinName) : Renderer(clsid, pinName) {}

  // One sample's data, on the streaming thread; a failure ends the stream
  // with EC_ERRORABORT.
  virtual HRESULT Consume(IMediaSample *pSample, const BYTE *data, LONG length) = 0;

  HRESULT RenderSample(IMediaSample *pSample) final;

 private:
  SampleObserver m_observer;
  std::chrono::milliseconds m_slowdown{0};
  std::chrono::steady_clock::time_point m_busyUntil{};  // streaming thread only
};

}  // namespace tp::sinks
