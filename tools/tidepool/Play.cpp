// tidepool play: on a display, a window with the picture and the sound on
// the default device (PlayWindow.cpp); without one, or with --null, every
// pin into a discarding renderer in real time on the system clock. Either
// way the same status line at the end.
#include <windows.h>
#include <dshow.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>

#include "GraphHost.h"
#include "GraphRun.h"
#include "HostCommands.h"
#include "sinks/DiscardRenderer.h"

namespace tidepool {
namespace {

// Releases a sink when it goes.
template <class T>
struct Held {
  T *p = nullptr;
  ~Held() {
    if (p) p->Release();
  }
};

int PlayIntoDiscardingRenderers(const PlayOptions &o) {
  ComScope com;
  GraphHost host;
  if (!com.ok() || !host.Open(o.file)) {
    std::cerr << "tidepool: " << (com.ok() ? host.Error() : "COM cannot start") << "\n";
    return 1;
  }
  std::atomic<LONGLONG> reached{0};
  Held<tp::sinks::DiscardRenderer> video, audio;
  for (OutputPin &pin : host.Pins()) {
    const bool isVideo = pin.name == "Video";
    if (!isVideo && pin.name != "Audio") continue;
    Held<tp::sinks::DiscardRenderer> &sink = isVideo ? video : audio;
    if (sink.p) continue;
    sink.p = tp::sinks::DiscardRenderer::Create(GUID_NULL);
    sink.p->SetRealTime(true);
    if (isVideo && o.slowVideoMs > 0) sink.p->SetSlowdown(std::chrono::milliseconds(o.slowVideoMs));
    sink.p->SetObserver([&reached](const tp::sinks::SampleRecord &r) {
      LONGLONG seen = reached.load();
      while (r.hasTime && r.stop > seen && !reached.compare_exchange_weak(seen, r.stop)) {
      }
    });
    if (!host.Connect(pin, sink.p, GUID_NULL)) {
      std::cerr << "tidepool: " << host.Error() << "\n";
      return 1;
    }
  }
  // The sound's renderer keeps the time the pictures are measured against.
  if (video.p && audio.p) video.p->MeasureAgainst(audio.p);
  LONGLONG duration = 0;
  host.Seeking()->GetDuration(&duration);
  const auto begin = std::chrono::steady_clock::now();
  const int status = RunGraphToEnd(host, reached, duration / 1e7);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  if (status == 1) return status;
  std::printf("played %.3f s of %.3f s in %.3f s\n", reached.load() / 1e7, duration / 1e7, wall);
  if (video.p) {
    const auto s = video.p->GetStats();
    std::printf("video: %lld frames rendered, %lld late, %lld dropped, worst %.1f ms late\n",
                static_cast<long long>(s.rendered), static_cast<long long>(s.late), static_cast<long long>(s.dropped),
                s.maxLateness / 1e4);
  }
  if (audio.p) {
    const auto s = audio.p->GetStats();
    std::printf("audio: %lld buffers rendered, %lld late, worst %.1f ms late\n", static_cast<long long>(s.rendered),
                static_cast<long long>(s.late), s.maxLateness / 1e4);
  }
  if (video.p && audio.p) {
    // How far the pictures trailed the sound on average, as presented: the
    // sound's clock (the sound consumed) at each frame's presentation, minus
    // the frame's stamp.
    const auto av = video.p->GetAvStats();
    const double mean = av.frames ? av.totalOffset / 1e4 / av.frames : 0;
    std::printf("A/V offset: %.1f ms (last frame %.1f ms)\n", mean, av.lastOffset / 1e4);
  }
  return status;
}

}  // namespace

int RunPlay(const PlayOptions &o) {
  if (!o.null) {
    const int status = PlayInWindow(o);
    if (status >= 0) return status;
  }
  return PlayIntoDiscardingRenderers(o);
}

}  // namespace tidepool
