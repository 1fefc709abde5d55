// Opening non-ISO movies through the runtime (libavformat importer: one pass
// over every packet plus a check that each packet lies verbatim in the file)
// beside the reference cost of libavformat alone reading every packet of the
// same file. The movies are made once per run with the ffmpeg command line.
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
  std::string h264, dv;
  Corpus() {
    char pattern[] = "/tmp/tp-bench-open-XXXXXX";
    if (!::mkdtemp(pattern)) return;
    dir = pattern;
    h264 = dir + "/clip.264";
    dv = dir + "/clip.dv";
    Run("-f lavfi -i testsrc2=size=640x360:rate=25 -t 60 -c:v libx264 -preset ultrafast -g 50 -f h264 " + h264);
    Run("-f lavfi -i testsrc2=size=720x576:rate=25 -f lavfi -i sine=sample_rate=48000 -t 20 -pix_fmt yuv420p "
        "-c:v dvvideo -c:a pcm_s16le -ac 2 -f dv " +
        dv);
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

void OpenThroughRuntime(benchmark::State &state, const std::string &path) {
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

void ScanWithLibav(benchmark::State &state, const std::string &path, const char *format) {
  for (auto _ : state) {
    AVFormatContext *ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), av_find_input_format(format), nullptr) < 0) {
      state.SkipWithError("open failed");
      break;
    }
    avformat_find_stream_info(ctx, nullptr);
    AVPacket *pkt = av_packet_alloc();
    int64_t packets = 0;
    while (av_read_frame(ctx, pkt) >= 0) {
      ++packets;
      av_packet_unref(pkt);
    }
    benchmark::DoNotOptimize(packets);
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
  }
}

void BM_RuntimeOpen_H264_60s(benchmark::State &s) { OpenThroughRuntime(s, Files().h264); }
void BM_ReferenceLibavScan_H264_60s(benchmark::State &s) { ScanWithLibav(s, Files().h264, "h264"); }
void BM_RuntimeOpen_DV_20s(benchmark::State &s) { OpenThroughRuntime(s, Files().dv); }
void BM_ReferenceLibavScan_DV_20s(benchmark::State &s) { ScanWithLibav(s, Files().dv, "dv"); }

BENCHMARK(BM_RuntimeOpen_H264_60s)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceLibavScan_H264_60s)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RuntimeOpen_DV_20s)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceLibavScan_DV_20s)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
