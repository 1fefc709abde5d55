// Pictures per second of DrawPicture (our conversions of the uncompressed
// layouts) beside libswscale (bicubic, as ffmpeg's command line) converting
// the same 1920x1080 picture into the same layout: '2vuy' and 24-bit RGB
// sources into 32-bit BGRA, 24-bit RGB, 'yuvs' and 4:2:0 worlds.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

#include "PixelConvert.h"

namespace {

using tp::qt::PixelLayout;
constexpr int kW = 1920, kH = 1080;

struct Case {
  PixelLayout from, to;
  AVPixelFormat avFrom, avTo;
};

const Case kCases[] = {
    {PixelLayout::kUYVY422, PixelLayout::kBGRA, AV_PIX_FMT_UYVY422, AV_PIX_FMT_BGRA},
    {PixelLayout::kUYVY422, PixelLayout::kYUV420P, AV_PIX_FMT_UYVY422, AV_PIX_FMT_YUV420P},
    {PixelLayout::kUYVY422, PixelLayout::kYUYV422, AV_PIX_FMT_UYVY422, AV_PIX_FMT_YUYV422},
    {PixelLayout::kRGB24, PixelLayout::kBGRA, AV_PIX_FMT_RGB24, AV_PIX_FMT_BGRA},
    {PixelLayout::kRGB24, PixelLayout::kYUV420P, AV_PIX_FMT_RGB24, AV_PIX_FMT_YUV420P},
};

struct Planes {
  std::vector<uint8_t> bytes[3];
  int linesize[3] = {};
  explicit Planes(PixelLayout l) {
    if (l == PixelLayout::kYUV420P) {
      linesize[0] = kW, linesize[1] = linesize[2] = kW / 2;
      bytes[0].resize(size_t(kW) * kH, 100);
      bytes[1].resize(size_t(kW / 2) * (kH / 2), 90);
      bytes[2].resize(size_t(kW / 2) * (kH / 2), 160);
    } else {
      linesize[0] =
          l == PixelLayout::kUYVY422 || l == PixelLayout::kYUYV422 ? kW * 2 : kW * tp::qt::PackedBytesPerPixel(l);
      bytes[0].resize(size_t(linesize[0]) * kH);
      for (size_t i = 0; i < bytes[0].size(); ++i) bytes[0][i] = uint8_t(i * 7 + i / 4096);
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
}

BENCHMARK(BM_Ours)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Swscale)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
