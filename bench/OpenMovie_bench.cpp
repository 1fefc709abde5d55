// Opening a movie of a million samples: our parser (file to model) beside
// ffprobe opening the same file, measured in the same run. Also a lookup by
// decode time in the opened table.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>

#include "container/IsoParser.h"
#include "support/MovieWriter.h"

namespace {

constexpr uint32_t kSamples = 1000000;

// Written once per process: a 25 fps video track of a million samples of 1
// to 4 bytes, a sync sample every 30, B-frame-like composition offsets, 25
// samples per chunk; data first, then the movie box.
const std::string &MovieFile() {
  static const std::string path = [] {
    tp::test::WriterTrack v = tp::test::SimpleVideoTrack(kSamples, 0, 1, 30);
    v.timeScale = 25;
    v.samplesPerChunk = 25;
    v.compositionOffsets.resize(kSamples);
    for (uint32_t i = 0; i < kSamples; ++i) {
      v.sizes[i] = 1 + i % 4;
      v.compositionOffsets[i] = (i % 3 == 0) ? 1 : (i % 3 == 1 ? 2 : 0);
    }
    tp::test::WriterOptions o;
    o.movieTimeScale = 25;
    const std::string p = "/tmp/tidepool-open-bench-" + std::to_string(getpid()) + ".mov";
    if (!tp::test::WriteFile(p, tp::test::BuildMovie(o, {v}).bytes)) std::abort();
    std::atexit([] { std::remove(MovieFile().c_str()); });
    return p;
  }();
  return path;
}

void BM_OpenMovie_Ours(benchmark::State &state) {
  const std::string &file = MovieFile();
  uint64_t bytesRead = 0;
  size_t tableBytes = 0;
  for (auto _ : state) {
    tp::qt::Movie movie;
    const tp::qt::ParseResult r = tp::qt::OpenIsoMovieFile(file, &movie, &bytesRead);
    if (r.error != tp::qt::kNoErr || movie.tracks.size() != 1 || movie.tracks[0].media.samples.count() != kSamples) {
      state.SkipWithError(("open failed: " + r.message).c_str());
      return;
    }
    tableBytes = movie.tracks[0].media.samples.MemoryUsed();
    benchmark::DoNotOptimize(movie);
  }
  state.counters["bytes_read"] = double(bytesRead);
  state.counters["table_bytes"] = double(tableBytes);
}
BENCHMARK(BM_OpenMovie_Ours)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

void BM_OpenMovie_Ffprobe(benchmark::State &state) {
  const std::string command = "ffprobe -v error -show_entries format=duration '" + MovieFile() + "' >/dev/null";
  if (std::system("ffprobe -version >/dev/null 2>&1") != 0) {
    state.SkipWithError("ffprobe not installed");
    return;
  }
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    const auto end = std::chrono::steady_clock::now();
    if (rc != 0) {
      state.SkipWithError("ffprobe failed");
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
}
BENCHMARK(BM_OpenMovie_Ffprobe)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

void BM_SampleAtTime(benchmark::State &state) {
  tp::qt::Movie movie;
  if (tp::qt::OpenIsoMovieFile(MovieFile(), &movie).error != tp::qt::kNoErr) {
    state.SkipWithError("open failed");
    return;
  }
  const tp::qt::SampleTable &st = movie.tracks[0].media.samples;
  std::mt19937 rng(7);
  for (auto _ : state) {
    uint32_t index = 0;
    tp::qt::SampleRecord r;
    st.SampleAtTime(int64_t(rng() % kSamples), &index);
    st.Sample(index, &r);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_SampleAtTime);

}  // namespace

BENCHMARK_MAIN();
