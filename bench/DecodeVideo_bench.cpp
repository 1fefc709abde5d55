// Frames per second of the video track (GetNextSample from the first frame
// to the last) beside `ffmpeg -threads N -i FILE -pix_fmt P -f null -` on the
// same 20 s 1280x720 H.264 movie with B-frames, for N = 1 and 2, in YV12
// (ffmpeg: yuv420p) and RGB32 (ffmpeg: bgra). The runtime's decoder takes
// its thread count from TP_DECODE_THREADS. The movie is made once per run.
// fps is frames per second of wall time; fps_cpu per second of CPU time (all
// threads of this process for the track, ffmpeg's own for ffmpeg), which a
// busy machine disturbs less.
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
#include <memory>
#include <string>
#include <vector>

#include "engine/CQTAVExtraction.h"
#include "engine/CQTVideoExtraction.h"
#include "engine/QuickTimeBinding.h"

namespace {

std::basic_string<WCHAR> Wide(const std::string &s) {
  std::basic_string<WCHAR> w;
  for (unsigned char c : s) w += static_cast<WCHAR>(c);
  return w;
}

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
    // A registry of our own that points at the runtime of this build.
    setenv("TP_REGISTRY_FILE", (dir + "/registry.reg").c_str(), 1);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Apple Computer, Inc.\\QuickTime"), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
      const std::basic_string<WCHAR> value = Wide(std::string(TP_QUICKTIME_DIR) + "/");
      RegSetValueExW(key, TEXT("QTSysDir"), 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
      RegCloseKey(key);
    }
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

Corpus &Files() {
  static Corpus corpus;
  return corpus;
}

// The track: every frame, from a seek to 0, per iteration.
void Track(benchmark::State &state, const GUID &subtype, int threads) {
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
  double cpu = 0;
  for (auto _ : state) {
    const double cpuBegin = ProcessCpuSeconds();
    LONGLONG zero = 0;
    video->SetPosition(&zero);
    for (;;) {
      LONG size = static_cast<LONG>(buffer.size());
      LONGLONG start = 0, duration = 0;
      if (video->GetNextSample(buffer.data(), &size, &start, &duration) != 0) break;
      ++frames;
    }
    cpu += ProcessCpuSeconds() - cpuBegin;
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["fps_cpu"] = cpu > 0 ? static_cast<double>(frames) / cpu : 0;
}

// The ffmpeg command line, timed from outside; its process start is part of
// the figure (a few milliseconds against seconds of decoding).
void Ffmpeg(benchmark::State &state, const char *pixelFormat, int threads) {
  Corpus &c = Files();
  if (!c.ok) {
    state.SkipWithError("could not make the movie");
    return;
  }
  const std::string command = "ffmpeg -nostdin -v error -threads " + std::to_string(threads) + " -i " + c.movie +
                              " -pix_fmt " + pixelFormat + " -f null -";
  int64_t frames = 0;
  double cpu = 0;
  for (auto _ : state) {
    const double cpuBegin = ChildrenCpuSeconds();
    const auto begin = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    cpu += ChildrenCpuSeconds() - cpuBegin;
    frames += 500;  // 20 s at 25 frames per second
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["fps_cpu"] = cpu > 0 ? static_cast<double>(frames) / cpu : 0;
}

void Register() {
  for (int threads : {1, 2}) {
    const std::string t = "/threads:" + std::to_string(threads);
    benchmark::RegisterBenchmark(("Track/YV12" + t).c_str(),
                                 [threads](benchmark::State &s) { Track(s, MEDIASUBTYPE_YV12, threads); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(2);
    benchmark::RegisterBenchmark(("Ffmpeg/yuv420p" + t).c_str(),
                                 [threads](benchmark::State &s) { Ffmpeg(s, "yuv420p", threads); })
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(2);
    benchmark::RegisterBenchmark(("Track/RGB32" + t).c_str(),
                                 [threads](benchmark::State &s) { Track(s, MEDIASUBTYPE_RGB32, threads); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(2);
    benchmark::RegisterBenchmark(("Ffmpeg/bgra" + t).c_str(),
                                 [threads](benchmark::State &s) { Ffmpeg(s, "bgra", threads); })
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(2);
  }
}

}  // namespace

int main(int argc, char **argv) {
  Register();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
