// SSE2 versions of the streaming kernels, for x86 processors without AVX2
// (SSE2 is part of every x86-64 processor, and the Windows build requires it).
//
// The same design as the AVX2 versions (see x86/stream_avx2.cpp for why 16-bit
// lanes are exact), with 8 lanes per vector: the block stage runs in 16-bit
// lanes and adds weighted blocks to the 32-bit sums with pmaddwd, two block
// rows per instruction. Where SSE2 lacks an instruction (16-bit abs, 32-bit
// multiply and min/max, gathers) it is built from others or done per lane.
#include "core/stream_dsp.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))

#include <emmintrin.h>
#include <string.h>

#define VELMORAINE_SSE2 __attribute__((target("sse2")))

namespace velmoraine {

namespace {

// ---- 16-bit lanes: the lifting DCT through high-half products -------------
using Vec = __m128i;
#define LANE_TARGET VELMORAINE_SSE2
VELMORAINE_SSE2 inline Vec Add16(Vec a, Vec b) { return _mm_add_epi16(a, b); }
VELMORAINE_SSE2 inline Vec Sub16(Vec a, Vec b) { return _mm_sub_epi16(a, b); }
VELMORAINE_SSE2 inline Vec Sra16(Vec x, int n) { return _mm_srai_epi16(x, n); }
VELMORAINE_SSE2 inline Vec MulHigh16(Vec x, int c) { return _mm_mulhi_epi16(x, _mm_set1_epi16(static_cast<short>(c))); }
#include "core/x86/lifting_16bit_lanes.inc"
#undef LANE_TARGET

// ---- 32-bit lanes: k * x by shifts and adds, wrapping like a product -------
VELMORAINE_SSE2 inline __m128i MulShr(__m128i x, int k, int s) {
  const __m128i x2 = _mm_add_epi32(x, x);
  __m128i p;
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

VELMORAINE_SSE2 inline void InverseDct32Lanes(const __m128i X[8], __m128i r[8]) {
  const __m128i e1 = _mm_sub_epi32(_mm_srai_epi32(X[0], 1), X[4]);
  const __m128i e0 = _mm_sub_epi32(X[0], e1);
  const __m128i e3 = _mm_add_epi32(X[2], MulShr(X[6], 11, 5));
  const __m128i e2 = _mm_sub_epi32(MulShr(e3, 13, 5), X[6]);
  const __m128i o6 = _mm_add_epi32(X[3], MulShr(X[5], 15, 5));
  const __m128i o5 = _mm_sub_epi32(X[5], MulShr(o6, 11, 4));
  const __m128i o7 = _mm_add_epi32(X[1], MulShr(X[7], 3, 4));
  const __m128i o4 = _mm_sub_epi32(MulShr(o7, 3, 4), X[7]);
  const __m128i S07 = _mm_add_epi32(e0, e3), S34 = _mm_sub_epi32(e0, e3);
  const __m128i S16 = _mm_add_epi32(e1, e2), S25 = _mm_sub_epi32(e1, e2);
  const __m128i D34 = _mm_add_epi32(o4, o5);
  __m128i D25 = _mm_sub_epi32(o4, o5);
  __m128i D16 = _mm_sub_epi32(o7, o6);
  const __m128i D07 = _mm_add_epi32(o7, o6);
  D25 = _mm_sub_epi32(MulShr(D16, 13, 5), D25);
  D16 = _mm_sub_epi32(D16, MulShr(D25, 11, 4));
  D25 = _mm_add_epi32(D25, MulShr(D16, 13, 5));
  r[0] = _mm_add_epi32(S07, D07);
  r[1] = _mm_add_epi32(S16, D16);
  r[2] = _mm_add_epi32(S25, D25);
  r[3] = _mm_add_epi32(S34, D34);
  r[4] = _mm_sub_epi32(S34, D34);
  r[5] = _mm_sub_epi32(S25, D25);
  r[6] = _mm_sub_epi32(S16, D16);
  r[7] = _mm_sub_epi32(S07, D07);
}

VELMORAINE_SSE2 void AnalyseRowSse2(const uint8_t* row, int32_t W, int16_t* coeffs, ptrdiff_t stride) {
  const int32_t blocks = W - 7;
  const __m128i zero = _mm_setzero_si128();
  alignas(16) uint8_t tail[32];
  for (int32_t x0 = 0; x0 < blocks; x0 += 8) {
    // A chunk reads bytes x0 .. x0+14; near the end of the row they come from
    // a zero-padded copy so that nothing past the row is read.
    const uint8_t* src = row + x0;
    if (x0 + 15 > W) {
      memset(tail, 0, sizeof tail);
      memcpy(tail, src, static_cast<size_t>(W - x0));
      src = tail;
    }
    __m128i x[8], X[8];
    for (int i = 0; i < 8; ++i)
      x[i] = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + i)), zero);
    ForwardDct16Lanes<1>(&x, &X);
    for (int u = 0; u < 8; ++u) _mm_store_si128(reinterpret_cast<__m128i*>(coeffs + u * stride + x0), X[u]);
  }
}

// Column transforms, shrinkage and weight of one block row of an 8-block chunk;
// B[8u + r] receives the inverse column transforms, weights[] the 8 weights.
VELMORAINE_SSE2 inline void TransformBlockRow(const int16_t* const* coeffRows, ptrdiff_t offset,
                                              const __m128i* threshold, const int32_t* weightTable, __m128i B[64],
                                              int32_t weights[8]) {
  const __m128i zero = _mm_setzero_si128();
  __m128i zeros = zero;  // minus the count of zero coefficients per lane
  for (int u = 0; u < 8; ++u) {
    __m128i column[8], C[8];
    for (int r = 0; r < 8; ++r)
      column[r] = _mm_load_si128(reinterpret_cast<const __m128i*>(coeffRows[r] + u * offset));
    ForwardDct16Lanes<1>(&column, &C);
    // threshold holds max(t, 1): one mask zeroes and counts (see AVX2).
    for (int v = 0; v < 8; ++v) {
      const __m128i magnitude = _mm_max_epi16(C[v], _mm_sub_epi16(zero, C[v]));
      const __m128i small = _mm_cmpgt_epi16(threshold[8 * u + v], magnitude);
      C[v] = _mm_andnot_si128(small, C[v]);
      zeros = _mm_add_epi16(zeros, small);
    }
    InverseDct16Lanes<1>(&C, reinterpret_cast<__m128i(*)[8]>(B + 8 * u));
  }
  alignas(16) int16_t count[8];
  _mm_store_si128(reinterpret_cast<__m128i*>(count), _mm_sub_epi16(zero, zeros));
  for (int i = 0; i < 8; ++i) weights[i] = weightTable[count[i]];
}

VELMORAINE_SSE2 inline void AddWeightedPair(int32_t* sums, __m128i B, __m128i nextB, __m128i weightsLow,
                                            __m128i weightsHigh) {
  __m128i* low = reinterpret_cast<__m128i*>(sums);
  __m128i* high = reinterpret_cast<__m128i*>(sums + 4);
  _mm_store_si128(low, _mm_add_epi32(_mm_load_si128(low), _mm_madd_epi16(_mm_unpacklo_epi16(B, nextB), weightsLow)));
  _mm_store_si128(high,
                  _mm_add_epi32(_mm_load_si128(high), _mm_madd_epi16(_mm_unpackhi_epi16(B, nextB), weightsHigh)));
}

VELMORAINE_SSE2 void AccumulateBlockRowsSse2(const int16_t* const* coeffRows, int32_t* const* accumRows,
                                             int32_t* const* weightRows, int32_t rows, int32_t blocks,
                                             ptrdiff_t stride, const BlockStageTables& tables) {
  __m128i threshold[64];
  for (int k = 0; k < 64; ++k) threshold[k] = _mm_set1_epi16(tables.threshold[k] > 1 ? tables.threshold[k] : 1);
  const __m128i zero = _mm_setzero_si128();
  __m128i B[2][64];
  for (int32_t x0 = 0; x0 < blocks; x0 += 8) {
    for (int32_t y = 0; y < rows; y += 2) {
      const bool pair = y + 1 < rows;
      const int16_t* chunkRows[9];
      for (int r = 0; r < (pair ? 9 : 8); ++r) chunkRows[r] = coeffRows[y + r] + x0;
      alignas(16) int32_t weights[2][8];
      TransformBlockRow(chunkRows, stride, threshold, tables.weightOfZeros, B[0], weights[0]);
      if (pair) {
        TransformBlockRow(chunkRows + 1, stride, threshold, tables.weightOfZeros, B[1], weights[1]);
      } else {
        for (int i = 0; i < 8; ++i) weights[1][i] = 0;
        for (int i = 0; i < 64; ++i) B[1][i] = zero;
      }
      for (int j = 0; j < (pair ? 2 : 1); ++j)
        for (int i = 0; i < 8; ++i) weightRows[y + j][x0 + i] = weights[j][i];
      // Weights fit 16 bits (at most 16385): interleave the two rows' weights.
      alignas(16) int16_t pairs[16];
      for (int i = 0; i < 8; ++i) pairs[2 * i] = static_cast<int16_t>(weights[0][i]), pairs[2 * i + 1] = static_cast<int16_t>(weights[1][i]);
      const __m128i weightsLow = _mm_load_si128(reinterpret_cast<const __m128i*>(pairs));
      const __m128i weightsHigh = _mm_load_si128(reinterpret_cast<const __m128i*>(pairs + 8));
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

VELMORAINE_SSE2 void SynthesizeRowSse2(int32_t* accum, ptrdiff_t stride, int32_t W, int32_t* pixelSums,
                                       int32_t* scratch) {
  // As the AVX2 version: scratch row j holds output j of segment x at 8 + x.
  const ptrdiff_t rowLength = stride + 16;
  const int32_t blocks = W - 7;
  for (int32_t x0 = 0; x0 < blocks; x0 += 4) {
    __m128i q[8], p[8];
    for (int i = 0; i < 8; ++i) {
      __m128i* sums = reinterpret_cast<__m128i*>(accum + i * stride + x0);
      q[i] = _mm_load_si128(sums);
      _mm_store_si128(sums, _mm_setzero_si128());
    }
    InverseDct32Lanes(q, p);
    for (int j = 0; j < 8; ++j) _mm_storeu_si128(reinterpret_cast<__m128i*>(scratch + j * rowLength + 8 + x0), p[j]);
  }
  for (int32_t x0 = 0; x0 < W; x0 += 4) {
    __m128i sum = _mm_loadu_si128(reinterpret_cast<const __m128i*>(scratch + 8 + x0));
    for (int j = 1; j < 8; ++j)
      sum = _mm_add_epi32(sum, _mm_loadu_si128(reinterpret_cast<const __m128i*>(scratch + j * rowLength + 8 + x0 - j)));
    _mm_store_si128(reinterpret_cast<__m128i*>(pixelSums + x0), sum);
  }
}

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
    const int suspicious = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(N, indefinite)));
    if (suspicious != 0) {
      alignas(16) int32_t a[4], d[4];
      _mm_store_si128(reinterpret_cast<__m128i*>(a), A);
      _mm_store_si128(reinterpret_cast<__m128i*>(d), D);
      for (int i = 0; i < 4 && x0 + i < W; ++i)
        if (suspicious >> i & 1) pixel[x0 + i] = static_cast<int32_t>(16 * static_cast<int64_t>(a[i]) / d[i]);
    }
  }
}

}  // namespace

void InitStreamDspSse2(StreamDsp& dsp) {
  dsp.analyseRow = AnalyseRowSse2;
  dsp.accumulateBlockRows = AccumulateBlockRowsSse2;
  dsp.synthesizeRow = SynthesizeRowSse2;
  dsp.normalizeRow = NormalizeRowSse2;
}

}  // namespace velmoraine

#else

namespace velmoraine {
void InitStreamDspSse2(StreamDsp&) {}
}  // namespace velmoraine

#endif
