// The SSE2 and AVX2 tables of PixelKernels.h: PixelKernelsSimd.inc compiled
// twice, over one 128-bit lane and over two, each under its own target so
// the rest of the runtime needs no processor flags. Elsewhere than x86 there
// are none.
#include "pixels/PixelKernels.h"
#include "pixels/PixelKernelsScalar.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include <algorithm>
#include <cstddef>

#define TP_SIMD_INLINE static inline __attribute__((always_inline))

namespace tp::qt {
namespace {

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse2")
#endif

namespace sse2 {

using V = __m128i;
constexpr int kLanes = 1;

TP_SIMD_INLINE V Load(const void *p, ptrdiff_t) { return _mm_loadu_si128(static_cast<const __m128i *>(p)); }
TP_SIMD_INLINE V Load64(const void *p, ptrdiff_t) { return _mm_loadl_epi64(static_cast<const __m128i *>(p)); }
TP_SIMD_INLINE void Store(void *p, ptrdiff_t, V v) { _mm_storeu_si128(static_cast<__m128i *>(p), v); }
TP_SIMD_INLINE void Store64(void *p, ptrdiff_t, V v) { _mm_storel_epi64(static_cast<__m128i *>(p), v); }
TP_SIMD_INLINE V LoadWhole(const void *p) { return _mm_loadu_si128(static_cast<const __m128i *>(p)); }
TP_SIMD_INLINE void StoreWhole(void *p, V v) { _mm_storeu_si128(static_cast<__m128i *>(p), v); }
TP_SIMD_INLINE V PackedInOrder(V v) { return v; }
TP_SIMD_INLINE V Zero() { return _mm_setzero_si128(); }
TP_SIMD_INLINE V Set1_16(int v) { return _mm_set1_epi16(int16_t(v)); }
TP_SIMD_INLINE V Set1_32(int32_t v) { return _mm_set1_epi32(v); }
TP_SIMD_INLINE V And(V a, V b) { return _mm_and_si128(a, b); }
TP_SIMD_INLINE V Or(V a, V b) { return _mm_or_si128(a, b); }
TP_SIMD_INLINE V Add16(V a, V b) { return _mm_add_epi16(a, b); }
TP_SIMD_INLINE V Sub16(V a, V b) { return _mm_sub_epi16(a, b); }
TP_SIMD_INLINE V Add32(V a, V b) { return _mm_add_epi32(a, b); }
TP_SIMD_INLINE V Mullo16(V a, V b) { return _mm_mullo_epi16(a, b); }
TP_SIMD_INLINE V Madd(V a, V b) { return _mm_madd_epi16(a, b); }
TP_SIMD_INLINE V Avg8(V a, V b) { return _mm_avg_epu8(a, b); }
TP_SIMD_INLINE V Srli16(V a, int n) { return _mm_srli_epi16(a, n); }
TP_SIMD_INLINE V Slli16(V a, int n) { return _mm_slli_epi16(a, n); }
TP_SIMD_INLINE V Srli32(V a, int n) { return _mm_srli_epi32(a, n); }
TP_SIMD_INLINE V Slli32(V a, int n) { return _mm_slli_epi32(a, n); }
TP_SIMD_INLINE V Srai32(V a, int n) { return _mm_srai_epi32(a, n); }
TP_SIMD_INLINE V Srai16(V a, int n) { return _mm_srai_epi16(a, n); }
TP_SIMD_INLINE V Mulhi16(V a, V b) { return _mm_mulhi_epi16(a, b); }
TP_SIMD_INLINE V MulhiU16(V a, V b) { return _mm_mulhi_epu16(a, b); }
TP_SIMD_INLINE V Xor(V a, V b) { return _mm_xor_si128(a, b); }
TP_SIMD_INLINE V SrliBytes3(V a) { return _mm_srli_si128(a, 3); }
TP_SIMD_INLINE V SrliBytes6(V a) { return _mm_srli_si128(a, 6); }
TP_SIMD_INLINE V SrliBytes8(V a) { return _mm_srli_si128(a, 8); }
TP_SIMD_INLINE V SrliBytes9(V a) { return _mm_srli_si128(a, 9); }
TP_SIMD_INLINE V Packs32(V a, V b) { return _mm_packs_epi32(a, b); }
TP_SIMD_INLINE V Packus16(V a, V b) { return _mm_packus_epi16(a, b); }
TP_SIMD_INLINE V UnpackLo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
TP_SIMD_INLINE V UnpackHi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
TP_SIMD_INLINE V UnpackLo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
TP_SIMD_INLINE V UnpackHi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
TP_SIMD_INLINE V UnpackLo32(V a, V b) { return _mm_unpacklo_epi32(a, b); }
TP_SIMD_INLINE V UnpackLo64(V a, V b) { return _mm_unpacklo_epi64(a, b); }

#include "pixels/PixelKernelsSimd.inc"

}  // namespace sse2

#if defined(__clang__)
#pragma clang attribute pop
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace avx2 {

using V = __m256i;
constexpr int kLanes = 2;

TP_SIMD_INLINE V Load(const void *p, ptrdiff_t stride) {
  const auto *b = static_cast<const uint8_t *>(p);
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(b))),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + stride)), 1);
}
TP_SIMD_INLINE V Load64(const void *p, ptrdiff_t stride) {
  const auto *b = static_cast<const uint8_t *>(p);
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(b))),
                                 _mm_loadl_epi64(reinterpret_cast<const __m128i *>(b + stride)), 1);
}
TP_SIMD_INLINE void Store(void *p, ptrdiff_t stride, V v) {
  auto *b = static_cast<uint8_t *>(p);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(b), _mm256_castsi256_si128(v));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(b + stride), _mm256_extracti128_si256(v, 1));
}
TP_SIMD_INLINE void Store64(void *p, ptrdiff_t stride, V v) {
  auto *b = static_cast<uint8_t *>(p);
  _mm_storel_epi64(reinterpret_cast<__m128i *>(b), _mm256_castsi256_si128(v));
  _mm_storel_epi64(reinterpret_cast<__m128i *>(b + stride), _mm256_extracti128_si256(v, 1));
}
TP_SIMD_INLINE V LoadWhole(const void *p) { return _mm256_loadu_si256(static_cast<const __m256i *>(p)); }
TP_SIMD_INLINE void StoreWhole(void *p, V v) { _mm256_storeu_si256(static_cast<__m256i *>(p), v); }
// A pack of two whole registers holds, lane by lane, 8 bytes of the first
// then 8 of the second: the quarters in order 0, 2, 1, 3.
TP_SIMD_INLINE V PackedInOrder(V v) { return _mm256_permute4x64_epi64(v, 0xD8); }
TP_SIMD_INLINE V Zero() { return _mm256_setzero_si256(); }
TP_SIMD_INLINE V Set1_16(int v) { return _mm256_set1_epi16(int16_t(v)); }
TP_SIMD_INLINE V Set1_32(int32_t v) { return _mm256_set1_epi32(v); }
TP_SIMD_INLINE V And(V a, V b) { return _mm256_and_si256(a, b); }
TP_SIMD_INLINE V Or(V a, V b) { return _mm256_or_si256(a, b); }
TP_SIMD_INLINE V Add16(V a, V b) { return _mm256_add_epi16(a, b); }
TP_SIMD_INLINE V Sub16(V a, V b) { return _mm256_sub_epi16(a, b); }
TP_SIMD_INLINE V Add32(V a, V b) { return _mm256_add_epi32(a, b); }
TP_SIMD_INLINE V Mullo16(V a, V b) { return _mm256_mullo_epi16(a, b); }
TP_SIMD_INLINE V Madd(V a, V b) { return _mm256_madd_epi16(a, b); }
TP_SIMD_INLINE V Avg8(V a, V b) { return _mm256_avg_epu8(a, b); }
TP_SIMD_INLINE V Srli16(V a, int n) { return _mm256_srli_epi16(a, n); }
TP_SIMD_INLINE V Slli16(V a, int n) { return _mm256_slli_epi16(a, n); }
TP_SIMD_INLINE V Srli32(V a, int n) { return _mm256_srli_epi32(a, n); }
TP_SIMD_INLINE V Slli32(V a, int n) { return _mm256_slli_epi32(a, n); }
TP_SIMD_INLINE V Srai32(V a, int n) { return _mm256_srai_epi32(a, n); }
TP_SIMD_INLINE V Srai16(V a, int n) { return _mm256_srai_epi16(a, n); }
TP_SIMD_INLINE V Mulhi16(V a, V b) { return _mm256_mulhi_epi16(a, b); }
TP_SIMD_INLINE V MulhiU16(V a, V b) { return _mm256_mulhi_epu16(a, b); }
TP_SIMD_INLINE V Xor(V a, V b) { return _mm256_xor_si256(a, b); }
TP_SIMD_INLINE V SrliBytes3(V a) { return _mm256_srli_si256(a, 3); }
TP_SIMD_INLINE V SrliBytes6(V a) { return _mm256_srli_si256(a, 6); }
TP_SIMD_INLINE V SrliBytes8(V a) { return _mm256_srli_si256(a, 8); }
TP_SIMD_INLINE V SrliBytes9(V a) { return _mm256_srli_si256(a, 9); }
TP_SIMD_INLINE V Packs32(V a, V b) { return _mm256_packs_epi32(a, b); }
TP_SIMD_INLINE V Packus16(V a, V b) { return _mm256_packus_epi16(a, b); }
TP_SIMD_INLINE V UnpackLo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
TP_SIMD_INLINE V UnpackHi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
TP_SIMD_INLINE V UnpackLo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
TP_SIMD_INLINE V UnpackHi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
TP_SIMD_INLINE V UnpackLo32(V a, V b) { return _mm256_unpacklo_epi32(a, b); }
TP_SIMD_INLINE V UnpackLo64(V a, V b) { return _mm256_unpacklo_epi64(a, b); }

#include "pixels/PixelKernelsSimd.inc"

}  // namespace avx2

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

}  // namespace

const PixelKernels *Sse2Kernels() {
  static const PixelKernels k{"sse2",
                              sse2::Unpack422,
                              sse2::SplitPairs,
                              sse2::Swap422,
                              sse2::InterpolateChromaRow,
                              sse2::YuvToBgra,
                              sse2::YuvPairsToBgra,
                              sse2::Rgb24ToBgra,
                              sse2::BgraToLuma,
                              sse2::ChromaFromSums,
                              sse2::BlendChroma,
                              sse2::UpsampleChroma,
                              sse2::PackYuyv};
  return __builtin_cpu_supports("sse2") ? &k : nullptr;
}

const PixelKernels *Avx2Kernels() {
  static const PixelKernels k{"avx2",
                              avx2::Unpack422,
                              avx2::SplitPairs,
                              avx2::Swap422,
                              avx2::InterpolateChromaRow,
                              avx2::YuvToBgra,
                              avx2::YuvPairsToBgra,
                              avx2::Rgb24ToBgra,
                              avx2::BgraToLuma,
                              avx2::ChromaFromSums,
                              avx2::BlendChroma,
                              avx2::UpsampleChroma,
                              avx2::PackYuyv};
  // The processor's flag is set only where the system saves the wide
  // registers too.
  return __builtin_cpu_supports("avx2") ? &k : nullptr;
}

}  // namespace tp::qt

#else

namespace tp::qt {
const PixelKernels *Sse2Kernels() { return nullptr; }
const PixelKernels *Avx2Kernels() { return nullptr; }
}  // namespace tp::qt

#endif
