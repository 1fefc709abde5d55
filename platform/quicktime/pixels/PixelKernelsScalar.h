// The scalar row kernels of PixelKernels.h by name, so that the vector
// versions can hand them the rest of a row that makes no whole block.
#pragma once

#include <cstdint>

#include "pixels/PixelKernels.h"

namespace tp::qt::scalar {

void Unpack422(const uint8_t *src, int pairs, bool uyvy, uint8_t *luma, uint8_t *cb, uint8_t *cr);
void SplitPairs(const uint8_t *src, int n, uint8_t *cb, uint8_t *cr);
void Swap422(const uint8_t *src, int pairs, uint8_t *dst);
void RepeatChroma(const uint8_t *c, int w, uint8_t *out);
// Pixels [from, to) of the interpolated row.
void InterpolateChroma(const uint8_t *c, int pairs, int w, int from, int to, uint8_t *out);
void InterpolateChromaRow(const uint8_t *c, int pairs, int w, uint8_t *out);
void YuvToBgra(const uint8_t *luma, const uint8_t *cb, const uint8_t *cr, int w, uint8_t *bgra);
void YuvPairsToBgra(const uint8_t *luma, const uint8_t *cb, const uint8_t *cr, int w, uint8_t *bgra);
void Rgb24ToBgra(const uint8_t *src, int w, bool bgr, uint8_t *bgra);
void BgraToLuma(const uint8_t *bgra, int w, uint8_t *luma, int16_t *sumB, int16_t *sumG, int16_t *sumR);
void ChromaFromSums(const int16_t *const s[3][3], const RowWeights &wt, int pairs, uint8_t *cb, uint8_t *cr);
void BlendChroma(const uint8_t *const rows[3], const RowWeights &wt, int n, uint8_t *out);
void UpsampleChroma(const uint8_t *const rows[4], const int16_t k[4], int n, uint8_t *out);
void PackYuyv(const uint8_t *luma, const uint8_t *cb, const uint8_t *cr, int pairs, uint8_t *out);

}  // namespace tp::qt::scalar
