// Decode throughput of the engine's audio track, in seconds of audio per
// second: a 10-minute AAC stereo movie pulled through GetNextSample as the
// audio pin pulls it, and, in the same run, `ffmpeg -i FILE -f s16le -ac 2 -`
// on the same file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <windows.h>
#include <mmreg.h>

#include "engine/CQTAVExtraction.h"
#include "engine/IMediaExtraction.h"
#include "BenchRuntime.h"

namespace {

constexpr double kSeconds = 600.0;

using bench::Wide;

const std::string &Movie() {
  static const std::string path = [] {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tp_h10_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "ten_minutes.m4a").string();
    const std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i \"aevalsrc=0.3*sin(440*2*PI*t)|0.3*sin(660*2*PI*t):s=44100:d=" +
        std::to_string(static_cast<int>(kSeconds)) + "\" -c:a aac -b:a 128k '" + file + "'";
    if (std::system(command.c_str()) != 0) return std::string();
    // The runtime is found through the registry store of this run.
    bench::UseOwnRegistry(dir.string());
    return file;
  }();
  return path;
}

void BM_EngineAudioTrack(benchmark::State &state) {
  const std::string &file = Movie();
  if (file.empty()) {
    state.SkipWithError("ffmpeg could not make the movie");
    return;
  }
  double audioSeconds = 0;
  double wallSeconds = 0;
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    CQTAVExtraction session(Wide(file).c_str());
    IMediaExtraction *audio = session.GetAudioExtraction();
    if (session.GetStatus() != 0 || audio == nullptr) {
      state.SkipWithError("the movie's sound could not be opened");
      return;
    }
    WAVEFORMATEX format{};
    audio->FillMediaInfo(&format, sizeof(format), nullptr);
    std::vector<BYTE> buffer(static_cast<size_t>(audio->GetBufferSize()));
    long long bytes = 0;
    for (;;) {
      LONG size = static_cast<LONG>(buffer.size());
      LONGLONG start = 0, length = 0;
      if (audio->GetNextSample(buffer.data(), &size, &start, &length) < 0) break;
      bytes += size;
    }
    wallSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (format.nAvgBytesPerSec > 0) audioSeconds += static_cast<double>(bytes) / format.nAvgBytesPerSec;
  }
  state.counters["audio_s_per_s"] = wallSeconds > 0 ? audioSeconds / wallSeconds : 0;
  // Each pass must have decoded the whole ten minutes.
  state.counters["audio_s_per_pass"] = audioSeconds / static_cast<double>(state.iterations());
}
BENCHMARK(BM_EngineAudioTrack)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_FfmpegCommandLine(benchmark::State &state) {
  const std::string &file = Movie();
  if (file.empty()) {
    state.SkipWithError("ffmpeg could not make the movie");
    return;
  }
  const std::string command = "ffmpeg -nostdin -v error -i '" + file + "' -f s16le -ac 2 - > /dev/null";
  double wallSeconds = 0;
  int runs = 0;
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
    wallSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    ++runs;
  }
  state.counters["audio_s_per_s"] = wallSeconds > 0 ? kSeconds * runs / wallSeconds : 0;
}
BENCHMARK(BM_FfmpegCommandLine)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
