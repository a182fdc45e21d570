// SSE2 versions of the wide pass's kernels (planes of 9..16-bit words), for
// x86 processors without AVX2.
//
// The same lanes as the AVX2 versions (the bounds are given in
// lanes/wide_lanes.inc): the transforms and the shrinkage in 32-bit lanes, 4 block
// positions per vector, and the weighted sums and the inverse row transform
// in 64-bit lanes, 2 per vector. SSE2 lacks several of the instructions those
// use, and they are built from others:
// - k * x in the lifting steps (k = 3, 11, 13, 15) from shifts and adds,
//   which wrap like the product (and never need to: |x| < 2^22);
// - |C| > t as an unsigned comparison (see KeepMask32);
// - the signed m * B in 64 bits from the unsigned pmuludq: B + 2^31 (the
//   sign bit flipped) is B as an unsigned number whatever B is, and every
//   row of sums then takes back 2^31 times the weights it received;
// - the 64-bit arithmetic shift from the logical one (see Sra64);
// - the weight lookups one lane at a time.
// The requantisation stays the plain one.
#include "core/x86/stream_dsp_x86.h"
#include "core/wide_bounds.h"

#include <emmintrin.h>
#include <string.h>

#define VELMORAINE_SSE2 __attribute__((target("sse2")))

namespace velmoraine {

namespace {

using Vec = __m128i;
#define LANE_TARGET VELMORAINE_SSE2
#define LANE_OP(op) _mm_##op
#define LANE_BITS(op) _mm_##op##si128
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

constexpr int kLanes = 4;  // 32-bit lanes of a Vec: block positions per chunk

VELMORAINE_SSE2 inline Vec WidenWords(const uint16_t* p) {
  return _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const Vec*>(p)), _mm_setzero_si128());
}
// No 32-bit abs or unsigned compare: |C| > t is C + t > 2t as unsigned
// numbers (C + t wraps below 0 when C < -t), and an unsigned comparison is
// the signed one of both sides with the sign bit flipped. thresholds[k]
// holds t + 2^31 (the flipped sum in one addition), thresholds[64 + k] holds
// 2t + 2^31. Exact while C + t and 2t stay within 32 bits: |C| < 2^22 (the
// lane bound), and t is capped at 2^22, above which nothing is kept anyway.
VELMORAINE_SSE2 inline Vec KeepMask32(Vec C, const Vec* thresholds, int k) {
  return _mm_cmpgt_epi32(_mm_add_epi32(C, thresholds[k]), thresholds[64 + k]);
}
VELMORAINE_SSE2 inline Vec Add64(Vec a, Vec b) { return _mm_add_epi64(a, b); }
VELMORAINE_SSE2 inline Vec Sub64(Vec a, Vec b) { return _mm_sub_epi64(a, b); }
VELMORAINE_SSE2 inline Vec Shl64(Vec x, int s) { return _mm_slli_epi64(x, s); }
// floor(x / 2^s) from the logical shift: flipping the sign bit adds 2^63
// (modulo 2^64), which makes x + 2^63 non-negative, and its logical shift is
// floor(x / 2^s) + 2^(63 - s), taken off again.
VELMORAINE_SSE2 inline Vec Sra64(Vec x, int s) {
  const Vec signBit = _mm_set1_epi64x(INT64_MIN);
  return _mm_sub_epi64(_mm_srli_epi64(_mm_xor_si128(x, signBit), s), _mm_srli_epi64(signBit, s));
}
#include "core/lanes/wide_lanes.inc"

// Lanes 1 and 3 of x where pmuludq reads (lanes 0 and 2): pshufd leaves x
// in its register, where a shift would take a copy first.
VELMORAINE_SSE2 inline Vec OddLanes(Vec x) { return _mm_shuffle_epi32(x, _MM_SHUFFLE(3, 3, 1, 1)); }

// Adds the block rows of a band, B[j][8u + r] weighing weights[j] (0 ..
// 16385), to sums rows 0 .. rows+6: sums row k receives row k - j of block
// row j. pmuludq multiplies the even lanes (the odd ones shifted down) as
// unsigned numbers, so each B goes in as B + 2^31, exact in 64 bits (below
// 2^46), and a row of sums starts from -2^31 times the weights it receives.
// The even and odd sums are put back in lane order once per row of sums.
VELMORAINE_SSE2 void AddWideSums(int64_t* const* accumRows, ptrdiff_t offset, ptrdiff_t stride, int32_t rows,
                                 const Vec (*B)[64], const Vec* weights) {
  Vec oddWeights[8], startEven[15], startOdd[15];
  for (int32_t j = 0; j < rows; ++j) oddWeights[j] = _mm_srli_epi64(weights[j], 32);
  const Vec lowHalves = _mm_set_epi32(0, -1, 0, -1);
  for (int32_t k = 0; k < rows + 7; ++k) {
    Vec total = Zero();  // at most 8 * 16385
    const int32_t first = k > 7 ? k - 7 : 0, last = k < rows - 1 ? k : rows - 1;
    for (int32_t j = first; j <= last; ++j) total = Add32(total, weights[j]);
    startEven[k] = _mm_sub_epi64(Zero(), _mm_slli_epi64(And(total, lowHalves), 31));
    startOdd[k] = _mm_sub_epi64(Zero(), _mm_slli_epi64(_mm_srli_epi64(total, 32), 31));
  }
  const Vec signBit = _mm_set1_epi32(INT32_MIN);
  for (int u = 0; u < 8; ++u) {
    for (int32_t k = 0; k < rows + 7; ++k) {
      Vec even = startEven[k], odd = startOdd[k];
      const int32_t first = k > 7 ? k - 7 : 0, last = k < rows - 1 ? k : rows - 1;
      for (int32_t j = first; j <= last; ++j) {
        const Vec b = _mm_xor_si128(B[j][8 * u + k - j], signBit);
        even = _mm_add_epi64(even, _mm_mul_epu32(b, weights[j]));
        odd = _mm_add_epi64(odd, _mm_mul_epu32(OddLanes(b), oddWeights[j]));
      }
      Vec* sums = reinterpret_cast<Vec*>(accumRows[k] + u * stride + offset);
      _mm_storeu_si128(sums, _mm_add_epi64(_mm_loadu_si128(sums), _mm_unpacklo_epi64(even, odd)));
      _mm_storeu_si128(sums + 1, _mm_add_epi64(_mm_loadu_si128(sums + 1), _mm_unpackhi_epi64(even, odd)));
    }
  }
}

// The same for a light band, whose sums of weighted blocks fit 32 bits (the
// bound of the AVX2 version's light path): then only the low halves of the
// products count, and pmuludq's low half is the signed product's, so B goes
// in as it is and the sums need no start. Each sum is widened once to add
// to the 64-bit sums.
constexpr int32_t kLightWeights = 512;  // as in the AVX2 version
static_assert(kLightWeights <= kLightWeightsLimit, "light sums would leave their 32-bit lanes");
VELMORAINE_SSE2 void AddLightWideSums(int64_t* const* accumRows, ptrdiff_t offset, ptrdiff_t stride, int32_t rows,
                                      const Vec (*B)[64], const Vec* weights) {
  Vec oddWeights[8];
  for (int32_t j = 0; j < rows; ++j) oddWeights[j] = _mm_srli_epi64(weights[j], 32);
  for (int u = 0; u < 8; ++u) {
    for (int32_t k = 0; k < rows + 7; ++k) {
      Vec even = Zero(), odd = Zero();  // the low half of each 64-bit lane counts
      const int32_t first = k > 7 ? k - 7 : 0, last = k < rows - 1 ? k : rows - 1;
      for (int32_t j = first; j <= last; ++j) {
        const Vec b = B[j][8 * u + k - j];
        even = Add32(even, _mm_mul_epu32(b, weights[j]));
        odd = Add32(odd, _mm_mul_epu32(OddLanes(b), oddWeights[j]));
      }
      // The sums of blocks 0, 1, 2, 3 in order, each with its sign spread
      // over the high half of its 64-bit lane.
      const Vec sum = _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(3, 1, 2, 0)),
                                         _mm_shuffle_epi32(odd, _MM_SHUFFLE(3, 1, 2, 0)));
      const Vec sign = _mm_srai_epi32(sum, 31);
      Vec* sums = reinterpret_cast<Vec*>(accumRows[k] + u * stride + offset);
      _mm_storeu_si128(sums, _mm_add_epi64(_mm_loadu_si128(sums), _mm_unpacklo_epi32(sum, sign)));
      _mm_storeu_si128(sums + 1, _mm_add_epi64(_mm_loadu_si128(sums + 1), _mm_unpackhi_epi32(sum, sign)));
    }
  }
}

// The block stage of one band (see AccumulateBlockRowsWideFn), column chunk
// by column chunk.
VELMORAINE_SSE2 void AccumulateBlockRowsWideSse2(const int32_t* const* coeffRows, int64_t* const* accumRows,
                                                 int32_t* const* weightRows, int32_t rows, int32_t blocks,
                                                 ptrdiff_t stride, const WideBlockStageTables& tables) {
  if (rows < 1 || rows > 8) return;  // a band has 1..8 block rows (see block_stage.inc)
  Vec thresholds[128];  // t + 2^31, then 2t + 2^31 (see KeepMask32)
  for (int k = 0; k < 64; ++k) {
    const int32_t t = tables.threshold[k] > 1 ? tables.threshold[k] - 1 : 0;
    const uint32_t capped = t < (1 << 22) ? static_cast<uint32_t>(t) : uint32_t{1} << 22;
    thresholds[k] = _mm_set1_epi32(static_cast<int32_t>(capped ^ 0x80000000u));
    thresholds[64 + k] = _mm_set1_epi32(static_cast<int32_t>((2 * capped) ^ 0x80000000u));
  }
  Vec chunk[15 * 8];  // row coefficients of the chunk, [8 * row + u]
  Vec B[8][64];       // inverse column transforms of the band's block rows, [8 * u + r]
  Vec weights[8];
  alignas(16) int32_t zeros[kLanes], laneWeights[kLanes];
  const Vec all = _mm_set1_epi32(64), light = _mm_set1_epi32(kLightWeights);
  for (int32_t x0 = 0; x0 < blocks; x0 += kLanes) {
    // The lines of the 120 streams a few chunks on are asked for now (see
    // the AVX2 version).
    for (int32_t r = 0; r < rows + 7; ++r) {
      for (int u = 0; u < 8; ++u) {
        chunk[8 * r + u] = LoadUnaligned(coeffRows[r] + u * stride + x0);
        _mm_prefetch(reinterpret_cast<const char*>(coeffRows[r] + u * stride + x0 + 8 * kLanes), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(accumRows[r] + u * stride + x0 + 8 * kLanes), _MM_HINT_T0);
      }
    }
    Vec total = Zero();  // as in the AVX2 version
    for (int32_t j = 0; j < rows; ++j) {
      const Vec zeroCount = Add32(all, TransformWideBlockRow(chunk + 8 * j, thresholds, B[j]));
      Store(zeros, zeroCount);
      for (int i = 0; i < kLanes; ++i) laneWeights[i] = tables.weightOfZeros[zeros[i]];
      weights[j] = Load(laneWeights);
      StoreUnaligned(weightRows[j] + x0, weights[j]);
      total = Add32(total, _mm_andnot_si128(_mm_cmpeq_epi32(zeroCount, all), weights[j]));
    }
    if (_mm_movemask_epi8(_mm_cmpgt_epi32(total, light)) == 0) {
      AddLightWideSums(accumRows, x0, stride, rows, B, weights);
    } else {
      AddWideSums(accumRows, x0, stride, rows, B, weights);
    }
  }
}

// values = (16 * sums) / D by double division, 2 lanes at a time, exact as
// in the AVX2 version (proof there) for |A| < 2^47. Without a 64-bit compare
// the range is checked as A + 2^47 < 2^48: its top 16 bits are 0. Lanes
// outside it, or whose quotient leaves 32 bits (INT32_MIN back), are redone
// in 64-bit integers; the pass produces neither.
VELMORAINE_SSE2 void NormalizeRowWideSse2(const int64_t* sums, const int32_t* columnWeights, int32_t W,
                                          int32_t* values) {
  const Vec bias = _mm_set1_epi64x(0x4338000000000000);
  const __m128d biasDouble = _mm_castsi128_pd(bias);
  const Vec half = _mm_set1_epi64x(int64_t{1} << 47);
  const Vec one = _mm_set1_epi32(1), indefinite = _mm_set1_epi32(INT32_MIN);
  for (int32_t x0 = 0; x0 < W; x0 += 2) {
    Vec D = _mm_loadl_epi64(reinterpret_cast<const Vec*>(columnWeights + x0));
    for (int i = 1; i < 8; ++i) D = Add32(D, _mm_loadl_epi64(reinterpret_cast<const Vec*>(columnWeights + x0 - i)));
    D = _mm_add_epi32(D, And(_mm_cmpeq_epi32(D, Zero()), one));  // lanes past the row only
    const Vec A = _mm_loadu_si128(reinterpret_cast<const Vec*>(sums + x0));
    const Vec top = _mm_srli_epi64(_mm_add_epi64(A, half), 48);
    const __m128d numerator = _mm_sub_pd(_mm_castsi128_pd(_mm_add_epi64(_mm_slli_epi64(A, 4), bias)), biasDouble);
    const Vec N = _mm_cvttpd_epi32(_mm_div_pd(numerator, _mm_cvtepi32_pd(D)));
    _mm_storel_epi64(reinterpret_cast<Vec*>(values + x0), N);
    // Bits 0 and 2 set where the lane's A lies inside; bits 0 and 1 of the
    // second mask where its quotient left 32 bits.
    const int inside = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(top, Zero())));
    const int redo = (~inside & 1) | (~inside >> 1 & 2) |
                     _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(N, indefinite)));
    for (int32_t i = 0; i < 2 && x0 + i < W; ++i) {
      if ((redo >> i & 1) == 0) continue;
      int64_t divisor = 0;
      for (int k = 0; k < 8; ++k) divisor += columnWeights[x0 + i - k];
      values[x0 + i] = static_cast<int32_t>(16 * sums[x0 + i] / divisor);
    }
  }
}

#undef LANE_TARGET
#undef LANE_OP
#undef LANE_BITS

}  // namespace

void InitWideStreamDspSse2(StreamDsp& dsp) {
  dsp.analyseRowWide = AnalyseRowWideLanes;
  dsp.accumulateBlockRowsWide = AccumulateBlockRowsWideSse2;
  dsp.synthesizeRowWide = SynthesizeRowWideLanes;
  dsp.normalizeRowWide = NormalizeRowWideSse2;
}

}  // namespace velmoraine
