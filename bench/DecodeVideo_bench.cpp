// Frames per second of the video track (GetNextSample from the first frame
// to the last) beside `ffmpeg -threads N -i FILE -pix_fmt P -f null -` on the
// same 20 s 1280x720 H.264 movie with B-frames, for N = 1 and 2, in YV12
// (ffmpeg: yuv420p) and RGB32 (ffmpeg: bgra). The runtime's decoder takes
// its thread count from TP_DECODE_THREADS. The movie is made once per run.
// fps is frames per second of wall time; fps_cpu per second of CPU time (all
// threads of this process for the track, ffmpeg's own for ffmpeg), which a
// busy machine disturbs less.
//
// Our decoder runs inside each GetNextSample call and hands back that call's
// picture, so its extra threads can only share out the slices of a picture.
// ffmpeg's -threads N decodes N pictures at once instead; with 2 threads the
// run also times ffmpeg held to slice threads (-thread_type slice), the same
// kind of threading ours can use. A table at the end gives each ratio.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#include <windows.h>

#include <uuids.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/CQTAVExtraction.h"
#include "engine/CQTVideoExtraction.h"
#include "engine/QuickTimeBinding.h"
#include "BenchRuntime.h"

namespace {

using bench::Wide;

struct Corpus {
  std::string dir, movie;
  bool ok = false;
  Corpus() {
    char pattern[] = "/tmp/tp-bench-decode-XXXXXX";
    if (!::mkdtemp(pattern)) return;
    dir = pattern;
    movie = dir + "/avc_720p_b.mp4";
    const std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -t 20 -c:v libx264 -preset veryfast "
        "-bf 3 -g 50 -pix_fmt yuv420p " +
        movie;
    ok = std::system(command.c_str()) == 0;
    bench::UseOwnRegistry(dir);
  }
  ~Corpus() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double ChildrenCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Wall-clock frames per second of every case that ran, by name.
std::map<std::string, double> &Rates() {
  static std::map<std::string, double> rates;
  return rates;
}

Corpus &Files() {
  static Corpus corpus;
  return corpus;
}

// The track: every frame, from a seek to 0, per iteration.
void Track(benchmark::State &state, const std::string &name, const GUID &subtype, int threads) {
  Corpus &c = Files();
  if (!c.ok) {
    state.SkipWithError("could not make the movie");
    return;
  }
  setenv("TP_DECODE_THREADS", std::to_string(threads).c_str(), 1);
  CQTAVExtraction session(Wide(c.movie).c_str());
  auto *video = dynamic_cast<CQTVideoExtraction *>(session.GetVideoExtraction());
  if (session.GetStatus() != 0 || video == nullptr) {
    state.SkipWithError("the movie did not open");
    return;
  }
  VIDEOINFOHEADER info{};
  video->FillMediaInfo(&info, sizeof info, &subtype);
  video->SetOutputSubtype(&subtype);
  if (video->ExtractionBegin() != 0) {
    state.SkipWithError("the track did not start");
    return;
  }
  std::vector<BYTE> buffer(info.bmiHeader.biSizeImage);
  int64_t frames = 0;
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double cpuBegin = ProcessCpuSeconds();
    const auto begin = std::chrono::steady_clock::now();
    LONGLONG zero = 0;
    video->SetPosition(&zero);
    for (;;) {
      LONG size = static_cast<LONG>(buffer.size());
      LONGLONG start = 0, duration = 0;
      if (video->GetNextSample(buffer.data(), &size, &start, &duration) != 0) break;
      ++frames;
    }
    cpu += ProcessCpuSeconds() - cpuBegin;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  }
  if (wall > 0) Rates()[name] = static_cast<double>(frames) / wall;
  state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["fps_cpu"] = cpu > 0 ? static_cast<double>(frames) / cpu : 0;
}

// The ffmpeg command line, timed from outside; its process start is part of
// the figure (a few milliseconds against seconds of decoding).
void Ffmpeg(benchmark::State &state, const std::string &name, const char *pixelFormat, int threads,
            const char *threadType) {
  Corpus &c = Files();
  if (!c.ok) {
    state.SkipWithError("could not make the movie");
    return;
  }
  const std::string command = "ffmpeg -nostdin -v error -threads " + std::to_string(threads) + threadType + " -i " +
                              c.movie + " -pix_fmt " + pixelFormat + " -f null -";
  int64_t frames = 0;
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double cpuBegin = ChildrenCpuSeconds();
    const auto begin = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    state.SetIterationTime(seconds);
    wall += seconds;
    cpu += ChildrenCpuSeconds() - cpuBegin;
    frames += 500;  // 20 s at 25 frames per second
  }
  if (wall > 0) Rates()[name] = static_cast<double>(frames) / wall;
  state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["fps_cpu"] = cpu > 0 ? static_cast<double>(frames) / cpu : 0;
}

struct Case {
  const char *layout;  // ours
  const GUID *subtype;
  const char *pixelFormat;  // ffmpeg's name for the same layout
};
const Case kCases[] = {{"YV12", &MEDIASUBTYPE_YV12, "yuv420p"}, {"RGB32", &MEDIASUBTYPE_RGB32, "bgra"}};

std::string Name(const char *who, const char *layout, int threads, const char *suffix = "") {
  return std::string(who) + "/" + layout + suffix + "/threads:" + std::to_string(threads);
}

void Register() {
  for (int threads : {1, 2}) {
    for (const Case &c : kCases) {
      const std::string ours = Name("Track", c.layout, threads);
      benchmark::RegisterBenchmark(ours.c_str(), [=](benchmark::State &s) { Track(s, ours, *c.subtype, threads); })
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->Iterations(2);
      const std::string theirs = Name("Ffmpeg", c.pixelFormat, threads);
      benchmark::RegisterBenchmark(theirs.c_str(),
                                   [=](benchmark::State &s) { Ffmpeg(s, theirs, c.pixelFormat, threads, ""); })
          ->Unit(benchmark::kMillisecond)
          ->UseManualTime()
          ->Iterations(2);
      if (threads == 1) continue;
      const std::string slices = Name("Ffmpeg", c.pixelFormat, threads, "-slice");
      benchmark::RegisterBenchmark(
          slices.c_str(),
          [=](benchmark::State &s) { Ffmpeg(s, slices, c.pixelFormat, threads, " -thread_type slice"); })
          ->Unit(benchmark::kMillisecond)
          ->UseManualTime()
          ->Iterations(2);
    }
  }
}

// Our rate over ffmpeg's for every case, against the 0.9 target.
void PrintRatios() {
  const std::map<std::string, double> &rates = Rates();
  std::printf("\n%-28s %10s %10s %7s\n", "case (wall fps)", "ours", "ffmpeg", "ratio");
  for (int threads : {1, 2}) {
    for (const Case &c : kCases) {
      const auto ours = rates.find(Name("Track", c.layout, threads));
      if (ours == rates.end()) continue;
      for (const char *suffix : {"", "-slice"}) {
        const auto theirs = rates.find(Name("Ffmpeg", c.pixelFormat, threads, suffix));
        if (theirs == rates.end() || theirs->second <= 0) continue;
        const std::string label =
            std::string(c.layout) + ", " + std::to_string(threads) + " thr" + (*suffix ? ", ffmpeg slices" : "");
        const double ratio = ours->second / theirs->second;
        std::printf("%-28s %10.1f %10.1f %7.2f %s\n", label.c_str(), ours->second, theirs->second, ratio,
                    ratio >= 0.9 ? "meets 0.9" : "below 0.9");
      }
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  Register();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  PrintRatios();
  benchmark::Shutdown();
  return 0;
}
