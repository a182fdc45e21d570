// AVX2 versions of the streaming kernels.
//
// Lanes are block positions: one vector holds the same frequency of 16
// adjacent segments (16-bit lanes) or 8 (32-bit lanes), so every step of the
// transforms runs unchanged across the lanes. The instruction set is enabled
// per function, so this file builds with the same flags as the rest of core/
// and is only entered after the processor has been checked. Why 16-bit lanes
// are exact: core/lanes/lifting_16bit_lanes.inc.
#include "core/x86/stream_dsp_x86.h"
#include "core/x86/wide_quotients.h"

#include <immintrin.h>
#include <string.h>

#define VELMORAINE_AVX2 __attribute__((target("avx2")))

namespace velmoraine {

namespace {

// ---- 16-bit lanes: the lifting DCT and the block stage ---------------------
using Vec = __m256i;
#define LANE_TARGET VELMORAINE_AVX2
#define LANE_OP(op) _mm256_##op
#define LANE_BITS(op) _mm256_##op##si256
#include "core/lanes/lane_ops.inc"
VELMORAINE_AVX2 inline Vec Abs16(Vec x) { return _mm256_abs_epi16(x); }

// A chunk's lanes hold its quarters in the order (0, 2 | 1, 3). Every
// transform step is per lane, so the order only matters where pmaddwd pairs
// lanes: the 16-bit interleaves work within 128-bit halves, and in this order
// the low interleave holds blocks 0..7 and the high one 8..15, in plain order.
constexpr int kBlocks = 16;
VELMORAINE_AVX2 inline Vec LoadCoefficients(const int16_t* p) {
  return _mm256_permute4x64_epi64(_mm256_load_si256(reinterpret_cast<const Vec*>(p)), 0xD8);
}

VELMORAINE_AVX2 inline Vec BlockWeights(Vec kept, const int32_t* table, int32_t* weights) {
  const Vec count = _mm256_add_epi16(Set16(64), kept);
  const int* entries = reinterpret_cast<const int*>(table);
  // count holds quarters (0, 2 | 1, 3): its low half converts to the weights
  // of quarters 0 and 2, its high half to those of 1 and 3.
  const Vec weights02 = _mm256_i32gather_epi32(entries, _mm256_cvtepi16_epi32(_mm256_castsi256_si128(count)), 4);
  const Vec weights13 = _mm256_i32gather_epi32(entries, _mm256_cvtepi16_epi32(_mm256_extracti128_si256(count, 1)), 4);
  Store(weights, _mm256_permute2x128_si256(weights02, weights13, 0x20));
  Store(weights + 8, _mm256_permute2x128_si256(weights02, weights13, 0x31));
  // packs interleaves per 128-bit half, giving quarters in plain order; the
  // chunk's lanes want them reordered again.
  return _mm256_permute4x64_epi64(_mm256_packs_epi32(weights02, weights13), 0xD8);
}

VELMORAINE_AVX2 inline Vec LoadWidenedBytes(const uint8_t* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

#include "core/lanes/lifting_16bit_lanes.inc"
#include "core/lanes/analyse_row.inc"
#include "core/lanes/block_stage.inc"

// ---- 32-bit lanes: products wrap modulo 2^32 like the reference's ----------
VELMORAINE_AVX2 inline Vec MulShr32(Vec x, int k, int s) {
  return _mm256_srai_epi32(_mm256_mullo_epi32(x, _mm256_set1_epi32(k)), s);
}
#include "core/lanes/lifting_32bit_lanes.inc"
// Lanes 8 - j .. 15 - j of previous:current, across the 128-bit halves.
constexpr int kSums = 8;
VELMORAINE_AVX2 inline __m256i CutOutput(__m256i current, __m256i previous, int j) {
  const __m256i middle = _mm256_permute2x128_si256(previous, current, 0x21);
  switch (j) {
    case 1: return _mm256_alignr_epi8(current, middle, 12);
    case 2: return _mm256_alignr_epi8(current, middle, 8);
    case 3: return _mm256_alignr_epi8(current, middle, 4);
    case 4: return middle;
    case 5: return _mm256_alignr_epi8(middle, previous, 12);
    case 6: return _mm256_alignr_epi8(middle, previous, 8);
    default: return _mm256_alignr_epi8(middle, previous, 4);
  }
}
#include "core/lanes/synthesize_row.inc"
#undef LANE_TARGET
#undef LANE_OP
#undef LANE_BITS

// The quotient by double division truncates exactly: 16A and D are exact in
// double (|16A| <= 2^35, 1 <= D <= 1,048,640), and the correctly rounded
// quotient is within |16A/D| * 2^-53 <= 2^-18 / D of the true one, less than
// the distance 1/D from a non-integer quotient to the nearest integer. So it
// never rounds onto or across an integer, and truncation gives the integer
// quotient. A quotient outside 32 bits comes back as INT32_MIN; such lanes
// (none for sums the pass produces) are redone in 64-bit integers.
VELMORAINE_AVX2 void NormalizeRowAvx2(int32_t* pixel, const int32_t* columnWeights, int32_t W) {
  const __m256d sixteen = _mm256_set1_pd(16.0);
  const __m256i one = _mm256_set1_epi32(1), indefinite = _mm256_set1_epi32(INT32_MIN);
  for (int32_t x0 = 0; x0 < W; x0 += 8) {
    __m256i D = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(columnWeights + x0));
    for (int i = 1; i < 8; ++i)
      D = _mm256_add_epi32(D, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(columnWeights + x0 - i)));
    D = _mm256_max_epi32(D, one);  // lanes past the row only
    const __m256i A = _mm256_load_si256(reinterpret_cast<const __m256i*>(pixel + x0));
    const __m128i low = _mm256_cvttpd_epi32(_mm256_div_pd(
        _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(A)), sixteen), _mm256_cvtepi32_pd(_mm256_castsi256_si128(D))));
    const __m128i high = _mm256_cvttpd_epi32(_mm256_div_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(A, 1)), sixteen),
                                                           _mm256_cvtepi32_pd(_mm256_extracti128_si256(D, 1))));
    const __m256i N = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
    _mm256_store_si256(reinterpret_cast<__m256i*>(pixel + x0), N);
    const int wide = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(N, indefinite)));
    if (wide != 0) {
      alignas(32) int32_t a[8], d[8];
      Store(a, A), Store(d, D);
      RedoWideQuotients(pixel + x0, a, d, wide, W - x0 < 8 ? W - x0 : 8);
    }
  }
}

}  // namespace

void InitStreamDspAvx2(StreamDsp& dsp) {
  dsp.analyseRow = AnalyseRowLanes;
  dsp.accumulateBlockRows = AccumulateBlockRowsLanes;
  dsp.synthesizeRow = SynthesizeRowLanes;
  dsp.normalizeRow = NormalizeRowAvx2;
  dsp.requantizeRow = RequantizeRowAvx2;  // requantize_avx2.cpp
}

}  // namespace velmoraine
