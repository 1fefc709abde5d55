// SinkBase: what the host's sinks add to the shared renderer base: a record
// of every sample handed to an observer (for time logs), an optional
// slow-down for tests of lateness, a clock of the sound consumed (audio) and
// the A/V offset against it (video), and the file-independent half of
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

#include <atomic>
#include <chrono>
#include <functional>

#include "sinks/SoundClock.h"
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

// Video stamps measured against a sound clock as the frames are presented:
// offset = sound clock - the frame's start stamp, so a positive offset is a
// picture that trails the sound.
struct AvStats {
  LONGLONG frames = 0;             // frames measured
  REFERENCE_TIME totalOffset = 0;  // sum over them
  REFERENCE_TIME lastOffset = 0;   // of the last one
};

class SinkBase : public tp::sink::Renderer {
 public:
  // Set before streaming starts.
  void SetObserver(SampleObserver observer) { m_observer = std::move(observer); }
  // The sink renders at most one sample per this long (tests of lateness).
  void SetSlowdown(std::chrono::milliseconds delay) { m_slowdown = delay; }
  // An audio sink in real-time mode keeps a clock of the sound it has
  // consumed (PCM frames / rate), restarted at each discontinuity.
  SoundClock &Sound() { return m_sound; }
  // A video sink in real-time mode measures each frame's stamp against
  // `audio`'s sound clock when it presents the frame. Set before streaming;
  // the caller keeps `audio` alive while the graph runs.
  void MeasureAgainst(SinkBase *audio) { m_avReference = audio; }
  AvStats GetAvStats() {
    tp::sink::Guard lock(m_avLock);
    return m_av;
  }

  // IMediaFilter: the run's start time, for stream times.
  STDMETHODIMP Run(REFERENCE_TIME tStart) override;

 protected:
  SinkBase(REFCLSID clsid, LPCWSTR pinName) : Renderer(clsid, pinName) {}

  // One sample's data, on the streaming thread; a failure ends the stream
  // with EC_ERRORABORT.
  virtual HRESULT Consume(IMediaSample *pSample, const BYTE *data, LONG length) = 0;

  HRESULT RenderSample(IMediaSample *pSample) final;

 private:
  // Stream time on the graph's clock; false without a clock.
  bool StreamNow(REFERENCE_TIME *now);
  // Feeds the sound clock with an audio sample, or measures a video one.
  void Clock(IMediaSample *pSample, const SampleRecord &r);

  SampleObserver m_observer;
  std::chrono::milliseconds m_slowdown{0};
  std::chrono::steady_clock::time_point m_busyUntil{};  // streaming thread only
  std::atomic<REFERENCE_TIME> m_runStart{0};
  SoundClock m_sound;
  LONG m_soundRate = 0, m_soundBlock = 0;  // streaming thread only; 0 until read
  SinkBase *m_avReference = nullptr;
  tp::sink::CritSec m_avLock;  // a leaf; guards m_av
  AvStats m_av;
};

}  // namespace tp::sinks
