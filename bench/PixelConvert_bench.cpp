// Pictures per second of DrawPicture (our conversions of the uncompressed
// layouts, and of the Windows decoders' pictures) beside libswscale
// (bicubic, as ffmpeg's command line) converting the same 1920x1080 picture
// into the same layout, one thread each. The table at the end gives, per
// case, both CPU times and their ratio (target: at most 1.0).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

#include "pixels/PixelConvert.h"
#include "pixels/PixelKernels.h"

namespace {

using tp::qt::PixelLayout;
constexpr int kW = 1920, kH = 1080;

struct Case {
  const char *name;
  PixelLayout from, to;
  AVPixelFormat avFrom, avTo;
};

const Case kCases[] = {
    {"2vuy->BGRA", PixelLayout::kUYVY422, PixelLayout::kBGRA, AV_PIX_FMT_UYVY422, AV_PIX_FMT_BGRA},
    {"2vuy->I420", PixelLayout::kUYVY422, PixelLayout::kYUV420P, AV_PIX_FMT_UYVY422, AV_PIX_FMT_YUV420P},
    {"2vuy->yuvs", PixelLayout::kUYVY422, PixelLayout::kYUYV422, AV_PIX_FMT_UYVY422, AV_PIX_FMT_YUYV422},
    {"RGB24->BGRA", PixelLayout::kRGB24, PixelLayout::kBGRA, AV_PIX_FMT_RGB24, AV_PIX_FMT_BGRA},
    {"RGB24->I420", PixelLayout::kRGB24, PixelLayout::kYUV420P, AV_PIX_FMT_RGB24, AV_PIX_FMT_YUV420P},
    // What the Windows decoders hand out.
    {"NV12->BGRA", PixelLayout::kNV12, PixelLayout::kBGRA, AV_PIX_FMT_NV12, AV_PIX_FMT_BGRA},
    {"NV12->I420", PixelLayout::kNV12, PixelLayout::kYUV420P, AV_PIX_FMT_NV12, AV_PIX_FMT_YUV420P},
    {"NV12->yuvs", PixelLayout::kNV12, PixelLayout::kYUYV422, AV_PIX_FMT_NV12, AV_PIX_FMT_YUYV422},
    {"I420->yuvs", PixelLayout::kYUV420P, PixelLayout::kYUYV422, AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUYV422},
    {"I420->BGRA", PixelLayout::kYUV420P, PixelLayout::kBGRA, AV_PIX_FMT_YUV420P, AV_PIX_FMT_BGRA},
    {"YUY2->BGRA", PixelLayout::kYUYV422, PixelLayout::kBGRA, AV_PIX_FMT_YUYV422, AV_PIX_FMT_BGRA},
};
constexpr int kCaseCount = int(sizeof kCases / sizeof kCases[0]);

struct Planes {
  std::vector<uint8_t> bytes[3];
  int linesize[3] = {};
  explicit Planes(PixelLayout l) {
    auto fill = [](std::vector<uint8_t> &v, size_t size, unsigned seed) {
      v.resize(size);
      for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(i * 7 + i / 4096 + seed);
    };
    if (l == PixelLayout::kYUV420P) {
      linesize[0] = kW, linesize[1] = linesize[2] = kW / 2;
      fill(bytes[0], size_t(kW) * kH, 0);
      fill(bytes[1], size_t(kW / 2) * (kH / 2), 1);
      fill(bytes[2], size_t(kW / 2) * (kH / 2), 2);
    } else if (l == PixelLayout::kNV12) {
      linesize[0] = linesize[1] = kW;
      fill(bytes[0], size_t(kW) * kH, 0);
      fill(bytes[1], size_t(kW) * (kH / 2), 1);
    } else {
      linesize[0] =
          l == PixelLayout::kUYVY422 || l == PixelLayout::kYUYV422 ? kW * 2 : kW * tp::qt::PackedBytesPerPixel(l);
      fill(bytes[0], size_t(linesize[0]) * kH, 0);
    }
  }
};

void BM_Ours(benchmark::State &state) {
  const Case &c = kCases[state.range(0)];
  Planes src(c.from), dst(c.to);
  tp::qt::Picture p{c.from,
                    kW,
                    kH,
                    {src.bytes[0].data(), src.bytes[1].data(), src.bytes[2].data()},
                    {src.linesize[0], src.linesize[1], src.linesize[2]}};
  tp::qt::DrawTarget t{c.to,
                       kW,
                       kH,
                       {dst.bytes[0].data(), dst.bytes[1].data(), dst.bytes[2].data()},
                       {dst.linesize[0], dst.linesize[1], dst.linesize[2]}};
  int w = 0, h = 0;
  for (auto _ : state) benchmark::DoNotOptimize(tp::qt::DrawPicture(p, t, &w, &h));
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(std::string(c.name) + " " + tp::qt::BestKernels().name);
}

void BM_Swscale(benchmark::State &state) {
  const Case &c = kCases[state.range(0)];
  Planes src(c.from), dst(c.to);
  SwsContext *sws = sws_getContext(kW, kH, c.avFrom, kW, kH, c.avTo, SWS_BICUBIC, nullptr, nullptr, nullptr);
  const uint8_t *in[4] = {src.bytes[0].data(), src.bytes[1].data(), src.bytes[2].data(), nullptr};
  uint8_t *out[4] = {dst.bytes[0].data(), dst.bytes[1].data(), dst.bytes[2].data(), nullptr};
  const int inStride[4] = {src.linesize[0], src.linesize[1], src.linesize[2], 0};
  const int outStride[4] = {dst.linesize[0], dst.linesize[1], dst.linesize[2], 0};
  for (auto _ : state) benchmark::DoNotOptimize(sws_scale(sws, in, inStride, 0, kH, out, outStride));
  sws_freeContext(sws);
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(c.name);
}

BENCHMARK(BM_Ours)->DenseRange(0, kCaseCount - 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Swscale)->DenseRange(0, kCaseCount - 1)->Unit(benchmark::kMillisecond);

// Prints as usual and keeps each run's CPU time per picture for the table.
class KeepingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs)
      if (r.run_type == Run::RT_Iteration && r.iterations > 0)
        cpuMs[r.benchmark_name()] = r.cpu_accumulated_time / double(r.iterations) * 1e3;
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> cpuMs;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  KeepingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n%-12s %12s %14s %8s   (CPU ms per 1920x1080 picture; kernels: %s)\n", "case", "ours", "libswscale",
              "ratio", tp::qt::BestKernels().name);
  for (int i = 0; i < kCaseCount; ++i) {
    const std::string n = std::to_string(i);
    const auto ours = reporter.cpuMs.find("BM_Ours/" + n), theirs = reporter.cpuMs.find("BM_Swscale/" + n);
    if (ours == reporter.cpuMs.end() || theirs == reporter.cpuMs.end()) continue;
    std::printf("%-12s %12.3f %14.3f %8.2f\n", kCases[i].name, ours->second, theirs->second,
                ours->second / theirs->second);
  }
  benchmark::Shutdown();
  return 0;
}
