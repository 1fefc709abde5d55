// Opening an hour-long fragmented movie (1 s fragments, H.264 + AAC, made by
// looping a one-minute clip into 3,600 fragments without re-encoding)
// through the runtime, beside two references on the same file in the same
// run: the ffprobe command line opening it, and libavformat alone opening it
// and finding its streams in this process.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

#include <QuickTime/Movies.h>
#include <QuickTime/QTSelectors.h>

#include "toolbox/Dispatcher.h"

namespace {

using tp::qt::DispatchCall;

struct Corpus {
  std::string dir;
  std::string hour;
  Corpus() {
    char pattern[] = "/tmp/tp-bench-frag-XXXXXX";
    if (!::mkdtemp(pattern)) return;
    dir = pattern;
    const std::string clip = dir + "/minute.mp4";
    hour = dir + "/hour-frag1s.mp4";
    Run("-f lavfi -i testsrc2=size=64x48:rate=25 -f lavfi -i sine=sample_rate=44100 -t 60 -c:v libx264 "
        "-preset ultrafast -g 25 -c:a aac -ac 2 " +
        clip);
    Run("-stream_loop 59 -i " + clip + " -c copy -movflags frag_keyframe+empty_moov " + hour);
  }
  ~Corpus() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
  static void Run(const std::string &args) {
    std::string cmd = "ffmpeg -nostdin -v error -y " + args;
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", cmd.c_str());
  }
};

Corpus &Files() {
  static Corpus corpus;
  return corpus;
}

void BM_RuntimeOpen_Fragmented_1h(benchmark::State &state) {
  const std::string &path = Files().hour;
  for (auto _ : state) {
    FSSpec spec;
    DispatchCall(kQTSelNativePathNameToFSSpec, const_cast<char *>(path.c_str()), &spec, 0);
    SInt16 ref = 0;
    Movie movie = nullptr;
    if (DispatchCall(kQTSelOpenMovieFile, &spec, &ref, 0) != noErr ||
        DispatchCall(kQTSelNewMovieFromFile, &movie, ref, nullptr, nullptr, newMovieActive, nullptr) != noErr) {
      state.SkipWithError("open failed");
      break;
    }
    DispatchCall(kQTSelCloseMovieFile, ref);
    DispatchCall(kQTSelDisposeMovie, movie);
  }
}

void BM_ReferenceFfprobe_Fragmented_1h(benchmark::State &state) {
  const std::string cmd = "ffprobe -v error -show_entries format=duration -of csv=p=0 " + Files().hour + " >/dev/null";
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) {
      state.SkipWithError("ffprobe failed");
      break;
    }
  }
}

void BM_ReferenceLibavOpen_Fragmented_1h(benchmark::State &state) {
  const std::string &path = Files().hour;
  for (auto _ : state) {
    AVFormatContext *ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) {
      state.SkipWithError("open failed");
      break;
    }
    avformat_find_stream_info(ctx, nullptr);
    benchmark::DoNotOptimize(ctx->duration);
    avformat_close_input(&ctx);
  }
}

BENCHMARK(BM_RuntimeOpen_Fragmented_1h)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceFfprobe_Fragmented_1h)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceLibavOpen_Fragmented_1h)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
