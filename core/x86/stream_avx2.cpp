// AVX2 versions of the streaming kernels.
//
// Lanes are block positions: one vector holds the same frequency of 16
// adjacent segments (16-bit lanes) or 8 (32-bit lanes), so every step of the
// transforms runs unchanged across the lanes. The instruction set is enabled
// per function, so this file builds with the same flags as the rest of core/
// and is only entered after the processor has been checked.
//
// Where 16 bits hold every value. The forward row transform of 8-bit samples,
// the forward column transform of its coefficients and the inverse column
// transform of any subset of those column coefficients stay within +-16320 at
// every step. The bound comes from affine arithmetic over every step (each
// value a linear form of the inputs plus an interval for what the shifts
// drop), checked by tests/checkasm/lane_bounds_test.cpp. So the whole block
// stage runs in 16-bit lanes. Products k * x do not fit 16 bits (13 * 4080
// does not), but each is only ever used as (k * x) >> s, which equals the high
// half of the 16-bit product x * (k << (16 - s)) exactly:
//   floor(k * x / 2^s) = floor(x * k * 2^(16-s) / 2^16).
// For (11 * x) >> 4 the factor 11 << 12 does not fit a signed 16-bit lane, so
// it is x + ((-5 * x) >> 4), equal since x is an integer. Weighted blocks are
// added to 32-bit sums with pmaddwd, two block rows per instruction:
// m * B + m' * B' stays below 2 * 16385 * 16320 < 2^31. The sums themselves
// wrap modulo 2^32 like the reference's.
#include "core/requantize.h"
#include "core/stream_dsp.h"
#include "core/x86/wide_quotients.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))

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
#include "core/x86/lane_ops.inc"
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

#include "core/x86/lifting_16bit_lanes.inc"
#include "core/x86/analyse_row.inc"
#include "core/x86/block_stage.inc"

// ---- 32-bit lanes: products wrap modulo 2^32 like the reference's ----------
VELMORAINE_AVX2 inline Vec MulShr32(Vec x, int k, int s) {
  return _mm256_srai_epi32(_mm256_mullo_epi32(x, _mm256_set1_epi32(k)), s);
}
#include "core/x86/lifting_32bit_lanes.inc"
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
#include "core/x86/synthesize_row.inc"
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

// Truncating division by 16 of signed lanes: bias negative values by 15.
VELMORAINE_AVX2 inline __m256i DivideBy16(__m256i x) {
  return _mm256_srai_epi32(_mm256_add_epi32(x, _mm256_and_si256(_mm256_srai_epi32(x, 31), _mm256_set1_epi32(15))), 4);
}

VELMORAINE_AVX2 void RequantizeRowAvx2(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                                       const int32_t* errorsTwoAbove, uint8_t* out, int32_t W, int32_t y, int32_t H) {
  if (y < 1 || y > H - 2) return RequantizeOuterRow(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H);
  const __m256i low = _mm256_set1_epi32(-65536), high = _mm256_set1_epi32(131072);
  const __m256i zero = _mm256_setzero_si256(), top = _mm256_set1_epi32(65535);
  __m256i largest = zero;
  int32_t x = 3;
  for (; x + 7 <= W - 5; x += 8) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + x));
    v = _mm256_min_epi32(_mm256_max_epi32(v, low), high);
    const __m256i left = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(errorsAbove + x - 3));
    const __m256i middle = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(errorsAbove + x));
    const __m256i right = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(errorsAbove + x + 3));
    v = _mm256_add_epi32(v, DivideBy16(_mm256_add_epi32(_mm256_slli_epi32(left, 1), left)));
    v = _mm256_min_epi32(_mm256_max_epi32(v, zero), top);
    v = _mm256_add_epi32(v, DivideBy16(_mm256_add_epi32(_mm256_slli_epi32(middle, 2), middle)));
    v = _mm256_min_epi32(_mm256_max_epi32(v, zero), top);
    v = _mm256_add_epi32(v, DivideBy16(right));
    v = _mm256_min_epi32(_mm256_max_epi32(v, zero), top);
    largest = _mm256_max_epi32(largest, v);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(values + x), v);
  }
  alignas(32) int32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), largest);
  int32_t largestPulled = PullSharesFromAbove(values, errorsAbove, x, W - 5);
  for (int i = 0; i < 8; ++i) largestPulled = lanes[i] > largestPulled ? lanes[i] : largestPulled;
  RequantizeInnerRowScan(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H, largestPulled);
}

}  // namespace

void InitStreamDspAvx2(StreamDsp& dsp) {
  dsp.analyseRow = AnalyseRowLanes;
  dsp.accumulateBlockRows = AccumulateBlockRowsLanes;
  dsp.synthesizeRow = SynthesizeRowLanes;
  dsp.normalizeRow = NormalizeRowAvx2;
  dsp.requantizeRow = RequantizeRowAvx2;
}

}  // namespace velmoraine

#else
// Not an x86 processor (or no GNU-style compiler): nothing to add.
void velmoraine::InitStreamDspAvx2(StreamDsp&) {}
#endif
