// AVX2 versions of the streaming kernels.
//
// Lanes are block positions: one vector holds the same frequency of 16
// adjacent segments (16-bit lanes) or 8 (32-bit lanes), so every step of the
// transforms runs unchanged across the lanes. The instruction set is enabled
// per function, so this file builds with the same flags as the rest of core/
// and is only entered after the processor has been checked.
//
// Where 16 bits hold every value. The forward row transform of 8-bit samples
// and the forward column transform of its coefficients stay within +-16320 at
// every step (an interval bound over every step, checked by
// tests/checkasm/lane_bounds_test.cpp), so they run in 16-bit lanes. Their
// products k * x do not fit 16 bits (13 * 4080 does not), but each product is
// only ever used as (k * x) >> s, and that equals the high half of the 16-bit
// product x * (k << (16 - s)) exactly:
//   floor(k * x / 2^s) = floor(x * k * 2^(16-s) / 2^16).
// For (11 * x) >> 4 the factor 11 << 12 does not fit a signed 16-bit lane, so
// it is x + ((-5 * x) >> 4), equal since x is an integer. The inverse column
// transform and the sums are done in 32-bit lanes: the shrinkage can leave any
// subset of coefficients, and the bound of that is beyond 16 bits.
#include "core/stream_dsp.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))

#include <immintrin.h>
#include <string.h>

#define VELMORAINE_AVX2 __attribute__((target("avx2")))

namespace velmoraine {

namespace {

// ---- 16-bit lanes: exact (k * x) >> s through the high half of a product ---
VELMORAINE_AVX2 inline __m256i Mul13Shr5(__m256i x) { return _mm256_mulhi_epi16(x, _mm256_set1_epi16(13 << 11)); }
VELMORAINE_AVX2 inline __m256i Mul11Shr5(__m256i x) { return _mm256_mulhi_epi16(x, _mm256_set1_epi16(11 << 11)); }
VELMORAINE_AVX2 inline __m256i Mul15Shr5(__m256i x) { return _mm256_mulhi_epi16(x, _mm256_set1_epi16(15 << 11)); }
VELMORAINE_AVX2 inline __m256i Mul3Shr4(__m256i x) { return _mm256_mulhi_epi16(x, _mm256_set1_epi16(3 << 12)); }
VELMORAINE_AVX2 inline __m256i Mul11Shr4(__m256i x) {
  return _mm256_add_epi16(x, _mm256_mulhi_epi16(x, _mm256_set1_epi16(-5 << 12)));
}

// ForwardDct8 across 16 lanes of 16 bits.
VELMORAINE_AVX2 inline void ForwardDct16Lanes(const __m256i x[8], __m256i X[8]) {
  const __m256i s07 = _mm256_add_epi16(x[0], x[7]), d07 = _mm256_sub_epi16(x[0], x[7]);
  const __m256i s16 = _mm256_add_epi16(x[1], x[6]);
  __m256i d16 = _mm256_sub_epi16(x[1], x[6]);
  const __m256i s25 = _mm256_add_epi16(x[2], x[5]);
  __m256i d25 = _mm256_sub_epi16(x[2], x[5]);
  const __m256i s34 = _mm256_add_epi16(x[3], x[4]), d34 = _mm256_sub_epi16(x[3], x[4]);
  d25 = _mm256_sub_epi16(d25, Mul13Shr5(d16));
  d16 = _mm256_add_epi16(d16, Mul11Shr4(d25));
  d25 = _mm256_sub_epi16(Mul13Shr5(d16), d25);
  const __m256i e0 = _mm256_add_epi16(s07, s34), e3 = _mm256_sub_epi16(s07, s34);
  const __m256i e1 = _mm256_add_epi16(s16, s25), e2 = _mm256_sub_epi16(s16, s25);
  const __m256i o4 = _mm256_add_epi16(d34, d25), o5 = _mm256_sub_epi16(d34, d25);
  const __m256i o6 = _mm256_sub_epi16(d07, d16), o7 = _mm256_add_epi16(d07, d16);
  X[0] = _mm256_add_epi16(e0, e1);
  X[4] = _mm256_sub_epi16(_mm256_srai_epi16(X[0], 1), e1);
  X[6] = _mm256_sub_epi16(Mul13Shr5(e3), e2);
  X[2] = _mm256_sub_epi16(e3, Mul11Shr5(X[6]));
  X[7] = _mm256_sub_epi16(Mul3Shr4(o7), o4);
  X[1] = _mm256_sub_epi16(o7, Mul3Shr4(X[7]));
  X[5] = _mm256_add_epi16(o5, Mul11Shr4(o6));
  X[3] = _mm256_sub_epi16(o6, Mul15Shr5(X[5]));
}

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

VELMORAINE_AVX2 void AccumulateBlockRowsAvx2(const int16_t* const* coeffRows, int32_t* const* accumRows,
                                             int32_t* const* weightRows, int32_t rows, int32_t blocks,
                                             ptrdiff_t stride, const BlockStageTables& tables) {
  __m256i threshold[64];
  for (int k = 0; k < 64; ++k) threshold[k] = _mm256_set1_epi16(tables.threshold[k]);
  const int* weightTable = reinterpret_cast<const int*>(tables.weightOfZeros);
  const __m256i zero = _mm256_setzero_si256();
  alignas(32) int16_t C[64][16];

  // Column chunk outside, block rows inside: the chunk's 15 rows of
  // coefficients and sums stay in the first-level cache for the whole band.
  for (int32_t x0 = 0; x0 < blocks; x0 += 16) {
    for (int32_t y = 0; y < rows; ++y) {
      __m256i zeros = zero;  // minus the count of zero coefficients per lane
      for (int u = 0; u < 8; ++u) {
        __m256i B[8], X[8];
        for (int r = 0; r < 8; ++r)
          B[r] = _mm256_load_si256(reinterpret_cast<const __m256i*>(coeffRows[y + r] + u * stride + x0));
        ForwardDct16Lanes(B, X);
        for (int v = 0; v < 8; ++v) {
          const __m256i small = _mm256_cmpgt_epi16(threshold[8 * u + v], _mm256_abs_epi16(X[v]));
          const __m256i kept = _mm256_andnot_si256(small, X[v]);
          zeros = _mm256_add_epi16(zeros, _mm256_cmpeq_epi16(kept, zero));
          _mm256_store_si256(reinterpret_cast<__m256i*>(C[8 * u + v]), kept);
        }
      }
      const __m256i count = _mm256_sub_epi16(zero, zeros);
      const __m256i weight[2] = {
          _mm256_i32gather_epi32(weightTable, _mm256_cvtepi16_epi32(_mm256_castsi256_si128(count)), 4),
          _mm256_i32gather_epi32(weightTable, _mm256_cvtepi16_epi32(_mm256_extracti128_si256(count, 1)), 4)};
      _mm256_store_si256(reinterpret_cast<__m256i*>(weightRows[y] + x0), weight[0]);
      _mm256_store_si256(reinterpret_cast<__m256i*>(weightRows[y] + x0 + 8), weight[1]);

      for (int u = 0; u < 8; ++u) {
        for (int half = 0; half < 2; ++half) {
          __m256i X[8], B[8];
          for (int v = 0; v < 8; ++v)
            X[v] = _mm256_cvtepi16_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(C[8 * u + v] + 8 * half)));
          InverseDct32Lanes(X, B);
          for (int r = 0; r < 8; ++r) {
            __m256i* sum = reinterpret_cast<__m256i*>(accumRows[y + r] + u * stride + x0 + 8 * half);
            _mm256_store_si256(sum, _mm256_add_epi32(_mm256_load_si256(sum), _mm256_mullo_epi32(B[r], weight[half])));
          }
        }
      }
    }
  }
}

VELMORAINE_AVX2 void SynthesizeRowAvx2(const int32_t* accum, ptrdiff_t stride, int32_t W, int32_t* pixelSums,
                                       int32_t* scratch) {
  // Each segment's 8 outputs go to 8 planar rows, shifted so that sample x
  // then adds lane x of each row: scratch row j holds output j of segment x at
  // index 8 + x, and is read at 8 + x - j.
  const ptrdiff_t rowLength = stride + 16;
  const int32_t blocks = W - 7;
  for (int32_t x0 = 0; x0 < blocks; x0 += 8) {
    __m256i q[8], p[8];
    for (int i = 0; i < 8; ++i) q[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(accum + i * stride + x0));
    InverseDct32Lanes(q, p);
    for (int j = 0; j < 8; ++j)
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(scratch + j * rowLength + 8 + x0), p[j]);
  }
  for (int32_t x0 = 0; x0 < W; x0 += 8) {
    __m256i sum = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(scratch + 8 + x0));
    for (int j = 1; j < 8; ++j)
      sum = _mm256_add_epi32(sum, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(scratch + j * rowLength + 8 + x0 - j)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(pixelSums + x0), sum);
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

}  // namespace

void InitStreamDspAvx2(StreamDsp& dsp) {
  dsp.analyseRow = AnalyseRowAvx2;
  dsp.accumulateBlockRows = AccumulateBlockRowsAvx2;
  dsp.synthesizeRow = SynthesizeRowAvx2;
  dsp.normalizeRow = NormalizeRowAvx2;
}

}  // namespace velmoraine

#else

namespace velmoraine {
void InitStreamDspAvx2(StreamDsp&) {}
}  // namespace velmoraine

#endif
