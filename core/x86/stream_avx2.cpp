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
#include "core/stream_dsp.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))

#include <immintrin.h>
#include <string.h>

#define VELMORAINE_AVX2 __attribute__((target("avx2")))

namespace velmoraine {

namespace {

// ---- 16-bit lanes: the lifting DCT through high-half products -------------
using Vec = __m256i;
#define LANE_TARGET VELMORAINE_AVX2
VELMORAINE_AVX2 inline Vec Add16(Vec a, Vec b) { return _mm256_add_epi16(a, b); }
VELMORAINE_AVX2 inline Vec Sub16(Vec a, Vec b) { return _mm256_sub_epi16(a, b); }
VELMORAINE_AVX2 inline Vec Sra16(Vec x, int n) { return _mm256_srai_epi16(x, n); }
VELMORAINE_AVX2 inline Vec MulHigh16(Vec x, int c) { return _mm256_mulhi_epi16(x, _mm256_set1_epi16(static_cast<short>(c))); }
#include "core/x86/lifting_16bit_lanes.inc"
#undef LANE_TARGET

// ---- 32-bit lanes: products wrap modulo 2^32 like the reference's ----------
VELMORAINE_AVX2 inline __m256i MulShr(__m256i x, int k, int s) {
  return _mm256_srai_epi32(_mm256_mullo_epi32(x, _mm256_set1_epi32(k)), s);
}

// InverseDct8 across 8 lanes of 32 bits, wrapping as the reference does.
VELMORAINE_AVX2 inline void InverseDct32Lanes(const __m256i X[8], __m256i r[8]) {
  const __m256i e1 = _mm256_sub_epi32(_mm256_srai_epi32(X[0], 1), X[4]);
  const __m256i e0 = _mm256_sub_epi32(X[0], e1);
  const __m256i e3 = _mm256_add_epi32(X[2], MulShr(X[6], 11, 5));
  const __m256i e2 = _mm256_sub_epi32(MulShr(e3, 13, 5), X[6]);
  const __m256i o6 = _mm256_add_epi32(X[3], MulShr(X[5], 15, 5));
  const __m256i o5 = _mm256_sub_epi32(X[5], MulShr(o6, 11, 4));
  const __m256i o7 = _mm256_add_epi32(X[1], MulShr(X[7], 3, 4));
  const __m256i o4 = _mm256_sub_epi32(MulShr(o7, 3, 4), X[7]);
  const __m256i S07 = _mm256_add_epi32(e0, e3), S34 = _mm256_sub_epi32(e0, e3);
  const __m256i S16 = _mm256_add_epi32(e1, e2), S25 = _mm256_sub_epi32(e1, e2);
  const __m256i D34 = _mm256_add_epi32(o4, o5);
  __m256i D25 = _mm256_sub_epi32(o4, o5);
  __m256i D16 = _mm256_sub_epi32(o7, o6);
  const __m256i D07 = _mm256_add_epi32(o7, o6);
  D25 = _mm256_sub_epi32(MulShr(D16, 13, 5), D25);
  D16 = _mm256_sub_epi32(D16, MulShr(D25, 11, 4));
  D25 = _mm256_add_epi32(D25, MulShr(D16, 13, 5));
  r[0] = _mm256_add_epi32(S07, D07);
  r[1] = _mm256_add_epi32(S16, D16);
  r[2] = _mm256_add_epi32(S25, D25);
  r[3] = _mm256_add_epi32(S34, D34);
  r[4] = _mm256_sub_epi32(S34, D34);
  r[5] = _mm256_sub_epi32(S25, D25);
  r[6] = _mm256_sub_epi32(S16, D16);
  r[7] = _mm256_sub_epi32(S07, D07);
}

VELMORAINE_AVX2 void AnalyseRowAvx2(const uint8_t* row, int32_t W, int16_t* coeffs, ptrdiff_t stride) {
  const int32_t blocks = W - 7;
  alignas(32) uint8_t tail[48];
  for (int32_t x0 = 0; x0 < blocks; x0 += 16) {
    // A chunk reads bytes x0 .. x0+22; near the end of the row they come from
    // a zero-padded copy so that nothing past the row is read.
    const uint8_t* src = row + x0;
    if (x0 + 23 > W) {
      memset(tail, 0, sizeof tail);
      memcpy(tail, src, static_cast<size_t>(W - x0));
      src = tail;
    }
    __m256i x[8], X[8];
    for (int i = 0; i < 8; ++i)
      x[i] = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
    ForwardDct16Lanes(x, X);
    for (int u = 0; u < 8; ++u) _mm256_store_si256(reinterpret_cast<__m256i*>(coeffs + u * stride + x0), X[u]);
  }
}

// One block row of a 16-block chunk: column transform, shrinkage and weight,
// and the inverse column transform into B[8u + r]. Lanes are in the order of
// `rows` (quarters 0, 2, 1, 3 of the chunk, see below); the weights come back
// both as 16-bit lanes in that order and as two 32-bit vectors in plain order.
VELMORAINE_AVX2 inline void TransformBlockRow(const __m256i* coeffRows, const __m256i* threshold,
                                              const int* weightTable, __m256i B[64], __m256i& weight16,
                                              __m256i weight32[2]) {
  const __m256i zero = _mm256_setzero_si256();
  __m256i zeros = zero;  // minus the count of zero coefficients per lane
  // The inverse transform of a column needs only that column's coefficients,
  // not the weight, so each column goes forward and back at once.
  for (int u = 0; u < 8; ++u) {
    __m256i column[8], C[8];
    for (int r = 0; r < 8; ++r) column[r] = coeffRows[8 * r + u];
    ForwardDct16Lanes(column, C);
    // threshold holds max(t, 1): a coefficient below it becomes, or already
    // was, 0, so the same mask zeroes and counts (with t <= 0 it only
    // "zeroes" coefficients that are 0).
    for (int v = 0; v < 8; ++v) {
      const __m256i small = _mm256_cmpgt_epi16(threshold[8 * u + v], _mm256_abs_epi16(C[v]));
      C[v] = _mm256_andnot_si256(small, C[v]);
      zeros = _mm256_add_epi16(zeros, small);
    }
    InverseDct16Lanes(C, B + 8 * u);
  }
  const __m256i count = _mm256_sub_epi16(zero, zeros);
  // count holds quarters (0, 2 | 1, 3): its low half converts to the weights
  // of quarters 0 and 2, its high half to those of 1 and 3.
  const __m256i weights02 =
      _mm256_i32gather_epi32(weightTable, _mm256_cvtepi16_epi32(_mm256_castsi256_si128(count)), 4);
  const __m256i weights13 =
      _mm256_i32gather_epi32(weightTable, _mm256_cvtepi16_epi32(_mm256_extracti128_si256(count, 1)), 4);
  weight32[0] = _mm256_permute2x128_si256(weights02, weights13, 0x20);
  weight32[1] = _mm256_permute2x128_si256(weights02, weights13, 0x31);
  // packs interleaves per 128-bit half, giving quarters in plain order; the
  // lanes of B want them reordered again.
  weight16 = _mm256_permute4x64_epi64(_mm256_packs_epi32(weights02, weights13), 0xD8);
}

// Adds m * B + m' * B' to 16 sums. The lanes of B and B' hold quarters
// (0, 2 | 1, 3) of the chunk, so the low and high interleaves are the pairs of
// blocks 0..7 and 8..15 in plain order.
VELMORAINE_AVX2 inline void AddWeightedPair(int32_t* sums, __m256i B, __m256i nextB, __m256i weightsLow,
                                            __m256i weightsHigh) {
  __m256i* low = reinterpret_cast<__m256i*>(sums);
  __m256i* high = reinterpret_cast<__m256i*>(sums + 8);
  _mm256_store_si256(low, _mm256_add_epi32(_mm256_load_si256(low),
                                           _mm256_madd_epi16(_mm256_unpacklo_epi16(B, nextB), weightsLow)));
  _mm256_store_si256(high, _mm256_add_epi32(_mm256_load_si256(high),
                                            _mm256_madd_epi16(_mm256_unpackhi_epi16(B, nextB), weightsHigh)));
}

VELMORAINE_AVX2 void AccumulateBlockRowsAvx2(const int16_t* const* coeffRows, int32_t* const* accumRows,
                                             int32_t* const* weightRows, int32_t rows, int32_t blocks,
                                             ptrdiff_t stride, const BlockStageTables& tables) {
  __m256i threshold[64];
  for (int k = 0; k < 64; ++k) threshold[k] = _mm256_set1_epi16(tables.threshold[k] > 1 ? tables.threshold[k] : 1);
  const int* weightTable = reinterpret_cast<const int*>(tables.weightOfZeros);
  const __m256i zero = _mm256_setzero_si256();
  __m256i chunk[15 * 8];  // row coefficients of the chunk, [8 * row + u]
  __m256i B[2][64];       // inverse column transforms of two block rows, [8 * u + r]

  // Column chunk outside, block rows inside: the chunk's rows of coefficients
  // and sums stay in the first-level cache for the whole band.
  for (int32_t x0 = 0; x0 < blocks; x0 += 16) {
    // Quarters (0, 2 | 1, 3): every transform step is per lane, so the order
    // only matters where pmaddwd pairs lanes, and there it yields plain order.
    for (int32_t r = 0; r < rows + 7; ++r)
      for (int u = 0; u < 8; ++u)
        chunk[8 * r + u] = _mm256_permute4x64_epi64(
            _mm256_load_si256(reinterpret_cast<const __m256i*>(coeffRows[r] + u * stride + x0)), 0xD8);

    for (int32_t y = 0; y < rows; y += 2) {
      const bool pair = y + 1 < rows;
      __m256i weight16[2], weight32[2];
      TransformBlockRow(chunk + 8 * y, threshold, weightTable, B[0], weight16[0], weight32);
      _mm256_store_si256(reinterpret_cast<__m256i*>(weightRows[y] + x0), weight32[0]);
      _mm256_store_si256(reinterpret_cast<__m256i*>(weightRows[y] + x0 + 8), weight32[1]);
      if (pair) {
        TransformBlockRow(chunk + 8 * (y + 1), threshold, weightTable, B[1], weight16[1], weight32);
        _mm256_store_si256(reinterpret_cast<__m256i*>(weightRows[y + 1] + x0), weight32[0]);
        _mm256_store_si256(reinterpret_cast<__m256i*>(weightRows[y + 1] + x0 + 8), weight32[1]);
      } else {
        weight16[1] = zero;
        for (int i = 0; i < 64; ++i) B[1][i] = zero;
      }
      const __m256i weightsLow = _mm256_unpacklo_epi16(weight16[0], weight16[1]);
      const __m256i weightsHigh = _mm256_unpackhi_epi16(weight16[0], weight16[1]);
      // Sums row y + k gets row k of block row y and row k - 1 of block row y + 1.
      for (int u = 0; u < 8; ++u) {
        AddWeightedPair(accumRows[y] + u * stride + x0, B[0][8 * u], zero, weightsLow, weightsHigh);
        for (int k = 1; k < 8; ++k)
          AddWeightedPair(accumRows[y + k] + u * stride + x0, B[0][8 * u + k], B[1][8 * u + k - 1], weightsLow,
                          weightsHigh);
        if (pair) AddWeightedPair(accumRows[y + 8] + u * stride + x0, zero, B[1][8 * u + 7], weightsLow, weightsHigh);
      }
    }
  }
}

VELMORAINE_AVX2 void SynthesizeRowAvx2(int32_t* accum, ptrdiff_t stride, int32_t W, int32_t* pixelSums, int32_t*) {
  // Output j of segment x belongs to sample x + j: the sums of 8 samples take
  // output j of segments x0 - j .. x0 + 7 - j, lanes shifted in from the
  // previous chunk's outputs.
  const int32_t blocks = W - 7;
  __m256i previous[8];
  for (int j = 0; j < 8; ++j) previous[j] = _mm256_setzero_si256();
  for (int32_t x0 = 0; x0 < W; x0 += 8) {
    __m256i p[8];
    if (x0 < blocks) {
      __m256i q[8];
      for (int i = 0; i < 8; ++i) {
        __m256i* sums = reinterpret_cast<__m256i*>(accum + i * stride + x0);
        q[i] = _mm256_load_si256(sums);
        _mm256_store_si256(sums, _mm256_setzero_si256());
      }
      InverseDct32Lanes(q, p);
    } else {
      for (int j = 0; j < 8; ++j) p[j] = _mm256_setzero_si256();
    }
    // Lanes 8-j .. 15-j of previous:current.
    __m256i sum = p[0];
    __m256i t;
    t = _mm256_permute2x128_si256(previous[1], p[1], 0x21);
    sum = _mm256_add_epi32(sum, _mm256_alignr_epi8(p[1], t, 12));
    t = _mm256_permute2x128_si256(previous[2], p[2], 0x21);
    sum = _mm256_add_epi32(sum, _mm256_alignr_epi8(p[2], t, 8));
    t = _mm256_permute2x128_si256(previous[3], p[3], 0x21);
    sum = _mm256_add_epi32(sum, _mm256_alignr_epi8(p[3], t, 4));
    sum = _mm256_add_epi32(sum, _mm256_permute2x128_si256(previous[4], p[4], 0x21));
    t = _mm256_permute2x128_si256(previous[5], p[5], 0x21);
    sum = _mm256_add_epi32(sum, _mm256_alignr_epi8(t, previous[5], 12));
    t = _mm256_permute2x128_si256(previous[6], p[6], 0x21);
    sum = _mm256_add_epi32(sum, _mm256_alignr_epi8(t, previous[6], 8));
    t = _mm256_permute2x128_si256(previous[7], p[7], 0x21);
    sum = _mm256_add_epi32(sum, _mm256_alignr_epi8(t, previous[7], 4));
    _mm256_store_si256(reinterpret_cast<__m256i*>(pixelSums + x0), sum);
    for (int j = 0; j < 8; ++j) previous[j] = p[j];
  }
}

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
    unsigned suspicious = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(N, indefinite))));
    if (suspicious != 0) {
      alignas(32) int32_t a[8], d[8];
      _mm256_store_si256(reinterpret_cast<__m256i*>(a), A);
      _mm256_store_si256(reinterpret_cast<__m256i*>(d), D);
      for (int i = 0; i < 8 && x0 + i < W; ++i)
        if (suspicious >> i & 1) pixel[x0 + i] = static_cast<int32_t>(16 * static_cast<int64_t>(a[i]) / d[i]);
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
  dsp.analyseRow = AnalyseRowAvx2;
  dsp.accumulateBlockRows = AccumulateBlockRowsAvx2;
  dsp.synthesizeRow = SynthesizeRowAvx2;
  dsp.normalizeRow = NormalizeRowAvx2;
  dsp.requantizeRow = RequantizeRowAvx2;
}

}  // namespace velmoraine

#else

namespace velmoraine {
void InitStreamDspAvx2(StreamDsp&) {}
}  // namespace velmoraine

#endif
