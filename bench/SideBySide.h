// What the whole-stream benchmarks share: the 20 s 1280x720 H.264 (B-frames)
// + AAC movie they play, a child process run for its wall time and peak
// resident memory, the figures kept per case, and the closing tables of
// rate ratios and peaks (target: ours no more than ffmpeg's): against the
// case named "ffmpeg" (one thread, target 0.95) and, where a benchmark runs
// them, against ffmpeg with its default threads in the same output layout
// (target 1.0).
#pragma once

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>

namespace sidebyside {

// The ffmpeg arguments that make the movie; the output path follows.
inline const char *const kMovieArgs =
    "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=20 "
    "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=20 -ac 2 -c:v libx264 -preset veryfast -bf 3 "
    "-g 50 -pix_fmt yuv420p -c:a aac";
inline constexpr int kMovieFrames = 500;

struct Figures {
  double seconds = 0;
  long peakKb = 0;
};

inline std::map<std::string, Figures> &Results() {
  static std::map<std::string, Figures> results;
  return results;
}

// Runs fn(reportFd) in a child process. The wall time is what the child
// writes to reportFd as a double, or else measured here from fork to exit;
// the peak resident memory comes from wait4. True when the child exited 0.
template <typename Fn>
bool RunChild(Fn fn, Figures *figures) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const auto begin = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    _exit(fn(fds[1]));
  }
  close(fds[1]);
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
    close(fds[0]);
    return false;
  }
  const double measured = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  double reported = 0;
  const bool got = read(fds[0], &reported, sizeof reported) == sizeof reported;
  close(fds[0]);
  figures->seconds = got ? reported : measured;
  figures->peakKb = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline void Record(benchmark::State &state, const std::string &name, const Figures &f) {
  state.SetIterationTime(f.seconds);
  Figures &kept = Results()[name];
  kept.seconds += f.seconds;
  kept.peakKb = std::max(kept.peakKb, f.peakKb);
  state.counters["fps"] = benchmark::Counter(kMovieFrames, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["peak_MB"] = static_cast<double>(f.peakKb) / 1024.0;
}

// The reference: ffmpeg decoding both streams of the movie on one thread
// into the null muxer, recorded as "ffmpeg".
inline void RunFfmpeg(benchmark::State &state, const std::string &movie) {
  for (auto _ : state) {
    Figures f;
    const bool ok = RunChild(
        [&](int) {
          if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) return 126;
          execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "error", "-threads", "1", "-i", movie.c_str(), "-f", "null", "-",
                 static_cast<char *>(nullptr));
          return 127;
        },
        &f);
    if (!ok) return state.SkipWithError("ffmpeg failed");
    Record(state, "ffmpeg", f);
  }
}

// ffmpeg with its default threads, both streams, its video converted to
// the same layout as ours ("YV12": the movie's own yuv420p; "RGB32": bgra),
// recorded as "ffmpeg " + layout.
inline void RunFfmpegThreaded(benchmark::State &state, const std::string &movie, const std::string &layout) {
  const char *format = layout == "RGB32" ? "bgra" : "yuv420p";
  for (auto _ : state) {
    Figures f;
    const bool ok = RunChild(
        [&](int) {
          if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) return 126;
          execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "error", "-i", movie.c_str(), "-pix_fmt", format, "-f", "null",
                 "-", static_cast<char *>(nullptr));
          return 127;
        },
        &f);
    if (!ok) return state.SkipWithError("ffmpeg failed");
    Record(state, "ffmpeg " + layout, f);
  }
}

// One row per layout: the case named prefix + layout against "ffmpeg", and
// when ffmpeg also ran with its own threads, against "ffmpeg " + layout.
inline void PrintTable(const std::string &prefix) {
  const auto &r = Results();
  bool threaded = false;
  for (const char *layout : {"YV12", "RGB32"}) threaded = threaded || r.count(std::string("ffmpeg ") + layout) != 0;
  if (threaded) {
    std::printf("\nAgainst ffmpeg with its default threads, same output layout (target: ratio 1.0, memory no more)\n");
    std::printf("%-8s %9s %9s %7s %10s %10s\n", "layout", "ours s", "ffmpeg s", "ratio", "ours MB", "ffmpeg MB");
    for (const char *layout : {"YV12", "RGB32"}) {
      const auto ours = r.find(prefix + layout);
      const auto ff = r.find(std::string("ffmpeg ") + layout);
      if (ours == r.end() || ff == r.end() || ours->second.seconds <= 0) continue;
      const double ratio = ff->second.seconds / ours->second.seconds;
      std::printf("%-8s %9.2f %9.2f %7.2f %10.1f %10.1f  %s, %s\n", layout, ours->second.seconds, ff->second.seconds,
                  ratio, ours->second.peakKb / 1024.0, ff->second.peakKb / 1024.0,
                  ratio >= 1.0 ? "rate meets 1.0" : "rate below 1.0",
                  ours->second.peakKb <= ff->second.peakKb ? "memory within ffmpeg's" : "memory above ffmpeg's");
    }
  }
  const auto ff = r.find("ffmpeg");
  if (ff == r.end() || ff->second.seconds <= 0) return;
  std::printf("\nAgainst ffmpeg -threads 1\n");
  std::printf("%-8s %9s %9s %7s %10s %10s\n", "layout", "ours s", "ffmpeg s", "ratio", "ours MB", "ffmpeg MB");
  for (const char *layout : {"YV12", "RGB32"}) {
    const auto ours = r.find(prefix + layout);
    if (ours == r.end() || ours->second.seconds <= 0) continue;
    const double ratio = ff->second.seconds / ours->second.seconds;  // both summed over the same iterations
    std::printf("%-8s %9.2f %9.2f %7.2f %10.1f %10.1f  %s, %s\n", layout, ours->second.seconds, ff->second.seconds,
                ratio, ours->second.peakKb / 1024.0, ff->second.peakKb / 1024.0,
                ratio >= 0.95 ? "rate meets 0.95" : "rate below 0.95",
                ours->second.peakKb <= ff->second.peakKb ? "memory within ffmpeg's" : "memory above ffmpeg's");
  }
}

using OurCase = std::function<void(benchmark::State &, const std::string &name, const std::string &layout)>;

// The whole program: our case in each layout (named prefix + layout) and
// ffmpeg's, two iterations each on manual time, then the table.
// With `threaded`, ffmpeg with its default threads in each layout too.
inline int Main(int argc, char **argv, const std::string &prefix, const OurCase &ours,
                const std::function<void(benchmark::State &)> &ffmpeg,
                const std::function<void(benchmark::State &, const std::string &layout)> &threaded = nullptr) {
  for (const char *layout : {"YV12", "RGB32"}) {
    const std::string name = prefix + layout;
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State &s) { ours(s, name, layout); })
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(2);
  }
  benchmark::RegisterBenchmark("Ffmpeg/both_streams/threads:1", ffmpeg)
      ->Unit(benchmark::kMillisecond)
      ->UseManualTime()
      ->Iterations(2);
  if (threaded) {
    for (const char *layout : {"YV12", "RGB32"}) {
      const std::string name = std::string("Ffmpeg/both_streams/default_threads/") + layout;
      benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State &s) { threaded(s, layout); })
          ->Unit(benchmark::kMillisecond)
          ->UseManualTime()
          ->Iterations(2);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  PrintTable(prefix);
  benchmark::Shutdown();
  return 0;
}

}  // namespace sidebyside
