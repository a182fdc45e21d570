// SSE2 versions of the streaming kernels, for x86 processors without AVX2
// (SSE2 is part of every x86-64 processor, and the Windows build requires it).
//
// The same design as the AVX2 versions (see lanes/lifting_16bit_lanes.inc for why
// 16-bit lanes are exact), with 8 lanes per vector: the block stage runs in 16-bit
// lanes and adds weighted blocks to the 32-bit sums with pmaddwd, two block
// rows per instruction. Where SSE2 lacks an instruction (16-bit abs, 32-bit
// multiply and min/max, gathers) it is built from others or done per lane.
#include "core/x86/stream_dsp_x86.h"
#include "core/x86/wide_quotients.h"

#include <emmintrin.h>
#include <string.h>

#define VELMORAINE_SSE2 __attribute__((target("sse2")))

namespace velmoraine {

namespace {

// ---- 16-bit lanes: the lifting DCT and the block stage ---------------------
using Vec = __m128i;
#define LANE_TARGET VELMORAINE_SSE2
#define LANE_OP(op) _mm_##op
#define LANE_BITS(op) _mm_##op##si128
#include "core/lanes/lane_ops.inc"
// SSE2 has no 16-bit magnitude: max(x, -x).
VELMORAINE_SSE2 inline Vec Abs16(Vec x) { return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x)); }

// Chunks of 8 blocks in plain lane order.
constexpr int kBlocks = 8;
VELMORAINE_SSE2 inline Vec LoadCoefficients(const int16_t* p) { return _mm_load_si128(reinterpret_cast<const Vec*>(p)); }

// No gathers: the 8 weights are looked up one by one.
VELMORAINE_SSE2 inline Vec BlockWeights(Vec kept, const int32_t* table, int32_t* weights) {
  alignas(16) int16_t count[8];
  _mm_store_si128(reinterpret_cast<Vec*>(count), _mm_add_epi16(Set16(64), kept));
  for (int i = 0; i < 8; ++i) weights[i] = table[count[i]];
  // Weights fit 16 bits (at most 16385).
  return _mm_packs_epi32(Load(weights), Load(weights + 4));
}

VELMORAINE_SSE2 inline Vec LoadWidenedBytes(const uint8_t* p) {
  return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
}

#include "core/lanes/lifting_16bit_lanes.inc"
#include "core/lanes/analyse_row.inc"
#include "core/lanes/block_stage.inc"

// ---- 32-bit lanes: k * x by shifts and adds, wrapping like a product -------
VELMORAINE_SSE2 inline Vec MulShr32(Vec x, int k, int s) {
  const Vec x2 = _mm_add_epi32(x, x);
  Vec p;
  if (k == 3) {
    p = _mm_add_epi32(x2, x);
  } else if (k == 11) {
    p = _mm_add_epi32(_mm_slli_epi32(x, 3), _mm_add_epi32(x2, x));
  } else if (k == 13) {
    p = _mm_add_epi32(_mm_slli_epi32(x, 3), _mm_add_epi32(_mm_slli_epi32(x, 2), x));
  } else {  // 15
    p = _mm_sub_epi32(_mm_slli_epi32(x, 4), x);
  }
  return _mm_srai_epi32(p, s);
}
#include "core/lanes/lifting_32bit_lanes.inc"
constexpr int kSums = 4;
#include "core/lanes/synthesize_row_scratch.inc"
#undef LANE_TARGET
#undef LANE_OP
#undef LANE_BITS

// Double division truncates exactly (proof beside the AVX2 version).
VELMORAINE_SSE2 void NormalizeRowSse2(int32_t* pixel, const int32_t* columnWeights, int32_t W) {
  const __m128d sixteen = _mm_set1_pd(16.0);
  const __m128i one = _mm_set1_epi32(1), zero = _mm_setzero_si128(), indefinite = _mm_set1_epi32(INT32_MIN);
  for (int32_t x0 = 0; x0 < W; x0 += 4) {
    __m128i D = _mm_loadu_si128(reinterpret_cast<const __m128i*>(columnWeights + x0));
    for (int i = 1; i < 8; ++i)
      D = _mm_add_epi32(D, _mm_loadu_si128(reinterpret_cast<const __m128i*>(columnWeights + x0 - i)));
    D = _mm_add_epi32(D, _mm_and_si128(_mm_cmpeq_epi32(D, zero), one));  // lanes past the row only
    const __m128i A = _mm_load_si128(reinterpret_cast<const __m128i*>(pixel + x0));
    const __m128i low = _mm_cvttpd_epi32(_mm_div_pd(_mm_mul_pd(_mm_cvtepi32_pd(A), sixteen), _mm_cvtepi32_pd(D)));
    const __m128i high = _mm_cvttpd_epi32(_mm_div_pd(_mm_mul_pd(_mm_cvtepi32_pd(_mm_srli_si128(A, 8)), sixteen),
                                                     _mm_cvtepi32_pd(_mm_srli_si128(D, 8))));
    const __m128i N = _mm_unpacklo_epi64(low, high);
    _mm_store_si128(reinterpret_cast<__m128i*>(pixel + x0), N);
    const int wide = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(N, indefinite)));
    if (wide != 0) {
      alignas(16) int32_t a[4], d[4];
      Store(a, A), Store(d, D);
      RedoWideQuotients(pixel + x0, a, d, wide, W - x0 < 4 ? W - x0 : 4);
    }
  }
}

}  // namespace

void InitStreamDspSse2(StreamDsp& dsp) {
  dsp.analyseRow = AnalyseRowLanes;
  dsp.accumulateBlockRows = AccumulateBlockRowsLanes;
  dsp.synthesizeRow = SynthesizeRowThroughScratch;
  dsp.normalizeRow = NormalizeRowSse2;
}

}  // namespace velmoraine
