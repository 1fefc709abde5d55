// The whole graph path, as a user runs it: `tidepool convert FILE --discard
// --format YV12|RGB32` (the graph manager, the registered source filter and
// discarding renderers on both pins, no clock) on a 20 s 1280x720 H.264
// (B-frames) + AAC movie, beside `ffmpeg -threads 1 -i FILE -f null -`,
// which decodes both streams of the same file. Both sides are whole
// processes, timed from start to exit; peak resident memory from wait4. A
// table at the end gives the rate ratios (target 0.95) and the peaks
// (target: ours no more than ffmpeg's).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Corpus {
  std::string dir, movie;
  bool ok = false;
  Corpus() {
    char pattern[] = "/tmp/tp-bench-host-XXXXXX";
    if (!::mkdtemp(pattern)) return;
    dir = pattern;
    movie = dir + "/av_720p.mp4";
    const std::string make =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25:duration=20 "
        "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=20 -ac 2 -c:v libx264 -preset veryfast -bf 3 "
        "-g 50 -pix_fmt yuv420p -c:a aac " +
        Quote(movie);
    setenv("TP_REGISTRY_FILE", (dir + "/registry.reg").c_str(), 1);
    const std::string bin = TP_BIN_DIR;
    const std::string reg = Quote(bin + "/regsvr32") + " /s " + Quote(bin + "/Tidepool.ax");
    ok = std::system(make.c_str()) == 0 && std::system(reg.c_str()) == 0;
  }
  ~Corpus() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

Corpus &Files() {
  static Corpus corpus;
  return corpus;
}

struct Figures {
  double seconds = 0;
  long peakKb = 0;
};
std::map<std::string, Figures> &Results() {
  static std::map<std::string, Figures> results;
  return results;
}

// Runs a program (standard output and error to /dev/null); its wall time,
// peak resident memory and whether it exited 0.
bool RunProgram(const std::vector<std::string> &args, Figures *figures) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  const auto begin = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return false;
  figures->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  figures->peakKb = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Record(benchmark::State &state, const std::string &name, const Figures &f) {
  state.SetIterationTime(f.seconds);
  Figures &kept = Results()[name];
  kept.seconds += f.seconds;
  kept.peakKb = std::max(kept.peakKb, f.peakKb);
  state.counters["fps"] = benchmark::Counter(500, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["peak_MB"] = static_cast<double>(f.peakKb) / 1024.0;
}

void Convert(benchmark::State &state, const std::string &name, const std::string &layout) {
  Corpus &c = Files();
  if (!c.ok) return state.SkipWithError("could not make the movie or register the filter");
  for (auto _ : state) {
    Figures f;
    if (!RunProgram({std::string(TP_BIN_DIR) + "/tidepool", "convert", c.movie, "--discard", "--format", layout}, &f)) {
      return state.SkipWithError("tidepool convert failed");
    }
    Record(state, name, f);
  }
}

void Ffmpeg(benchmark::State &state) {
  Corpus &c = Files();
  if (!c.ok) return state.SkipWithError("could not make the movie or register the filter");
  for (auto _ : state) {
    Figures f;
    if (!RunProgram({"ffmpeg", "-nostdin", "-v", "error", "-threads", "1", "-i", c.movie, "-f", "null", "-"}, &f)) {
      return state.SkipWithError("ffmpeg failed");
    }
    Record(state, "ffmpeg", f);
  }
}

void PrintTable() {
  const auto &r = Results();
  const auto ff = r.find("ffmpeg");
  if (ff == r.end() || ff->second.seconds <= 0) return;
  std::printf("\n%-8s %9s %9s %7s %10s %10s\n", "layout", "ours s", "ffmpeg s", "ratio", "ours MB", "ffmpeg MB");
  for (const char *layout : {"YV12", "RGB32"}) {
    const auto ours = r.find(std::string("Convert/") + layout);
    if (ours == r.end() || ours->second.seconds <= 0) continue;
    const double ratio = ff->second.seconds / ours->second.seconds;  // both summed over the same iterations
    std::printf("%-8s %9.2f %9.2f %7.2f %10.1f %10.1f  %s, %s\n", layout, ours->second.seconds, ff->second.seconds,
                ratio, ours->second.peakKb / 1024.0, ff->second.peakKb / 1024.0,
                ratio >= 0.95 ? "rate meets 0.95" : "rate below 0.95",
                ours->second.peakKb <= ff->second.peakKb ? "memory within ffmpeg's" : "memory above ffmpeg's");
  }
}

}  // namespace

int main(int argc, char **argv) {
  for (const char *layout : {"YV12", "RGB32"}) {
    const std::string name = std::string("Convert/") + layout;
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State &s) { Convert(s, name, layout); })
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(2);
  }
  benchmark::RegisterBenchmark("Ffmpeg/both_streams/threads:1", Ffmpeg)
      ->Unit(benchmark::kMillisecond)
      ->UseManualTime()
      ->Iterations(2);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  PrintTable();
  benchmark::Shutdown();
  return 0;
}
