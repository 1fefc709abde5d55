// tidepool convert: the movie's pins into the host's sinks, run by the graph
// manager as fast as the filters go, with a progress bar and a clean stop on
// Ctrl-C.
#include <windows.h>
#include <dshow.h>
#include <evcode.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>

#include "GraphHost.h"
#include "GraphRun.h"
#include "HostCommands.h"
#include "Progress.h"
#include "SourceDescription.h"
#include "sinks/DiscardRenderer.h"
#include "sinks/SrtWriter.h"
#include "sinks/VideoWriter.h"
#include "sinks/WavWriter.h"

namespace tidepool {
namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void OnInterrupt(int) { g_interrupted = true; }

constexpr REFERENCE_TIME kSecond = 10000000;
// How long each sink takes over a sample when a seek is to be made while
// the graph runs.
constexpr std::chrono::milliseconds kSeekSlowdown{20};

// Releases a sink when it goes.
template <class T>
struct Held {
  T *p = nullptr;
  ~Held() {
    if (p) p->Release();
  }
};

// Writes one line per delivered sample, from both streaming threads.
class TimesLog {
 public:
  bool Open(const std::string &path) {
    // Binary: the same "\n" line ends on every system.
    m_file.open(std::filesystem::u8path(path), std::ios::binary | std::ios::out | std::ios::trunc);
    return static_cast<bool>(m_file);
  }
  bool IsOpen() const { return m_file.is_open(); }
  void Write(const char *pin, const tp::sinks::SampleRecord &r) {
    char line[128];
    std::snprintf(line, sizeof line, "%s %lld %lld %d %d\n", pin, static_cast<long long>(r.start),
                  static_cast<long long>(r.stop), r.sync ? 1 : 0, r.discontinuity ? 1 : 0);
    tp::sink::Guard lock(m_lock);
    m_file << line;
  }

 private:
  tp::sink::CritSec m_lock;
  std::ofstream m_file;
};

// A seek made while the graph runs: once `streaming` says that every sink
// has rendered a sample, the graph is moved to `to` seconds.
struct RunningSeek {
  double to = -1;  // negative: none
  std::function<bool()> streaming;
};

// Runs the graph to its end, an error or an interrupt, drawing progress
// from the furthest stop time delivered. 0, 1 or 130.
int RunGraph(GraphHost &host, std::atomic<LONGLONG> &reached, double startSeconds, double rate, double duration,
             const RunningSeek &seek = {}) {
  std::signal(SIGINT, OnInterrupt);
  host.DrainEvents();
  HRESULT hr = host.Control()->Run();
  if (FAILED(hr)) {
    std::cerr << "tidepool: the graph does not run: " << GraphHost::Describe(hr) << "\n";
    return 1;
  }
  Progress progress(duration);
  bool seekPending = seek.to >= 0;
  LONG code = 0;
  HRESULT failure = S_OK;
  int status = 0;
  for (;;) {
    code = host.WaitForEnd(seekPending ? 5 : 100, &failure);
    progress.Update(startSeconds + reached.load() / 1e7 * rate);
    if (code != 0) break;
    if (g_interrupted) {
      status = 130;
      break;
    }
    if (seekPending && seek.streaming()) {
      seekPending = false;
      LONGLONG to = std::llround(seek.to * kSecond);
      hr = host.Seeking()->SetPositions(&to, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
      if (FAILED(hr)) {
        std::cerr << "tidepool: cannot seek while running: " << GraphHost::Describe(hr) << "\n";
        status = 1;
        break;
      }
    }
  }
  host.Control()->Stop();
  if (status == 0 && code == EC_ERRORABORT) {
    // A stream failed (a read of the movie, most often): where it stopped
    // and why, never a run that looks whole.
    char at[32];
    std::snprintf(at, sizeof at, "%.3f", startSeconds + reached.load() / 1e7 * rate);
    std::cerr << "tidepool: playback stopped at " << at << " s: " << GraphHost::Describe(failure) << "\n";
    status = 1;
  } else if (status == 0 && code != EC_COMPLETE) {
    std::cerr << "tidepool: playback failed (event " << code << ")\n";
    status = 1;
  } else if (status == 0 && seekPending) {
    std::cerr << "tidepool: the streams ended before the seek could be made\n";
    status = 1;
  }
  return status;
}

}  // namespace

void InstallInterruptHandler() { std::signal(SIGINT, OnInterrupt); }
bool Interrupted() { return g_interrupted; }

int RunGraphToEnd(GraphHost &host, std::atomic<LONGLONG> &reached, double duration) {
  return RunGraph(host, reached, 0, 1, duration);
}

int RunConvert(const ConvertOptions &o) {
  if (o.rate <= 0 || o.start < 0 || (o.stop >= 0 && o.stop < o.start)) {
    std::cerr << "tidepool: --start, --stop and --rate must give a forward range at a positive rate\n";
    return 2;
  }
  GUID subtype = GUID_NULL;
  if (!o.format.empty() && !GraphHost::SubtypeFromName(o.format, &subtype)) {
    std::cerr << "tidepool: unknown video format " << o.format << "\n";
    return 2;
  }
  ComScope com;
  GraphHost host;
  if (!com.ok() || !host.Open(o.file)) {
    std::cerr << "tidepool: " << (com.ok() ? host.Error() : "COM cannot start") << "\n";
    return 1;
  }
  // The sound track is chosen before anything is connected, so the pin
  // offers the chosen track's type from the start.
  if (std::string why; o.audioStream >= 0 && !SelectSoundStream(host.Source(), o.audioStream, &why)) {
    std::cerr << "tidepool: " << why << "\n";
    return 1;
  }
  TimesLog times;
  if (!o.times.empty() && !times.Open(o.times)) {
    std::cerr << "tidepool: cannot write " << o.times << "\n";
    return 1;
  }
  std::atomic<LONGLONG> reached{0};
  // Samples rendered by each sink, in the order the sinks are made.
  std::atomic<long long> rendered[4] = {};
  int sinks = 0;
  // Each sink logs its samples' times; for a seek while running, each is
  // slowed so that the streams are still flowing when the seek is made.
  auto observe = [&](tp::sinks::SinkBase *sink, const char *pin) {
    std::atomic<long long> *count = &rendered[sinks++];
    sink->SetObserver([&times, &reached, pin, count](const tp::sinks::SampleRecord &r) {
      ++*count;
      if (times.IsOpen()) times.Write(pin, r);
      LONGLONG seen = reached.load();
      while (r.hasTime && r.stop > seen && !reached.compare_exchange_weak(seen, r.stop)) {
      }
    });
    if (o.seekRunning >= 0) sink->SetSlowdown(kSeekSlowdown);
  };
  Held<tp::sinks::VideoWriter> video;
  Held<tp::sinks::WavWriter> audio;
  int videoSink = -1, audioSink = -1;  // their counters in rendered[]
  if (!o.video.empty()) {
    OutputPin *pin = host.Pin("Video");
    if (!pin) {
      const std::string why = host.MissingDecoderText("video");
      std::cerr << "tidepool: " << o.file << ": " << (why.empty() ? "no video track" : why) << "\n";
      return 1;
    }
    const bool y4m = std::filesystem::u8path(o.video).extension() == ".y4m";
    HRESULT hr = S_OK;
    video.p = tp::sinks::VideoWriter::Create(
        std::filesystem::u8path(o.video),
        y4m ? tp::sinks::VideoWriter::Container::Auto : tp::sinks::VideoWriter::Container::Raw, &hr);
    if (!video.p) {
      std::cerr << "tidepool: cannot write " << o.video << "\n";
      return 1;
    }
    videoSink = sinks;
    observe(video.p, "Video");
    if (!host.Connect(*pin, video.p, subtype)) {
      std::cerr << "tidepool: " << host.Error() << "\n";
      return 1;
    }
    if (y4m && !video.p->WritesY4m()) {
      std::cerr << "tidepool: a .y4m file needs a YUV format (YV12, I420 or YUY2)\n";
      return 1;
    }
  }
  if (!o.audio.empty()) {
    OutputPin *pin = host.Pin("Audio");
    if (!pin) {
      const std::string why = host.MissingDecoderText("audio");
      std::cerr << "tidepool: " << o.file << ": " << (why.empty() ? "no sound track" : why) << "\n";
      return 1;
    }
    HRESULT hr = S_OK;
    audio.p = tp::sinks::WavWriter::Create(std::filesystem::u8path(o.audio), &hr);
    if (!audio.p) {
      std::cerr << "tidepool: cannot write " << o.audio << "\n";
      return 1;
    }
    audioSink = sinks;
    observe(audio.p, "Audio");
    if (!host.Connect(*pin, audio.p, GUID_NULL)) {
      std::cerr << "tidepool: " << host.Error() << "\n";
      return 1;
    }
  }
  Held<tp::sinks::SrtWriter> subtitles;
  if (!o.subtitles.empty()) {
    OutputPin *pin = host.Pin("Subtitle");
    if (!pin) {
      std::cerr << "tidepool: " << o.file << ": no subtitle stream\n";
      return 1;
    }
    HRESULT hr = S_OK;
    subtitles.p = tp::sinks::SrtWriter::Create(std::filesystem::u8path(o.subtitles), &hr);
    if (!subtitles.p) {
      std::cerr << "tidepool: cannot write " << o.subtitles << "\n";
      return 1;
    }
    observe(subtitles.p, "Subtitle");
    if (!host.Connect(*pin, subtitles.p, GUID_NULL)) {
      std::cerr << "tidepool: " << host.Error() << "\n";
      return 1;
    }
  }
  // --discard: every pin a file is not asked for runs into a discarding
  // renderer (the video in --format), for timing the graph alone.
  Held<tp::sinks::DiscardRenderer> discarded[2];
  if (o.discard) {
    int n = 0;
    for (OutputPin &pin : host.Pins()) {
      const bool isVideo = pin.name == "Video";
      if (!isVideo && pin.name != "Audio") continue;
      if ((isVideo && video.p) || (!isVideo && audio.p) || n == 2) continue;
      Held<tp::sinks::DiscardRenderer> &sink = discarded[n++];
      sink.p = tp::sinks::DiscardRenderer::Create(GUID_NULL);
      observe(sink.p, isVideo ? "Video" : "Audio");
      if (!host.Connect(pin, sink.p, isVideo ? subtype : GUID_NULL)) {
        std::cerr << "tidepool: " << host.Error() << "\n";
        return 1;
      }
    }
  }
  if (!video.p && !audio.p && !subtitles.p && !discarded[0].p) {
    std::cerr << "tidepool: nothing to convert: give --video, --audio, --subtitles or --discard\n";
    return 2;
  }
  host.RunWithoutClock();
  IMediaSeeking *seeking = host.Seeking();
  if (o.rate != 1 && FAILED(host.SetRate(o.rate))) {
    std::cerr << "tidepool: the movie cannot play at rate " << o.rate << "\n";
    return 1;
  }
  LONGLONG duration = 0;
  seeking->GetDuration(&duration);
  LONGLONG start = std::llround(o.start * kSecond), stop = std::llround(o.stop * kSecond);
  if (o.start > 0 || o.stop >= 0) {
    const HRESULT hr = seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                                             o.stop >= 0 ? AM_SEEKING_AbsolutePositioning : AM_SEEKING_NoPositioning);
    if (FAILED(hr)) {
      std::cerr << "tidepool: cannot seek: " << GraphHost::Describe(hr) << "\n";
      return 1;
    }
  }
  if (o.seekPaused >= 0) {
    // Paused, each sink holds the first sample it was given; the seek
    // flushes them, and the run starts from the new position.
    OAFilterState state = State_Stopped;
    HRESULT hr = host.Control()->Pause();
    if (SUCCEEDED(hr)) hr = host.Control()->GetState(10000, &state);
    if (hr != S_OK || state != State_Paused) {
      host.Control()->Stop();
      std::cerr << "tidepool: the graph does not pause: " << GraphHost::Describe(hr) << "\n";
      return 1;
    }
    LONGLONG to = std::llround(o.seekPaused * kSecond);
    hr = seeking->SetPositions(&to, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
    if (FAILED(hr)) {
      host.Control()->Stop();
      std::cerr << "tidepool: cannot seek while paused: " << GraphHost::Describe(hr) << "\n";
      return 1;
    }
  }
  const double end = o.stop >= 0 ? std::min(o.stop, duration / 1e7) : duration / 1e7;
  RunningSeek seek;
  if (o.seekRunning >= 0) {
    seek.to = o.seekRunning;
    seek.streaming = [&rendered, sinks] {
      for (int i = 0; i < sinks; ++i) {
        if (rendered[i].load() == 0) return false;
      }
      return true;
    };
  }
  const int status = RunGraph(host, reached, o.start, o.rate, end, seek);
  if (status != 0) return status;
  // A stream asked for that delivered nothing is a failure, never an empty
  // file and success.
  for (const auto &[index, what] : {std::pair{videoSink, "video"}, std::pair{audioSink, "sound"}}) {
    if (index >= 0 && rendered[index].load() == 0) {
      std::cerr << "tidepool: " << o.file << ": the " << what << " track delivered nothing\n";
      return 1;
    }
  }
  return 0;
}

}  // namespace tidepool
