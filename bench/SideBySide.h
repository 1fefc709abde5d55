// What the whole-stream benchmarks share: the 20 s 1280x720 H.264 (B-frames)
// + AAC movie they play, a child process run for its wall time, CPU time
// and peak resident memory, the figures kept per run of each case, and the
// closing tables of rate ratios and peaks (target: ours no more than
// ffmpeg's): against the case named "ffmpeg" (one thread, target 0.95) and,
// where a benchmark runs them, against ffmpeg with its default threads in
// the same output layout (target 1.0).
//
// The machine may be busy: every case runs once per round, the cases of a
// round one after the other (ours and ffmpeg alternate), and the tables
// give the median of the rounds, of wall time and of CPU time (user + system,
// much less disturbed by other load). TP_BENCH_ROUNDS sets the rounds (5).
#pragma once

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sidebyside {

// The ffmpeg arguments that make the movie; the output path follows.
inline const char *const kMovieArgs =
    "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=20 "
    "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=20 -ac 2 -c:v libx264 -preset veryfast -bf 3 "
    "-g 50 -pix_fmt yuv420p -c:a aac";
inline constexpr int kMovieFrames = 500;

struct Figures {
  double seconds = 0;
  double cpuSeconds = 0;  // the child's user + system time
  long peakKb = 0;
};

// Every run of each case, in the order run.
inline std::map<std::string, std::vector<Figures>> &Results() {
  static std::map<std::string, std::vector<Figures>> results;
  return results;
}

// What a case's table row shows: medians of its runs, the highest peak.
struct Summary {
  double seconds = 0;
  double cpuSeconds = 0;
  long peakKb = 0;
  size_t runs = 0;
};

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline Summary Summarise(const std::vector<Figures> &runs) {
  Summary s;
  std::vector<double> wall, cpu;
  for (const Figures &f : runs) {
    wall.push_back(f.seconds);
    cpu.push_back(f.cpuSeconds);
    s.peakKb = std::max(s.peakKb, f.peakKb);
  }
  s.seconds = Median(wall);
  s.cpuSeconds = Median(cpu);
  s.runs = runs.size();
  return s;
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
  figures->cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  figures->peakKb = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// frames: how many the movie holds (for the fps counter).
inline void Record(benchmark::State &state, const std::string &name, const Figures &f, int frames = kMovieFrames) {
  state.SetIterationTime(f.seconds);
  Results()[name].push_back(f);
  state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["cpu_s"] = f.cpuSeconds;
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
// Ratios are ffmpeg's median over ours (above 1: ours takes less).
inline void PrintRow(const char *layout, const Summary &ours, const Summary &ff, double target) {
  const double ratio = ours.seconds > 0 ? ff.seconds / ours.seconds : 0;
  const double cpuRatio = ours.cpuSeconds > 0 ? ff.cpuSeconds / ours.cpuSeconds : 0;
  std::printf("%-6s %8.3f %8.3f %6.2f %8.3f %8.3f %6.2f %8.1f %8.1f %4zu  rate %s %.2f, %s\n", layout, ours.seconds,
              ff.seconds, ratio, ours.cpuSeconds, ff.cpuSeconds, cpuRatio, ours.peakKb / 1024.0, ff.peakKb / 1024.0,
              std::min(ours.runs, ff.runs), ratio >= target ? "meets" : "below", target,
              ours.peakKb <= ff.peakKb ? "memory within ffmpeg's" : "memory above ffmpeg's");
}

inline void PrintHeader() {
  std::printf("%-6s %8s %8s %6s %8s %8s %6s %8s %8s %4s\n", "layout", "ours s", "ff s", "ratio", "ours cpu", "ff cpu",
              "ratio", "ours MB", "ff MB", "runs");
}

inline void PrintTable(const std::string &prefix) {
  const auto &r = Results();
  bool threaded = false;
  for (const char *layout : {"YV12", "RGB32"}) threaded = threaded || r.count(std::string("ffmpeg ") + layout) != 0;
  std::printf("\nMedians over the rounds: wall seconds, CPU seconds (user + system), peak resident MB\n");
  if (threaded) {
    std::printf("\nAgainst ffmpeg with its default threads, same output layout (target: ratio 1.0, memory no more)\n");
    PrintHeader();
    for (const char *layout : {"YV12", "RGB32"}) {
      const auto ours = r.find(prefix + layout);
      const auto ff = r.find(std::string("ffmpeg ") + layout);
      if (ours == r.end() || ff == r.end()) continue;
      PrintRow(layout, Summarise(ours->second), Summarise(ff->second), 1.0);
    }
  }
  const auto ff = r.find("ffmpeg");
  if (ff == r.end()) return;
  std::printf("\nAgainst ffmpeg -threads 1\n");
  PrintHeader();
  for (const char *layout : {"YV12", "RGB32"}) {
    const auto ours = r.find(prefix + layout);
    if (ours == r.end()) continue;
    PrintRow(layout, Summarise(ours->second), Summarise(ff->second), 0.95);
  }
}

inline int Rounds() {
  const char *v = std::getenv("TP_BENCH_ROUNDS");
  const int n = v != nullptr ? std::atoi(v) : 5;
  return std::clamp(n, 1, 100);
}

using OurCase = std::function<void(benchmark::State &, const std::string &name, const std::string &layout)>;

// The whole program: per round, our case in each layout (named prefix +
// layout), ffmpeg's and, with `threaded`, ffmpeg with its default threads
// in each layout, one run each on manual time; then the table.
inline int Main(int argc, char **argv, const std::string &prefix, const OurCase &ours,
                const std::function<void(benchmark::State &)> &ffmpeg,
                const std::function<void(benchmark::State &, const std::string &layout)> &threaded = nullptr) {
  const int rounds = Rounds();
  for (int round = 1; round <= rounds; ++round) {
    const std::string suffix = "/round:" + std::to_string(round);
    for (const char *layout : {"YV12", "RGB32"}) {
      const std::string name = prefix + layout;
      benchmark::RegisterBenchmark((name + suffix).c_str(), [=](benchmark::State &s) { ours(s, name, layout); })
          ->Unit(benchmark::kMillisecond)
          ->UseManualTime()
          ->Iterations(1);
      if (threaded) {
        const std::string ffName = std::string("Ffmpeg/both_streams/default_threads/") + layout + suffix;
        benchmark::RegisterBenchmark(ffName.c_str(), [=](benchmark::State &s) { threaded(s, layout); })
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(1);
      }
    }
    benchmark::RegisterBenchmark(("Ffmpeg/both_streams/threads:1" + suffix).c_str(), ffmpeg)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(1);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  PrintTable(prefix);
  benchmark::Shutdown();
  return 0;
}

}  // namespace sidebyside
