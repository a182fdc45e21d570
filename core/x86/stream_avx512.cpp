// AVX-512 versions of the block stage and the row synthesis, for processors
// with AVX-512 F, BW, VL and VNNI (and AVX2, whose kernels it joins for the
// other stages).
//
// The transforms and the block stage of the AVX2 version (see
// lanes/lifting_16bit_lanes.inc for why 16-bit lanes are exact) on 512-bit vectors, 32
// block positions each, with what AVX-512 adds:
//   - shrinkage compares into a mask register and counts the kept lanes with a
//     masked subtraction; the zeroing is left to the operations of the inverse
//     transform that read the coefficient (masked adds, zero-masked products
//     and shifts). That is 3 instructions a coefficient instead of 4, and one
//     step less in the column's chain;
//   - the weighted blocks go into the sums by vpdpwssd, pmaddwd and the
//     addition in one instruction;
//   - 32 vector registers, which hold two columns at once in 64-bit code, so
//     that the chains of the two overlap (lanes/block_stage.inc).
// Processors of the Zen 4 generation split 512-bit operations into two
// 256-bit halves; there the same code on 256-bit vectors (16 blocks) took
// 3 % more time than on 512-bit ones.
#include "core/x86/stream_dsp_x86.h"

// GCC 12's headers leave a variable uninitialised on purpose in the 512-bit
// intrinsics (_mm512_undefined_*), which -Wmaybe-uninitialized reports
// wherever they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#define VELMORAINE_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512vnni")))

namespace velmoraine {

namespace {

using Vec = __m512i;
#define LANE_TARGET VELMORAINE_AVX512
#define LANE_MASK __mmask32
#define LANE_OP(op) _mm512_##op
#define LANE_BITS(op) _mm512_##op##si512
#include "core/lanes/lane_ops.inc"

// A chunk's lanes hold its eighths (4 blocks each) in the order
// (0, 4 | 1, 5 | 2, 6 | 3, 7): the 16-bit interleaves work within 128-bit
// quarters, and in this order the low interleave holds blocks 0..15 and the
// high one 16..31, in plain order.
constexpr int kBlocks = 32;
VELMORAINE_AVX512 inline Vec LoadCoefficients(const int16_t* p) {
  return _mm512_permutexvar_epi64(_mm512_set_epi64(7, 3, 6, 2, 5, 1, 4, 0), _mm512_loadu_si512(p));
}

VELMORAINE_AVX512 inline Vec BlockWeights(Vec kept, const int32_t* table, int32_t* weights) {
  // The zero counts back in plain order, each half widened and looked up.
  const Vec count = _mm512_permutexvar_epi64(_mm512_set_epi64(7, 5, 3, 1, 6, 4, 2, 0), _mm512_add_epi16(Set16(64), kept));
  const Vec low = _mm512_i32gather_epi32(_mm512_cvtepi16_epi32(_mm512_castsi512_si256(count)), table, 4);
  const Vec high = _mm512_i32gather_epi32(_mm512_cvtepi16_epi32(_mm512_extracti64x4_epi64(count, 1)), table, 4);
  StoreUnaligned(weights, low);
  StoreUnaligned(weights + 16, high);
  // packs interleaves per 128-bit quarter, which gives the chunk's order.
  return _mm512_packs_epi32(low, high);
}

#include "core/lanes/lifting_16bit_lanes.inc"
#include "core/lanes/block_stage.inc"

// ---- 32-bit lanes: the inverse row transform, 16 segments a vector --------
VELMORAINE_AVX512 inline Vec MulShr32(Vec x, int k, int s) {
  return _mm512_srai_epi32(_mm512_mullo_epi32(x, _mm512_set1_epi32(k)), s);
}
#include "core/lanes/lifting_32bit_lanes.inc"

// Lanes 16 - j .. 31 - j of previous:current, one valignd. On Zen 4 the row
// synthesis on 512-bit vectors takes 17 % less time than on 256-bit ones in
// 64-bit code, and 11 % less in 32-bit code.
constexpr int kSums = 16;
VELMORAINE_AVX512 inline Vec CutOutput(Vec current, Vec previous, int j) {
  switch (j) {
    case 1: return _mm512_alignr_epi32(current, previous, 15);
    case 2: return _mm512_alignr_epi32(current, previous, 14);
    case 3: return _mm512_alignr_epi32(current, previous, 13);
    case 4: return _mm512_alignr_epi32(current, previous, 12);
    case 5: return _mm512_alignr_epi32(current, previous, 11);
    case 6: return _mm512_alignr_epi32(current, previous, 10);
    default: return _mm512_alignr_epi32(current, previous, 9);
  }
}
#include "core/lanes/synthesize_row.inc"

}  // namespace

void InitStreamDspAvx512(StreamDsp& dsp) {
  dsp.accumulateBlockRows = AccumulateBlockRowsLanes;
  dsp.synthesizeRow = SynthesizeRowLanes;
}

}  // namespace velmoraine
