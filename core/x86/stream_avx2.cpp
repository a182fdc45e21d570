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
    ForwardDct16Lanes<1>(&x, &X);
    for (int u = 0; u < 8; ++u) _mm256_store_si256(reinterpret_cast<__m256i*>(coeffs + u * stride + x0), X[u]);
  }
}

// Columns transformed side by side.
constexpr int kColumns = 1;

// One block row of a 16-block chunk: column transforms, shrinkage and the
// inverse column transforms into B[8u + r]. rows holds the chunk's row
// coefficients from the block row's first row on, [8 * row + u]. Returns minus
// the count of zero coefficients per lane.
VELMORAINE_AVX2 inline __m256i TransformBlockRow(const __m256i* rows, const __m256i* threshold, __m256i B[64]) {
  __m256i zeros = _mm256_setzero_si256();
  // The inverse transform of a column needs only that column's coefficients,
  // not the weight, so each column goes forward and back at once, two
  // columns side by side.
  for (int u = 0; u < 8; u += kColumns) {
    __m256i column[kColumns][8], C[kColumns][8];
    for (int c = 0; c < kColumns; ++c)
      for (int r = 0; r < 8; ++r) column[c][r] = rows[8 * r + u + c];
    ForwardDct16Lanes<kColumns>(column, C);
    // threshold holds max(t, 1): a coefficient below it becomes, or already
    // was, 0, so the same mask zeroes and counts (with t <= 0 it only
    // "zeroes" coefficients that are 0).
    for (int c = 0; c < kColumns; ++c)
      for (int v = 0; v < 8; ++v) {
        const __m256i small = _mm256_cmpgt_epi16(threshold[8 * (u + c) + v], _mm256_abs_epi16(C[c][v]));
        C[c][v] = _mm256_andnot_si256(small, C[c][v]);
        zeros = _mm256_add_epi16(zeros, small);
      }
    InverseDct16Lanes<kColumns>(C, reinterpret_cast<__m256i(*)[8]>(B + 8 * u));
  }
  return zeros;
}

// The weights of one block row from its negated zero counts: stored in plain
// order as 32-bit values to weights[0..15], and returned as 16-bit lanes in
// the order of the chunk's lanes, quarters (0, 2 | 1, 3).
VELMORAINE_AVX2 inline __m256i BlockWeights(__m256i zeros, const int* weightTable, int32_t* weights) {
  const __m256i count = _mm256_sub_epi16(_mm256_setzero_si256(), zeros);
  // count holds quarters (0, 2 | 1, 3): its low half converts to the weights
  // of quarters 0 and 2, its high half to those of 1 and 3.
  const __m256i weights02 =
      _mm256_i32gather_epi32(weightTable, _mm256_cvtepi16_epi32(_mm256_castsi256_si128(count)), 4);
  const __m256i weights13 =
      _mm256_i32gather_epi32(weightTable, _mm256_cvtepi16_epi32(_mm256_extracti128_si256(count, 1)), 4);
  _mm256_store_si256(reinterpret_cast<__m256i*>(weights), _mm256_permute2x128_si256(weights02, weights13, 0x20));
  _mm256_store_si256(reinterpret_cast<__m256i*>(weights + 8), _mm256_permute2x128_si256(weights02, weights13, 0x31));
  // packs interleaves per 128-bit half, giving quarters in plain order; the
  // lanes of B want them reordered again.
  return _mm256_permute4x64_epi64(_mm256_packs_epi32(weights02, weights13), 0xD8);
}

// Block rows are added to the sums in groups of up to 4: sums row y0 + k
// receives row k - j of block row y0 + j, so a group touches 11 rows of sums,
// each loaded and stored once per group instead of once per block row pair.
constexpr int kGroup = 8;

// m * B + m' * B' for 16 lanes in chunk order, as two vectors of 8 sums in
// plain order: the lanes hold quarters (0, 2 | 1, 3), so the low and high
// interleaves are blocks 0..7 and 8..15.
VELMORAINE_AVX2 inline void WeightedPair(__m256i B, __m256i nextB, const __m256i weights[2], __m256i& low,
                                         __m256i& high) {
  low = _mm256_madd_epi16(_mm256_unpacklo_epi16(B, nextB), weights[0]);
  high = _mm256_madd_epi16(_mm256_unpackhi_epi16(B, nextB), weights[1]);
}

// Adds the Count (1..4) block rows of a group, B[j][8u + r] with
// interleaved weights pairWeights[j / 2], to sums rows accumRows[0..Count+6].
// Every loop but the one over u unrolls, so the terms that do not exist
// (rows outside the block) fall away at compile time.
template <int Count>
VELMORAINE_AVX2 inline void AddGroup(int32_t* const* accumRows, ptrdiff_t offset, ptrdiff_t stride,
                                     const __m256i (*B)[64], const __m256i (*pairWeights)[2]) {
  const __m256i zero = _mm256_setzero_si256();
  for (int u = 0; u < 8; ++u) {
#pragma GCC unroll 16
    for (int k = 0; k < Count + 7; ++k) {
      __m256i low = zero, high = zero;
#pragma GCC unroll 8
      for (int j = 0; j < Count; j += 2) {
        // Rows k - j of block row j and k - j - 1 of block row j + 1, where they exist.
        const int r = k - j;
        if (r < 0 || r > 8) continue;
        const __m256i first = r < 8 ? B[j][8 * u + r] : zero;
        const __m256i second = r >= 1 && j + 1 < Count ? B[j + 1][8 * u + r - 1] : zero;
        __m256i pairLow, pairHigh;
        WeightedPair(first, second, pairWeights[j / 2], pairLow, pairHigh);
        low = j == 0 ? pairLow : _mm256_add_epi32(low, pairLow);
        high = j == 0 ? pairHigh : _mm256_add_epi32(high, pairHigh);
      }
      __m256i* sums = reinterpret_cast<__m256i*>(accumRows[k] + u * stride + offset);
      _mm256_store_si256(sums, _mm256_add_epi32(_mm256_load_si256(sums), low));
      _mm256_store_si256(sums + 1, _mm256_add_epi32(_mm256_load_si256(sums + 1), high));
    }
  }
}

VELMORAINE_AVX2 void AccumulateBlockRowsAvx2(const int16_t* const* coeffRows, int32_t* const* accumRows,
                                             int32_t* const* weightRows, int32_t rows, int32_t blocks,
                                             ptrdiff_t stride, const BlockStageTables& tables) {
  __m256i threshold[64];
  for (int k = 0; k < 64; ++k) threshold[k] = _mm256_set1_epi16(tables.threshold[k] > 1 ? tables.threshold[k] : 1);
  const int* weightTable = reinterpret_cast<const int*>(tables.weightOfZeros);
  const __m256i zero = _mm256_setzero_si256();
  __m256i chunk[15 * 8];   // row coefficients of the chunk, [8 * row + u]
  __m256i B[kGroup][64];   // inverse column transforms of a group, [8 * u + r]

  // Column chunk outside, block rows inside: the chunk's rows of coefficients
  // and sums stay in the first-level cache for the whole band.
  for (int32_t x0 = 0; x0 < blocks; x0 += 16) {
    // Quarters (0, 2 | 1, 3): every transform step is per lane, so the order
    // only matters where pmaddwd pairs lanes, and there it yields plain order.
    for (int32_t r = 0; r < rows + 7; ++r)
      for (int u = 0; u < 8; ++u)
        chunk[8 * r + u] = _mm256_permute4x64_epi64(
            _mm256_load_si256(reinterpret_cast<const __m256i*>(coeffRows[r] + u * stride + x0)), 0xD8);

    for (int32_t y0 = 0; y0 < rows; y0 += kGroup) {
      const int count = rows - y0 < kGroup ? rows - y0 : kGroup;
      __m256i weight16[kGroup];
      for (int j = 0; j < count; ++j) {
        const __m256i zeros = TransformBlockRow(chunk + 8 * (y0 + j), threshold, B[j]);
        weight16[j] = BlockWeights(zeros, weightTable, weightRows[y0 + j] + x0);
      }
      for (int j = count; j < kGroup; ++j) weight16[j] = zero;
      __m256i pairWeights[kGroup / 2][2];
      for (int p = 0; p < kGroup / 2; ++p) {
        pairWeights[p][0] = _mm256_unpacklo_epi16(weight16[2 * p], weight16[2 * p + 1]);
        pairWeights[p][1] = _mm256_unpackhi_epi16(weight16[2 * p], weight16[2 * p + 1]);
      }
      switch (count) {
        case 8: AddGroup<8>(accumRows + y0, x0, stride, B, pairWeights); break;
        case 7: AddGroup<7>(accumRows + y0, x0, stride, B, pairWeights); break;
        case 6: AddGroup<6>(accumRows + y0, x0, stride, B, pairWeights); break;
        case 5: AddGroup<5>(accumRows + y0, x0, stride, B, pairWeights); break;
        case 4: AddGroup<4>(accumRows + y0, x0, stride, B, pairWeights); break;
        case 3: AddGroup<3>(accumRows + y0, x0, stride, B, pairWeights); break;
        case 2: AddGroup<2>(accumRows + y0, x0, stride, B, pairWeights); break;
        default: AddGroup<1>(accumRows + y0, x0, stride, B, pairWeights); break;
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
