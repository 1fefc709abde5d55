// N filters at once in one process: N = 1, 4, 16, 64 CTidepool filters, each
// with a 2 s H.264 (B-frames) + AAC movie loaded and both pins streaming into
// discarding peers (standard allocator, no clock), all started together, at
// 640x360 and at 1920x1080. Each N runs in a child process of its own; a
// sampler thread there reads the process's resident memory and thread count
// every 5 ms. Per N: the wall time from the first Load to the last end of
// stream, the peak resident memory (VmHWM) and the peak thread count, and
// per filter the peaks less what the child held before its first filter,
// over N. The reference, run the same way: ffmpeg -threads 1 decoding the
// same movie (its peak memory, one process per movie).
//
// TP_BENCH_MAX_FILTERS caps N (default 64) on a machine with little memory.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>
#include <windows.h>

#include <uuids.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "SideBySide.h"
#include "filter/CTidepool.h"
#include "filter/CVideoSourceStream.h"
#include "peers/TestInputPin.h"
#include "BenchRuntime.h"

namespace {

constexpr int kFrames = 50;  // 2 s at 25 frames per second
const int kCounts[] = {1, 4, 16, 64};

struct FrameSize {
  const char *name;
  int width, height;
};
const FrameSize kSizes[] = {{"640x360", 640, 360}, {"1920x1080", 1920, 1080}};

using bench::Wide;

struct Corpus {
  std::string dir;
  std::map<std::string, std::string> movies;  // by size name
  Corpus() {
    char pattern[] = "/tmp/tp-bench-many-XXXXXX";
    if (!::mkdtemp(pattern)) return;
    dir = pattern;
    for (const FrameSize &s : kSizes) {
      const std::string movie = dir + "/av_" + s.name + ".mp4";
      const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + std::string(s.name) +
                                  ":rate=25:duration=2 -f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 "
                                  "-ac 2 -c:v libx264 -preset veryfast -bf 3 -g 25 -pix_fmt yuv420p -c:a aac " +
                                  movie;
      if (std::system(command.c_str()) == 0) movies[s.name] = movie;
    }
    bench::UseOwnRegistry(dir);
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

// A field of /proc/self/status, in its own unit (kB, or a count).
long StatusField(const char *name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(name);
  while (std::getline(status, line)) {
    if (line.compare(0, n, name) == 0 && line.size() > n && line[n] == ':') return std::atol(line.c_str() + n + 1);
  }
  return 0;
}

// What a child reports through its pipe.
struct Report {
  double seconds = 0;
  long baseKb = 0, peakKb = 0;
  long baseThreads = 0, peakThreads = 0;
};

// The child's side: n filters on the movie, streamed at once. 0 when every
// video peer got every frame.
int ManyInChild(const std::string &movie, int n, int reportFd) {
  using tp::test::TestInputPin;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  Report report;
  report.baseKb = StatusField("VmRSS");
  report.baseThreads = StatusField("Threads");
  std::atomic<bool> sampling{true};
  std::atomic<long> peakThreads{0};
  std::thread sampler([&] {
    while (sampling.load()) {
      // Less the sampler itself.
      peakThreads.store(std::max(peakThreads.load(), StatusField("Threads") - 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  struct One {
    CTidepool *filter = nullptr;
    TestInputPin *peers[2] = {};
  };
  std::vector<One> all(static_cast<size_t>(n));
  int status = 0;
  const auto begin = std::chrono::steady_clock::now();
  for (One &one : all) {
    HRESULT hr = E_FAIL;
    one.filter = static_cast<CTidepool *>(CTidepool::CreateInstance(nullptr, &hr));
    one.filter->NonDelegatingAddRef();
    if (one.filter->Load(Wide(movie).c_str(), nullptr) != S_OK || one.filter->GetPinCount() != 2) {
      status = 2;
      break;
    }
    for (TestInputPin *&p : one.peers) {
      p = new TestInputPin;
      p->allocatorMode = TestInputPin::AllocatorMode::None;
      p->discard = true;
    }
    auto *video = static_cast<CVideoSourceStream *>(one.filter->GetPin(0));
    CMediaType mt;
    for (int i = 0; video->GetMediaType(i, &mt) == S_OK; ++i) {
      if (IsEqualGUID(*mt.Subtype(), MEDIASUBTYPE_YV12)) break;
    }
    if (video->Connect(one.peers[0], &mt) != S_OK || one.filter->GetPin(1)->Connect(one.peers[1], nullptr) != S_OK) {
      status = 3;
      break;
    }
  }
  for (One &one : all) {
    if (status == 0 && one.filter->Run(0) != S_OK) status = 4;
  }
  for (One &one : all) {
    for (TestInputPin *p : one.peers) {
      if (status == 0 && !p->WaitForEndOfStream(1, std::chrono::minutes(10))) status = 5;
    }
  }
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  sampling.store(false);
  sampler.join();
  report.peakKb = StatusField("VmHWM");
  report.peakThreads = peakThreads.load();
  for (One &one : all) {
    if (status == 0 && one.peers[0]->DiscardedCount() != static_cast<size_t>(kFrames)) status = 7;
    if (one.filter) {
      one.filter->Stop();
      for (int i = 0; i < one.filter->GetPinCount(); ++i) one.filter->GetPin(i)->Disconnect();
    }
    for (TestInputPin *p : one.peers) {
      if (!p) continue;
      p->Disconnect();
      p->Release();
    }
    if (one.filter) one.filter->NonDelegatingRelease();
  }
  if (write(reportFd, &report, sizeof report) != sizeof report) return 6;
  return status;
}

struct Row {
  Report report;
  long ffmpegKb = 0;
};
std::map<std::pair<std::string, int>, Row> &Rows() {
  static std::map<std::pair<std::string, int>, Row> rows;
  return rows;
}

// Runs fn in a child; what it writes to its pipe comes back in *report.
template <typename Fn>
bool RunReporting(Fn fn, Report *report) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    _exit(fn(fds[1]));
  }
  close(fds[1]);
  int status = 0;
  const bool waited = pid > 0 && waitpid(pid, &status, 0) == pid;
  const bool got = read(fds[0], report, sizeof *report) == sizeof *report;
  close(fds[0]);
  return waited && got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Many(benchmark::State &state, const FrameSize &size, int n) {
  Corpus &c = Files();
  const auto movie = c.movies.find(size.name);
  if (movie == c.movies.end()) return state.SkipWithError("could not make the movie");
  for (auto _ : state) {
    Report r;
    if (!RunReporting([&](int fd) { return ManyInChild(movie->second, n, fd); }, &r)) {
      return state.SkipWithError("the filters did not stream every frame");
    }
    state.SetIterationTime(r.seconds);
    Row &row = Rows()[{size.name, n}];
    row.report = r;
    state.counters["peak_MB"] = r.peakKb / 1024.0;
    state.counters["peak_threads"] = static_cast<double>(r.peakThreads);
    state.counters["MB_per_filter"] = (r.peakKb - r.baseKb) / 1024.0 / n;
    state.counters["threads_per_filter"] = static_cast<double>(r.peakThreads - r.baseThreads) / n;
  }
}

void Ffmpeg(benchmark::State &state, const FrameSize &size) {
  Corpus &c = Files();
  const auto movie = c.movies.find(size.name);
  if (movie == c.movies.end()) return state.SkipWithError("could not make the movie");
  for (auto _ : state) {
    sidebyside::Figures f;
    const bool ok = sidebyside::RunChild(
        [&](int) {
          if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) return 126;
          execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "error", "-threads", "1", "-i", movie->second.c_str(), "-f",
                 "null", "-", static_cast<char *>(nullptr));
          return 127;
        },
        &f);
    if (!ok) return state.SkipWithError("ffmpeg failed");
    state.SetIterationTime(f.seconds);
    Rows()[{size.name, 0}].ffmpegKb = f.peakKb;
    state.counters["peak_MB"] = f.peakKb / 1024.0;
  }
}

int MaxFilters() {
  const char *v = std::getenv("TP_BENCH_MAX_FILTERS");
  return v != nullptr && std::atoi(v) > 0 ? std::atoi(v) : 64;
}

}  // namespace

int main(int argc, char **argv) {
  for (const FrameSize &size : kSizes) {
    benchmark::RegisterBenchmark((std::string("ffmpeg/") + size.name).c_str(),
                                 [&size](benchmark::State &s) { Ffmpeg(s, size); })
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(1);
    for (int n : kCounts) {
      if (n > MaxFilters()) continue;
      benchmark::RegisterBenchmark(("ManyFilters/" + std::string(size.name) + "/" + std::to_string(n)).c_str(),
                                   [&size, n](benchmark::State &s) { Many(s, size, n); })
          ->Unit(benchmark::kMillisecond)
          ->UseManualTime()
          ->Iterations(1);
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\nN filters at once, each streaming both pins of a 2 s movie (%d frames) with no clock\n", kFrames);
  std::printf("%-10s %4s %8s %9s %8s %12s %12s %12s\n", "size", "N", "wall s", "peak MB", "threads", "MB/filter",
              "threads/flt", "ffmpeg MB");
  for (const FrameSize &size : kSizes) {
    const long ff = Rows()[{size.name, 0}].ffmpegKb;
    for (int n : kCounts) {
      const auto it = Rows().find({size.name, n});
      if (it == Rows().end() || it->second.report.seconds <= 0) continue;
      const Report &r = it->second.report;
      std::printf("%-10s %4d %8.2f %9.1f %8ld %12.1f %12.2f %12.1f\n", size.name, n, r.seconds, r.peakKb / 1024.0,
                  r.peakThreads, (r.peakKb - r.baseKb) / 1024.0 / n,
                  static_cast<double>(r.peakThreads - r.baseThreads) / n, ff / 1024.0);
    }
  }
  return 0;
}
