// PixelKernels: the row operations that PixelConvert's drawing is built
// from, in one table per instruction set: the scalar reference, SSE2 (on
// every x86 processor we run on) and AVX2 (chosen at run time where the
// processor and system have it). Every entry is exact integer arithmetic,
// and each vector version writes exactly the bytes of the scalar one for
// every input: the vector loops cover whole blocks and hand the rest of a
// row to the scalar code. Rows are caller memory; nothing is read or
// written outside the counts given. Pure functions; thread-safe.
//
// The arithmetic (BT.601, video range):
//   Y'CbCr -> R'G'B' in 16-bit words, 5 fractional bits, where
//     mulhi(a, b) = (a b) >> 16 (floor), y8 = Y << 8, d8 = (Cb - 128) << 8,
//     e8 = (Cr - 128) << 8:
//     Y5 = mulhi(y8, kY5)                                    (unsigned)
//     R = (Y5 + mulhi(e8, kCrToR5) + kBias5) >> 5
//     G = (Y5 + mulhi(d8, -kCbToG5) + mulhi(e8, -kCrToG5) + kBias5) >> 5
//     B = (Y5 + ((Cb - 128) << 6) + mulhi(d8, kCbToB5) + kBias5) >> 5
//     each clipped to 0..255; no sum leaves 16 bits.
//   R'G'B' -> Y' in 15-bit fixed point:
//     Y = (kRY R + kGY G + kBY B + (16 << 15) + 2^14) >> 15.
//   R'G'B' -> Cb, Cr from channel sums over a pair of pixels and up to three
//     rows with weights summing to 64 (so each sum weighs 128 pixels):
//     Cb = (kRCb TR + kGCb TG + kBCb TB + (128 << 22) + 2^21) >> 22, clipped.
//   Chroma rows of a Y'CbCr source with the same weights:
//     (a c0 + b c1 + c c2 + 32) >> 6.
//   Pair chroma interpolated to pixels (4:2:2 into R'G'B'): the pairs are
//     spread evenly over the row (pixel x sits at pair (x + 0.5) pairs / w -
//     0.5, in 32nds), and four pairs around it are weighted by kBicubic,
//     (sum + 32) >> 6, clipped. At an even width pixel 2p takes
//     (-2 c[p-2] + 15 c[p-1] + 56 c[p] - 5 c[p+1] + 32) >> 6 and pixel 2p + 1
//     its mirror image.
//   4:2:0 chroma rows -> one chroma row per picture row (4:2:0 into packed
//     4:2:2): a four-row bicubic filter (below, UpsampleTaps), weights k in
//     4096ths, applied as libswscale's vertical scaler applies it, so that
//     the bytes are the Linux build's:
//       (4 + sum ((c << 7) k >> 16)) >> 3      every row but the last two,
//       (sum c k + 2048) >> 12                 the last two rows,
//     clipped to 0..255.
#pragma once

#include <array>
#include <cstdint>

namespace tp::qt {

// Fixed-point coefficients, rounded to nearest.
constexpr int32_t FixedPoint(double v, int bits) { return int32_t(v * double(1 << bits) + (v < 0 ? -0.5 : 0.5)); }

// Y'CbCr (video range) -> R'G'B': multipliers of values shifted up by 8,
// giving 5 fractional bits.
constexpr int32_t kY5 = FixedPoint(255.0 / 219.0, 13);
constexpr int32_t kCrToR5 = FixedPoint(1.402 * 255.0 / 224.0, 13);
constexpr int32_t kCbToG5 = FixedPoint(0.344136 * 255.0 / 224.0, 13);
constexpr int32_t kCrToG5 = FixedPoint(0.714136 * 255.0 / 224.0, 13);
// B's factor is 2 + this: the 2 is a shift.
constexpr int32_t kCbToB5 = FixedPoint(1.772 * 255.0 / 224.0 - 2.0, 13);
// Half of the last step, less 16 x 255 / 219 for Y's offset.
constexpr int32_t kBias5 = 16 - FixedPoint(16.0 * 255.0 / 219.0, 5);

// R'G'B' -> Y'CbCr (video range), 15 bits.
constexpr int kRgbBits = 15;
constexpr int32_t kRY = FixedPoint(0.299 * 219.0 / 255.0, kRgbBits);
constexpr int32_t kGY = FixedPoint(0.587 * 219.0 / 255.0, kRgbBits);
constexpr int32_t kBY = FixedPoint(0.114 * 219.0 / 255.0, kRgbBits);
constexpr int32_t kRCb = FixedPoint(-0.168736 * 224.0 / 255.0, kRgbBits);
constexpr int32_t kGCb = FixedPoint(-0.331264 * 224.0 / 255.0, kRgbBits);
constexpr int32_t kBCb = FixedPoint(0.5 * 224.0 / 255.0, kRgbBits);
constexpr int32_t kRCr = FixedPoint(0.5 * 224.0 / 255.0, kRgbBits);
constexpr int32_t kGCr = FixedPoint(-0.418688 * 224.0 / 255.0, kRgbBits);
constexpr int32_t kBCr = FixedPoint(-0.081312 * 224.0 / 255.0, kRgbBits);
// Chroma sums weigh 2 pixels x 64: 7 more bits.
constexpr int kChromaSumBits = kRgbBits + 7;

// Weights of up to three consecutive rows (first, first + 1, first + 2) that
// make one chroma row; a + b + c = 64. A weight of 0 means the row is not read.
struct RowWeights {
  int first = 0;
  int a = 64, b = 0, c = 0;
};

// The weights of chroma row `j` of a picture `height` rows tall going to
// (height + 1) / 2 chroma rows: chroma rows are spread evenly over the whole
// picture (row j centred at (j + 0.5) height / rows - 0.5), each the mean of
// the picture at half a row above and below that centre, found by linear
// interpolation between rows in steps of 1/32 of a row. For an even height
// that is the plain mean of rows 2j and 2j + 1.
RowWeights ChromaRowWeights(int j, int height);

// The chroma rows and weights that make picture row `y` of a 4:2:0 picture
// `height` rows tall into 4:2:2. The (height + 1) / 2 chroma rows are
// spread evenly over the picture (row y sits at chroma row (y + 0.5) inc -
// 0.5, inc = rows / height in 16.16 fixed point, rounded) and weighted by
// the cubic convolution kernel with a = -0.6 at the four rows around that
// position. A row past the last is the last row again; a row above the first
// is the first row again when it lies within 1.5 rows of the position, else
// left out (and the others scaled back up to a whole). Weights are rounded
// to 4096ths in order from the top, each carrying the previous one's
// rounding error, so that they sum to 4096. Rows first .. first + 3; a
// weight of 0 is not read, and `first + 3` may lie past the last row only
// with weight 0.
struct UpsampleTaps {
  int first = 0;
  int16_t k[4] = {4096, 0, 0, 0};
};
UpsampleTaps ChromaUpsampleTaps(int y, int height);

// Bicubic weights (64ths) of the samples at -1, 0, 1 and 2 around a
// position n / 32 past sample 0.
struct BicubicTaps {
  int16_t w[4];
};
extern const std::array<BicubicTaps, 32> kBicubic;

struct PixelKernels {
  const char *name;
  // Packed 4:2:2 pairs (Y0,Cb,Y1,Cr, or Cb,Y0,Cr,Y1 when `uyvy`) -> luma
  // (2 x pairs), cb and cr (pairs each).
  void (*unpack422)(const uint8_t *src, int pairs, bool uyvy, uint8_t *luma, uint8_t *cb, uint8_t *cr);
  // Cb,Cr byte pairs (NV12's chroma) -> cb and cr, n each.
  void (*splitPairs)(const uint8_t *src, int n, uint8_t *cb, uint8_t *cr);
  // Swaps the bytes of each 16-bit word: Y0,Cb,Y1,Cr <-> Cb,Y0,Cr,Y1.
  void (*swap422)(const uint8_t *src, int pairs, uint8_t *dst);
  // Pair chroma -> one sample per pixel, interpolated (above); pairs past
  // either end repeat the end's.
  void (*interpolateChroma)(const uint8_t *c, int pairs, int w, uint8_t *out);
  // Luma and chroma per pixel -> w pixels B,G,R,A (A = 255).
  void (*yuvToBgra)(const uint8_t *luma, const uint8_t *cb, const uint8_t *cr, int w, uint8_t *bgra);
  // The same with chroma per pair: pixel x takes pair x / 2's.
  void (*yuvPairsToBgra)(const uint8_t *luma, const uint8_t *cb, const uint8_t *cr, int w, uint8_t *bgra);
  // R,G,B (or B,G,R when `bgr`) 24-bit pixels -> B,G,R,A (A = 255).
  void (*rgb24ToBgra)(const uint8_t *src, int w, bool bgr, uint8_t *bgra);
  // B,G,R,A -> luma per pixel and, per pair of pixels, the sums of their
  // B, G and R (an odd last pixel counts twice).
  void (*bgraToLuma)(const uint8_t *bgra, int w, uint8_t *luma, int16_t *sumB, int16_t *sumG, int16_t *sumR);
  // Pair sums of three rows (s[0..2], each B, G, R planes) weighted by `wt`
  // -> `pairs` Cb and Cr. Rows of weight 0 are not read.
  void (*chromaFromSums)(const int16_t *const s[3][3], const RowWeights &wt, int pairs, uint8_t *cb, uint8_t *cr);
  // Chroma bytes of three rows weighted by `wt` -> n bytes. Rows of weight 0
  // are not read.
  void (*blendChroma)(const uint8_t *const rows[3], const RowWeights &wt, int n, uint8_t *out);
  // Chroma of four rows weighted by `k` (4096ths) -> n bytes, by the first
  // formula above (truncated products); rows of weight 0 are not read.
  void (*upsampleChroma)(const uint8_t *const rows[4], const int16_t k[4], int n, uint8_t *out);
  // Luma and pair chroma -> `pairs` Y0,Cb,Y1,Cr.
  void (*packYuyv)(const uint8_t *luma, const uint8_t *cb, const uint8_t *cr, int pairs, uint8_t *out);
};

// The scalar reference.
const PixelKernels &ScalarKernels();
// The SSE2 and AVX2 sets, or null where the processor lacks them.
const PixelKernels *Sse2Kernels();
const PixelKernels *Avx2Kernels();
// The fastest set this processor runs, chosen once.
const PixelKernels &BestKernels();

}  // namespace tp::qt
