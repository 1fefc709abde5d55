#include "pixels/PixelKernels.h"

#include <algorithm>
#include <cstring>

#include "pixels/PixelKernelsScalar.h"

namespace tp::qt {

RowWeights ChromaRowWeights(int j, int height) {
  const int64_t rows = (int64_t(height) + 1) / 2, d = 2 * rows;
  // Half a row either side of the centre, in units of 1 / d of a row.
  const int64_t centreLow = (2 * int64_t(j) + 1) * height - d;
  int weight[3] = {};
  int first = -1;
  for (int64_t n : {centreLow, centreLow + d}) {
    n = std::clamp<int64_t>(n, 0, (int64_t(height) - 1) * d);
    int64_t row = n / d;
    int64_t q = ((n % d) * 32 + d / 2) / d;
    if (q == 32) ++row, q = 0;
    if (first < 0) first = int(row);
    weight[row - first] += int(32 - q);
    if (q) weight[row - first + 1] += int(q);
  }
  return {first, weight[0], weight[1], weight[2]};
}

UpsampleTaps ChromaUpsampleTaps(int y, int height) {
  UpsampleTaps taps;
  const int64_t rows = (int64_t(height) + 1) / 2;
  if (height <= 0 || y < 0 || y >= height || rows < 2) return taps;
  // Positions and distances in 2^-17 of a chroma row.
  constexpr int64_t kOne = int64_t(1) << 17;
  const int64_t inc = ((rows << 16) + height / 2) / height;
  const int64_t pos = (2 * int64_t(y) + 1) * inc - (kOne / 2);
  const int64_t base = (pos >= 0 ? pos / kOne : -((-pos + kOne - 1) / kOne)) - 1;
  // The kernel times 5 x 2^51, exact: 5 (a + 2) = 7, 5 (a + 3) = 12, and so
  // on for a = -0.6.
  auto kernel = [](int64_t n) -> int64_t {
    constexpr int64_t kCube = int64_t(1) << 51;
    if (n < kOne) return 7 * n * n * n - 12 * n * n * kOne + 5 * kCube;
    if (n < 2 * kOne) return -3 * n * n * n + 15 * n * n * kOne - 24 * n * (kOne * kOne) + 12 * kCube;
    return 0;
  };
  const int64_t first = std::clamp<int64_t>(base, 0, std::max<int64_t>(0, rows - 4));
  int64_t weight[4] = {}, sum = 0;
  for (int64_t r = base; r < base + 4; ++r) {
    const int64_t n = pos - r * kOne < 0 ? r * kOne - pos : pos - r * kOne;
    if (r < 0 && 2 * n >= 3 * kOne) continue;  // far above the picture: left out
    const int64_t at = std::min<int64_t>(std::clamp<int64_t>(r, 0, rows - 1) - first, 3);
    weight[at] += kernel(n);
    sum += kernel(n);
  }
  // Each rounded to nearest with the error so far carried along.
  __int128 error = 0;
  auto floorDiv = [](__int128 a, __int128 b) { return a >= 0 ? a / b : -((-a + b - 1) / b); };
  for (int t = 0; t < 4; ++t) {
    const __int128 v = __int128(weight[t]) * 4096 + error;
    const __int128 k = floorDiv(2 * v + sum, 2 * __int128(sum));
    taps.k[t] = int16_t(k);
    error = v - k * sum;
  }
  taps.first = int(first);
  return taps;
}

namespace {

// The weights in 64ths of four samples (one before, the two around, one
// after) at 32 positions between two samples, from the bicubic filter with
// B = 0, C = 0.6: 1.4x^3 - 2.4x^2 + 1 within a sample, -0.6x^3 + 3x^2 - 4.8x
// + 2.4 from one to two. Integer arithmetic throughout (x in 32nds, the
// polynomials times 5 x 32^3), rounded, and the rounding's leftover given to
// the largest weight, so the table is the same wherever it is built.
constexpr BicubicTaps MakeTaps(int n) {
  BicubicTaps t{};
  const int64_t dist[4] = {32 + n, n, 32 - n, 64 - n};
  int sum = 0, largest = 0;
  for (int k = 0; k < 4; ++k) {
    const int64_t x = dist[k];
    const int64_t v = x < 32 ? 7 * x * x * x - 12 * 32 * x * x + 5 * 32768
                             : -3 * x * x * x + 15 * 32 * x * x - 24 * 1024 * x + 12 * 32768;
    // 64 v / (5 x 32^3), rounded half away from zero.
    t.w[k] = int16_t(v >= 0 ? (v + 1280) / 2560 : -((-v + 1280) / 2560));
    sum += t.w[k];
    if (t.w[k] > t.w[largest]) largest = k;
  }
  t.w[largest] = int16_t(t.w[largest] + 64 - sum);
  return t;
}

constexpr auto MakeTable() {
  std::array<BicubicTaps, 32> table{};
  for (int n = 0; n < 32; ++n) table[size_t(n)] = MakeTaps(n);
  return table;
}

constexpr std::array<BicubicTaps, 32> kTable = MakeTable();
static_assert(kTable[8].w[0] == -5 && kTable[8].w[1] == 56 && kTable[8].w[2] == 15 && kTable[8].w[3] == -2);
static_assert(kTable[24].w[0] == -2 && kTable[24].w[1] == 15 && kTable[24].w[2] == 56 && kTable[24].w[3] == -5);
static_assert(kTable[0].w[1] == 64);

}  // namespace

const std::array<BicubicTaps, 32> kBicubic = kTable;

namespace scalar {

void Unpack422(const uint8_t *src, int pairs, bool uyvy, uint8_t *luma, uint8_t *cb, uint8_t *cr) {
  const int y0 = uyvy ? 1 : 0, c0 = uyvy ? 0 : 1;
  for (int p = 0; p < pairs; ++p, src += 4) {
    luma[2 * p] = src[y0];
    luma[2 * p + 1] = src[y0 + 2];
    cb[p] = src[c0];
    cr[p] = src[c0 + 2];
  }
}

void SplitPairs(const uint8_t *src, int n, uint8_t *cb, uint8_t *cr) {
  for (int i = 0; i < n; ++i) cb[i] = src[2 * i], cr[i] = src[2 * i + 1];
}

void Swap422(const uint8_t *src, int pairs, uint8_t *dst) {
  for (int i = 0; i < 2 * pairs; ++i) {
    const uint8_t a = src[2 * i], b = src[2 * i + 1];
    dst[2 * i] = b, dst[2 * i + 1] = a;
  }
}

namespace {
uint8_t Clip(int32_t v) { return uint8_t(std::clamp(v, 0, 255)); }
}  // namespace

void RepeatChroma(const uint8_t *c, int w, uint8_t *out) {
  for (int x = 0; x < w; ++x) out[x] = c[x / 2];
}

void InterpolateChroma(const uint8_t *c, int pairs, int w, int from, int to, uint8_t *out) {
  auto at = [&](int64_t p) { return int32_t(c[std::clamp<int64_t>(p, 0, pairs - 1)]); };
  const int64_t d = 2 * int64_t(w);
  for (int x = from; x < to; ++x) {
    // Pixel x sits at pair (x + 0.5) pairs / w - 0.5: n / d.
    const int64_t n = (2 * int64_t(x) + 1) * pairs - w;
    int64_t i = n >= 0 ? n / d : -((-n + d - 1) / d);
    int64_t phase = ((n - i * d) * 32 + w) / d;
    if (phase == 32) ++i, phase = 0;
    const BicubicTaps &t = kBicubic[phase];
    out[x] = Clip((t.w[0] * at(i - 1) + t.w[1] * at(i) + t.w[2] * at(i + 1) + t.w[3] * at(i + 2) + 32) >> 6);
  }
}

void InterpolateChromaRow(const uint8_t *c, int pairs, int w, uint8_t *out) {
  InterpolateChroma(c, pairs, w, 0, w, out);
}

void YuvToBgra(const uint8_t *luma, const uint8_t *cb, const uint8_t *cr, int w, uint8_t *bgra) {
  auto mulhi = [](int32_t a, int32_t b) { return (a * b) >> 16; };
  for (int x = 0; x < w; ++x, bgra += 4) {
    const int32_t y = int32_t((uint32_t(luma[x]) << 8) * uint32_t(kY5) >> 16) + kBias5;
    const int32_t d = cb[x] - 128, e = cr[x] - 128;
    bgra[0] = Clip((y + (d << 6) + mulhi(d << 8, kCbToB5)) >> 5);
    bgra[1] = Clip((y + mulhi(d << 8, -kCbToG5) + mulhi(e << 8, -kCrToG5)) >> 5);
    bgra[2] = Clip((y + mulhi(e << 8, kCrToR5)) >> 5);
    bgra[3] = 255;
  }
}

void YuvPairsToBgra(const uint8_t *luma, const uint8_t *cb, const uint8_t *cr, int w, uint8_t *bgra) {
  uint8_t cbWide[64], crWide[64];
  for (int x = 0; x < w; x += 64) {
    const int n = std::min(64, w - x);
    RepeatChroma(cb + x / 2, n, cbWide);
    RepeatChroma(cr + x / 2, n, crWide);
    YuvToBgra(luma + x, cbWide, crWide, n, bgra + 4 * x);
  }
}

void Rgb24ToBgra(const uint8_t *src, int w, bool bgr, uint8_t *bgra) {
  const int r = bgr ? 2 : 0, b = bgr ? 0 : 2;
  for (int x = 0; x < w; ++x, src += 3, bgra += 4) {
    bgra[0] = src[b];
    bgra[1] = src[1];
    bgra[2] = src[r];
    bgra[3] = 255;
  }
}

void BgraToLuma(const uint8_t *bgra, int w, uint8_t *luma, int16_t *sumB, int16_t *sumG, int16_t *sumR) {
  constexpr int32_t kBias = (16 << kRgbBits) + (1 << (kRgbBits - 1));
  for (int x = 0; x < w; ++x) {
    const uint8_t *p = bgra + 4 * x;
    luma[x] = uint8_t((kRY * p[2] + kGY * p[1] + kBY * p[0] + kBias) >> kRgbBits);
  }
  for (int p = 0; p < (w + 1) / 2; ++p) {
    const uint8_t *a = bgra + 8 * p, *b = 2 * p + 1 < w ? a + 4 : a;
    sumB[p] = int16_t(a[0] + b[0]);
    sumG[p] = int16_t(a[1] + b[1]);
    sumR[p] = int16_t(a[2] + b[2]);
  }
}

void ChromaFromSums(const int16_t *const s[3][3], const RowWeights &wt, int pairs, uint8_t *cb, uint8_t *cr) {
  constexpr int32_t kBias = (128 << kChromaSumBits) + (1 << (kChromaSumBits - 1));
  const int w[3] = {wt.a, wt.b, wt.c};
  for (int p = 0; p < pairs; ++p) {
    int32_t t[3] = {};  // B, G, R
    for (int r = 0; r < 3; ++r)
      if (w[r])
        for (int c = 0; c < 3; ++c) t[c] += w[r] * s[r][c][p];
    cb[p] = Clip((kRCb * t[2] + kGCb * t[1] + kBCb * t[0] + kBias) >> kChromaSumBits);
    cr[p] = Clip((kRCr * t[2] + kGCr * t[1] + kBCr * t[0] + kBias) >> kChromaSumBits);
  }
}

void BlendChroma(const uint8_t *const rows[3], const RowWeights &wt, int n, uint8_t *out) {
  const int w[3] = {wt.a, wt.b, wt.c};
  for (int i = 0; i < n; ++i) {
    int32_t v = 32;
    for (int r = 0; r < 3; ++r)
      if (w[r]) v += w[r] * rows[r][i];
    out[i] = uint8_t(v >> 6);
  }
}

void UpsampleChroma(const uint8_t *const rows[4], const int16_t k[4], int n, uint8_t *out) {
  for (int i = 0; i < n; ++i) {
    int32_t v = 4;
    for (int r = 0; r < 4; ++r)
      if (k[r]) v += (int32_t(rows[r][i]) * 128 * k[r]) >> 16;
    out[i] = Clip(v >> 3);
  }
}

void PackYuyv(const uint8_t *luma, const uint8_t *cb, const uint8_t *cr, int pairs, uint8_t *out) {
  for (int p = 0; p < pairs; ++p, out += 4) {
    out[0] = luma[2 * p];
    out[1] = cb[p];
    out[2] = luma[2 * p + 1];
    out[3] = cr[p];
  }
}

}  // namespace scalar

const PixelKernels &ScalarKernels() {
  static const PixelKernels k{"scalar",
                              scalar::Unpack422,
                              scalar::SplitPairs,
                              scalar::Swap422,
                              scalar::InterpolateChromaRow,
                              scalar::YuvToBgra,
                              scalar::YuvPairsToBgra,
                              scalar::Rgb24ToBgra,
                              scalar::BgraToLuma,
                              scalar::ChromaFromSums,
                              scalar::BlendChroma,
                              scalar::UpsampleChroma,
                              scalar::PackYuyv};
  return k;
}

const PixelKernels &BestKernels() {
  static const PixelKernels &best = []() -> const PixelKernels & {
    if (const PixelKernels *k = Avx2Kernels()) return *k;
    if (const PixelKernels *k = Sse2Kernels()) return *k;
    return ScalarKernels();
  }();
  return best;
}

}  // namespace tp::qt
