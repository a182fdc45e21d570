// AVX2 versions of the wide pass's kernels (planes of 9..16-bit words).
//
// Lanes are block positions, as in the 8-bit kernels: one vector holds the
// same frequency of 8 adjacent segments in 32-bit lanes, or of 4 in 64-bit
// lanes.
//
// Why 32 and 64 bits hold every value: core/lanes/wide_lanes.inc. AVX2 has
// no 64-bit multiply or arithmetic shift: k * x in 64-bit lanes is built from
// shifts and adds and the floor shift from a logical shift with the sign
// filled in.
#include "core/x86/stream_dsp_x86.h"
#include "core/wide_bounds.h"

#include <immintrin.h>
#include <string.h>

#define VELMORAINE_AVX2 __attribute__((target("avx2")))

namespace velmoraine {

namespace {

using Vec = __m256i;
#define LANE_TARGET VELMORAINE_AVX2
#define LANE_OP(op) _mm256_##op
#define LANE_BITS(op) _mm256_##op##si256
// GCC turns a multiply by a known constant into shifts and adds: 4
// instructions and a chain of 3 for 11 and 13, where vpmulld is one (and the
// block stage is bound by its instructions: about 10 % faster with vpmulld).
// The empty asm hides those two constants from it; 3 and 15 stay a shift and
// an add, no slower than the multiply.
VELMORAINE_AVX2 inline Vec MulShr32(Vec x, int k, int s) {
  Vec m = _mm256_set1_epi32(k);
  if (k == 11 || k == 13) __asm__("" : "+x"(m));
  return _mm256_srai_epi32(_mm256_mullo_epi32(x, m), s);
}

constexpr int kLanes = 8;  // 32-bit lanes of a Vec: block positions per chunk

VELMORAINE_AVX2 inline Vec WidenWords(const uint16_t* p) {
  return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
VELMORAINE_AVX2 inline Vec KeepMask32(Vec C, const Vec* thresholds, int k) {
  return _mm256_cmpgt_epi32(_mm256_abs_epi32(C), thresholds[k]);
}
VELMORAINE_AVX2 inline Vec Add64(Vec a, Vec b) { return _mm256_add_epi64(a, b); }
VELMORAINE_AVX2 inline Vec Sub64(Vec a, Vec b) { return _mm256_sub_epi64(a, b); }
VELMORAINE_AVX2 inline Vec Shl64(Vec x, int s) { return _mm256_slli_epi64(x, s); }
// floor(x / 2^s) for s < 32: of x = h * 2^32 + l, the low half is that of the
// logical shift and the high half is h shifted arithmetically.
VELMORAINE_AVX2 inline Vec Sra64(Vec x, int s) {
  return _mm256_blend_epi32(_mm256_srli_epi64(x, s), _mm256_srai_epi32(x, s), 0xAA);
}
#include "core/lanes/wide_lanes.inc"

// Adds the block rows of a band, B[j][8u + r] weighing weights[j], to sums
// rows 0 .. rows+6: sums row k receives row k - j of block row j. Each
// product m * B is exact in 64 bits (vpmuldq on the even lanes and on the odd
// ones shifted down); the even and odd sums are put back in lane order once
// per row of sums, which is loaded and stored once a band.
// kRows as for AddLightWideSums below.
template <int kRows>
VELMORAINE_AVX2 inline void AddWideSums(int64_t* const* accumRows, ptrdiff_t offset, ptrdiff_t stride,
                                        int32_t bandRows, const Vec (*B)[64], const Vec* weights) {
  const int32_t rows = kRows != 0 ? kRows : bandRows;
  Vec oddWeights[8];
  for (int32_t j = 0; j < rows; ++j) oddWeights[j] = _mm256_srli_epi64(weights[j], 32);
  for (int u = 0; u < 8; ++u) {
#pragma GCC unroll 15
    for (int32_t k = 0; k < rows + 7; ++k) {
      Vec even = Zero(), odd = Zero();
      const int32_t first = k > 7 ? k - 7 : 0, last = k < rows - 1 ? k : rows - 1;
      for (int32_t j = first; j <= last; ++j) {
        const Vec b = B[j][8 * u + k - j];
        even = _mm256_add_epi64(even, _mm256_mul_epi32(b, weights[j]));
        odd = _mm256_add_epi64(odd, _mm256_mul_epi32(_mm256_srli_epi64(b, 32), oddWeights[j]));
      }
      // even holds lanes (0, 2 | 4, 6), odd (1, 3 | 5, 7).
      const Vec low = _mm256_unpacklo_epi64(even, odd), high = _mm256_unpackhi_epi64(even, odd);
      Vec* sums = reinterpret_cast<Vec*>(accumRows[k] + u * stride + offset);
      _mm256_storeu_si256(sums, _mm256_add_epi64(_mm256_loadu_si256(sums), _mm256_permute2x128_si256(low, high, 0x20)));
      _mm256_storeu_si256(sums + 1,
                          _mm256_add_epi64(_mm256_loadu_si256(sums + 1), _mm256_permute2x128_si256(low, high, 0x31)));
    }
  }
}

// The same when no lane's weights sum past kLightWeights over the band's
// block rows that reconstruct to anything but 0: |B| <= 64 * 65535 for any
// 16-bit words (the lane bound), so every sum of weighted blocks stays below
// 512 * 64 * 65535 < 2^31 and is formed in 32-bit lanes, then widened once
// to add to the 64-bit sums.
constexpr int32_t kLightWeights = 512;
static_assert(kLightWeights <= kLightWeightsLimit, "light sums would leave their 32-bit lanes");

// A full band (kRows = 8) has its loop bounds known when compiled: the loops
// unroll and the index arithmetic goes away; other bands pass kRows = 0 and
// their own count.
template <int kRows>
VELMORAINE_AVX2 inline void AddLightWideSums(int64_t* const* accumRows, ptrdiff_t offset, ptrdiff_t stride,
                                             int32_t bandRows, const Vec (*B)[64], const Vec* weights) {
  const int32_t rows = kRows != 0 ? kRows : bandRows;
  for (int u = 0; u < 8; ++u) {
    if constexpr (kRows == 8) LANE_MCA_BEGIN("sums");
#pragma GCC unroll 15
    for (int32_t k = 0; k < rows + 7; ++k) {
      Vec sum = Zero();
      const int32_t first = k > 7 ? k - 7 : 0, last = k < rows - 1 ? k : rows - 1;
      for (int32_t j = first; j <= last; ++j) sum = Add32(sum, _mm256_mullo_epi32(B[j][8 * u + k - j], weights[j]));
      Vec* sums = reinterpret_cast<Vec*>(accumRows[k] + u * stride + offset);
      const Vec low = _mm256_cvtepi32_epi64(_mm256_castsi256_si128(sum));
      const Vec high = _mm256_cvtepi32_epi64(_mm256_extracti128_si256(sum, 1));
      _mm256_storeu_si256(sums, _mm256_add_epi64(_mm256_loadu_si256(sums), low));
      _mm256_storeu_si256(sums + 1, _mm256_add_epi64(_mm256_loadu_si256(sums + 1), high));
    }
    if constexpr (kRows == 8) LANE_MCA_END("sums");
  }
}

// The block stage of one band (see AccumulateBlockRowsWideFn), column chunk
// by column chunk.
VELMORAINE_AVX2 void AccumulateBlockRowsWideAvx2(const int32_t* const* coeffRows, int64_t* const* accumRows,
                                                 int32_t* const* weightRows, int32_t rows, int32_t blocks,
                                                 ptrdiff_t stride, const WideBlockStageTables& tables) {
  if (rows < 1 || rows > 8) return;  // a band has 1..8 block rows (see block_stage.inc)
  Vec keepAbove[64];
  for (int k = 0; k < 64; ++k)
    keepAbove[k] = _mm256_set1_epi32(tables.threshold[k] > 1 ? tables.threshold[k] - 1 : 0);
  const int* weightOfZeros = reinterpret_cast<const int*>(tables.weightOfZeros);
  Vec chunk[15 * 8];  // row coefficients of the chunk, [8 * row + u]
  Vec B[8][64];       // inverse column transforms of the band's block rows, [8 * u + r]
  Vec weights[8];
  const Vec light = _mm256_set1_epi32(kLightWeights), all = _mm256_set1_epi32(64);
  for (int32_t x0 = 0; x0 < blocks; x0 += kLanes) {
    // Each of the 120 rows of coefficients and of sums is a stream of its
    // own, too many for the processor to foresee: their lines a few chunks
    // on are asked for now.
    for (int32_t r = 0; r < rows + 7; ++r) {
      for (int u = 0; u < 8; ++u) {
        chunk[8 * r + u] = LoadUnaligned(coeffRows[r] + u * stride + x0);
        _mm_prefetch(reinterpret_cast<const char*>(coeffRows[r] + u * stride + x0 + 4 * kLanes), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(accumRows[r] + u * stride + x0 + 4 * kLanes), _MM_HINT_T0);
      }
    }
    // The weights of blocks with a coefficient left, summed over the band: a
    // block whose 64 coefficients are all 0 (the lanes past the row too)
    // reconstructs to 0 and adds nothing, whatever it weighs.
    Vec total = Zero();  // below 8 * 16385: no lane wraps
    for (int32_t j = 0; j < rows; ++j) {
      const Vec zeros = Add32(all, TransformWideBlockRow(chunk + 8 * j, keepAbove, B[j]));
      LANE_MCA_BEGIN("weights");
      weights[j] = _mm256_i32gather_epi32(weightOfZeros, zeros, 4);
      StoreUnaligned(weightRows[j] + x0, weights[j]);
      total = Add32(total, _mm256_andnot_si256(_mm256_cmpeq_epi32(zeros, all), weights[j]));
      LANE_MCA_END("weights");
    }
    if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(total, light)) == 0) {
      if (rows == 8) {
        AddLightWideSums<8>(accumRows, x0, stride, rows, B, weights);
      } else {
        AddLightWideSums<0>(accumRows, x0, stride, rows, B, weights);
      }
    } else {
      if (rows == 8) {
        AddWideSums<8>(accumRows, x0, stride, rows, B, weights);
      } else {
        AddWideSums<0>(accumRows, x0, stride, rows, B, weights);
      }
    }
  }
}

// values = (16 * sums) / D by double division, 4 lanes at a time. 16 * A is
// exact in a double for |A| < 2^47 (converted with the 1.5 * 2^52 bias), D is
// at most 1,048,640, and the rounded quotient is within |16A / D| * 2^-53 <
// 2^-2 / D of the true one, less than the distance 1/D from a non-integer
// quotient to an integer: truncation gives the integer quotient. Lanes whose
// sums lie beyond 2^47, or whose quotient leaves 32 bits (INT32_MIN back),
// are redone in 64-bit integers; the pass produces neither.
VELMORAINE_AVX2 void NormalizeRowWideAvx2(const int64_t* sums, const int32_t* columnWeights, int32_t W,
                                          int32_t* values) {
  const Vec bias = _mm256_set1_epi64x(0x4338000000000000);
  const __m256d biasDouble = _mm256_castsi256_pd(bias);
  const Vec most = _mm256_set1_epi64x((int64_t{1} << 47) - 1), least = _mm256_set1_epi64x(-(int64_t{1} << 47));
  const __m128i one = _mm_set1_epi32(1), indefinite = _mm_set1_epi32(INT32_MIN);
  for (int32_t x0 = 0; x0 < W; x0 += 4) {
    __m128i D = _mm_loadu_si128(reinterpret_cast<const __m128i*>(columnWeights + x0));
    for (int i = 1; i < 8; ++i)
      D = _mm_add_epi32(D, _mm_loadu_si128(reinterpret_cast<const __m128i*>(columnWeights + x0 - i)));
    D = _mm_max_epi32(D, one);  // lanes past the row only
    const Vec A = _mm256_loadu_si256(reinterpret_cast<const Vec*>(sums + x0));
    const Vec outside = _mm256_or_si256(_mm256_cmpgt_epi64(A, most), _mm256_cmpgt_epi64(least, A));
    const __m256d numerator =
        _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(_mm256_slli_epi64(A, 4), bias)), biasDouble);
    const __m128i N = _mm256_cvttpd_epi32(_mm256_div_pd(numerator, _mm256_cvtepi32_pd(D)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(values + x0), N);
    const int redo = _mm256_movemask_pd(_mm256_castsi256_pd(outside)) |
                     _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(N, indefinite)));
    for (int32_t i = 0; i < 4 && x0 + i < W; ++i) {
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

void InitWideStreamDspAvx2(StreamDsp& dsp) {
  dsp.analyseRowWide = AnalyseRowWideLanes;
  dsp.accumulateBlockRowsWide = AccumulateBlockRowsWideAvx2;
  dsp.synthesizeRowWide = SynthesizeRowWideLanes;
  dsp.normalizeRowWide = NormalizeRowWideAvx2;
  dsp.requantizeRowWide = RequantizeRowWideAvx2;  // requantize_avx2.cpp
}

}  // namespace velmoraine
