// Pictures per second of the turned copy out of a frame block into the pin's
// buffer (TurnPicture), 1920x1080, beside a plain row-by-row copy of the same
// picture into the same buffer (what an unturned frame costs). Layouts: I420
// (8-bit planes), YUY2, RGB24 and RGB32; turns: clockwise 90, 180, mirror.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "engine/FrameOrientation.h"
#include "engine/SampleData.h"

namespace {

constexpr LONG kW = 1920, kH = 1080;

struct Layout {
  PictureKind kind;    // the output's
  PictureKind source;  // the decoded picture's
  int bytesPerPixel;   // of one row: width x this (YUY2: 2)
};
// YUY2 is turned from a 4:2:2 world (180, mirror) or from 4:2:0 planes
// (quarter turns).
const Layout kLayouts[] = {{PictureKind::Planar420, PictureKind::Planar420, 1},
                           {PictureKind::Yuy2, PictureKind::Yuy2, 2},
                           {PictureKind::Yuy2, PictureKind::Planar420, 2},
                           {PictureKind::Packed, PictureKind::Packed, 3},
                           {PictureKind::Packed, PictureKind::Packed, 4}};
const MatrixRecord kTurns[] = {
    {{{0, 0x10000, 0}, {-0x10000, 0, 0}, {0, 0, 0x40000000}}},   // clockwise 90
    {{{-0x10000, 0, 0}, {0, -0x10000, 0}, {0, 0, 0x40000000}}},  // 180
    {{{-0x10000, 0, 0}, {0, 0x10000, 0}, {0, 0, 0x40000000}}},   // mirror
};

struct Frame {
  std::vector<BYTE> source, buffer;
  PictureView picture;
  LONG rowBytes = 0;
  explicit Frame(const Layout &l) {
    rowBytes = l.source == PictureKind::Planar420 ? kW : kW * l.bytesPerPixel;
    const size_t planeBytes = size_t(rowBytes) * kH;
    source.resize(l.source == PictureKind::Planar420 ? planeBytes * 3 / 2 : planeBytes);
    for (size_t i = 0; i < source.size(); ++i) source[i] = BYTE(i * 7 + i / 4096);
    picture.width = kW;
    picture.height = kH;
    picture.planes[0] = source.data();
    picture.steps[0] = rowBytes;
    picture.kind = l.source;
    buffer.resize(size_t(kW) * kH * 4 + 4096);
    if (l.source == PictureKind::Planar420) {
      picture.planes[1] = source.data() + planeBytes;
      picture.planes[2] = picture.planes[1] + planeBytes / 4;
      picture.steps[1] = picture.steps[2] = kW / 2;
    }
  }
};

// The reference: every row of every plane copied once, as an unturned frame is.
void BM_PlainCopy(benchmark::State &state) {
  const Layout &l = kLayouts[state.range(0)];
  Frame f(l);
  for (auto _ : state) {
    if (l.source == PictureKind::Planar420) {
      BYTE *to = f.buffer.data();
      for (int plane = 0; plane < 3; ++plane) {
        const LONG rows = plane == 0 ? kH : kH / 2, length = plane == 0 ? kW : kW / 2;
        for (LONG y = 0; y < rows; ++y, to += length)
          std::memcpy(to, f.picture.planes[plane] + y * f.picture.steps[plane], size_t(length));
      }
    } else {
      for (LONG y = 0; y < kH; ++y) {
        std::memcpy(f.buffer.data() + size_t(kH - 1 - y) * size_t(f.rowBytes),
                    f.source.data() + size_t(y) * size_t(f.rowBytes), size_t(f.rowBytes));
      }
    }
    benchmark::DoNotOptimize(f.buffer.data());
    benchmark::ClobberMemory();
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Turned(benchmark::State &state) {
  const Layout &l = kLayouts[state.range(0)];
  const FrameOrientation turn = FrameOrientation::FromMatrix(kTurns[state.range(1)]);
  Frame f(l);
  OutputView out;
  out.kind = l.kind;
  out.bytesPerPixel = l.bytesPerPixel;
  out.buffer = f.buffer.data();
  out.width = turn.SwapsSize() ? kH : kW;
  out.height = turn.SwapsSize() ? kW : kH;
  out.size = l.kind == PictureKind::Planar420 ? static_cast<LONG>(f.source.size()) : kW * kH * l.bytesPerPixel;
  out.bottomUp = l.kind == PictureKind::Packed;
  for (auto _ : state) {
    PlaneLayout delivered{};
    benchmark::DoNotOptimize(TurnPicture(f.picture, out, turn, &delivered));
    benchmark::ClobberMemory();
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

// Layout index: 0 I420, 1 YUY2 (from 4:2:2), 2 YUY2 (from 4:2:0), 3 RGB24,
// 4 RGB32. Turn index: 0 clockwise 90, 1 180, 2 mirror.
BENCHMARK(BM_PlainCopy)->Arg(0)->Arg(1)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Turned)->ArgsProduct({{0, 1, 3, 4}, {0, 1, 2}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Turned)->Args({2, 0})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
