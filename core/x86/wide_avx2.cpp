// AVX2 versions of the wide pass's kernels (planes of 9..16-bit words).
//
// Lanes are block positions, as in the 8-bit kernels: one vector holds the
// same frequency of 8 adjacent segments in 32-bit lanes, or of 4 in 64-bit
// lanes.
//
// Where 32 bits hold every value. For any 16-bit words (whatever the depth,
// so words above 2^bits - 1 too), every step of the forward row transform, the
// forward column transform of its coefficients and the inverse column
// transform of any subset of those column coefficients stays within 64 * 65535
// (below 2^22) in magnitude, so that 15 times it fits a 32-bit lane: the lifting products
// k * x (k <= 15) are exact in vpmulld, and abs never meets INT32_MIN. The
// bound comes from the affine arithmetic of tests/checkasm/lane_bounds_test.cpp
// over the box of every 16-bit word, not over the nominal range of one depth.
// The weighted blocks are then summed in 64-bit lanes: vpmuldq forms each
// m * B exactly (the sums pass 2^32 on bright areas).
//
// The inverse row transform runs on those 64-bit sums (8 weighted blocks of
// at most 16385 * 2^22 each, below 2^40, grown at most 35 times by the steps
// of the transform: every lifting product stays far inside 64 bits). AVX2 has no
// 64-bit multiply or arithmetic shift: k * x is built from shifts and adds and
// the floor shift from a logical shift with the sign filled in.
#include "core/requantize.h"
#include "core/stream_dsp.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))

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
#include "core/x86/lifting_32bit_lanes.inc"

constexpr int kLanes = 8;  // 32-bit lanes of a Vec: block positions per chunk

VELMORAINE_AVX2 inline void ForwardDct32Lanes(const Vec in[8], Vec out[8]) {
  const Vec s07 = Add32(in[0], in[7]), d07 = Sub32(in[0], in[7]);
  const Vec s16 = Add32(in[1], in[6]), s25 = Add32(in[2], in[5]);
  const Vec s34 = Add32(in[3], in[4]), d34 = Sub32(in[3], in[4]);
  Vec d16 = Sub32(in[1], in[6]), d25 = Sub32(in[2], in[5]);
  d25 = Sub32(d25, MulShr32(d16, 13, 5));
  d16 = Add32(d16, MulShr32(d25, 11, 4));
  d25 = Sub32(MulShr32(d16, 13, 5), d25);
  const Vec e0 = Add32(s07, s34), e3 = Sub32(s07, s34), e1 = Add32(s16, s25), e2 = Sub32(s16, s25);
  const Vec o4 = Add32(d34, d25), o5 = Sub32(d34, d25), o6 = Sub32(d07, d16), o7 = Add32(d07, d16);
  out[0] = Add32(e0, e1);
  out[4] = Sub32(Sra32(out[0], 1), e1);
  out[6] = Sub32(MulShr32(e3, 13, 5), e2);
  out[2] = Sub32(e3, MulShr32(out[6], 11, 5));
  out[7] = Sub32(MulShr32(o7, 3, 4), o4);
  out[1] = Sub32(o7, MulShr32(out[7], 3, 4));
  out[5] = Add32(o5, MulShr32(o6, 11, 4));
  out[3] = Sub32(o6, MulShr32(out[5], 15, 5));
}

// Segments x .. x+7 read words x .. x+14; the last segments, whose chunk
// would read past the row, go through the plain kernel.
VELMORAINE_AVX2 void AnalyseRowWideAvx2(const uint16_t* row, int32_t W, int32_t* coeffs, ptrdiff_t stride) {
  int32_t x = 0;
  for (; x + kLanes + 7 <= W; x += kLanes) {
    Vec a[8], X[8];
    for (int i = 0; i < 8; ++i)
      a[i] = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x + i)));
    ForwardDct32Lanes(a, X);
    for (int u = 0; u < 8; ++u) StoreUnaligned(coeffs + u * stride + x, X[u]);
  }
  if (x + 8 <= W) AnalyseRowWidePlain(row + x, W - x, coeffs + x, stride);
}

// One block row of a chunk: every column forward, shrunk and back into
// B[8u + r]. rows holds the chunk's row coefficients from the block row's
// first row on, [8 * row + u]. Returns the negated count of kept
// coefficients: a lane keeps its coefficient when the magnitude exceeds
// keepAbove, which is never below 0, so a zero coefficient always counts as
// a zero.
VELMORAINE_AVX2 inline Vec TransformWideBlockRow(const Vec* rows, const Vec* keepAbove, Vec B[64]) {
  Vec kept = Zero();
  for (int u = 0; u < 8; ++u) {
    Vec column[8], C[8];
    for (int r = 0; r < 8; ++r) column[r] = rows[8 * r + u];
    ForwardDct32Lanes(column, C);
    for (int v = 0; v < 8; ++v) {
      const Vec keep = _mm256_cmpgt_epi32(_mm256_abs_epi32(C[v]), keepAbove[8 * u + v]);
      C[v] = And(C[v], keep);
      kept = Add32(kept, keep);
    }
    InverseDct32Lanes(C, B + 8 * u);
  }
  return kept;
}

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

// A full band (kRows = 8) has its loop bounds known when compiled: the loops
// unroll and the index arithmetic goes away; other bands pass kRows = 0 and
// their own count.
template <int kRows>
VELMORAINE_AVX2 inline void AddLightWideSums(int64_t* const* accumRows, ptrdiff_t offset, ptrdiff_t stride,
                                             int32_t bandRows, const Vec (*B)[64], const Vec* weights) {
  const int32_t rows = kRows != 0 ? kRows : bandRows;
  for (int u = 0; u < 8; ++u) {
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
  }
}

// The block stage of one band (see AccumulateBlockRowsWideFn), column chunk
// by column chunk.
VELMORAINE_AVX2 void AccumulateBlockRowsWideAvx2(const int32_t* const* coeffRows, int64_t* const* accumRows,
                                                 int32_t* const* weightRows, int32_t rows, int32_t blocks,
                                                 ptrdiff_t stride, const WideBlockStageTables& tables) {
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
      weights[j] = _mm256_i32gather_epi32(weightOfZeros, zeros, 4);
      StoreUnaligned(weightRows[j] + x0, weights[j]);
      total = Add32(total, _mm256_andnot_si256(_mm256_cmpeq_epi32(zeros, all), weights[j]));
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

// ---- 64-bit lanes: the inverse row transform of the sums --------------------
VELMORAINE_AVX2 inline Vec Add64(Vec a, Vec b) { return _mm256_add_epi64(a, b); }
VELMORAINE_AVX2 inline Vec Sub64(Vec a, Vec b) { return _mm256_sub_epi64(a, b); }
// floor(x / 2^s) for s < 32: of x = h * 2^32 + l, the low half is that of the
// logical shift and the high half is h shifted arithmetically.
VELMORAINE_AVX2 inline Vec Sra64(Vec x, int s) {
  return _mm256_blend_epi32(_mm256_srli_epi64(x, s), _mm256_srai_epi32(x, s), 0xAA);
}
// (k * x) >> s for the transform's multipliers 3, 11, 13 and 15.
VELMORAINE_AVX2 inline Vec MulShr64(Vec x, int k, int s) {
  const Vec x2 = _mm256_slli_epi64(x, 1), x8 = _mm256_slli_epi64(x, 3);
  Vec product;
  switch (k) {
    case 3: product = Add64(x2, x); break;
    case 11: product = Add64(Add64(x8, x2), x); break;
    case 13: product = Add64(Add64(x8, _mm256_slli_epi64(x, 2)), x); break;
    default: product = Sub64(_mm256_slli_epi64(x, 4), x); break;  // 15
  }
  return Sra64(product, s);
}

VELMORAINE_AVX2 inline void InverseDct64Lanes(const Vec X[8], Vec r[8]) {
  const Vec e1 = Sub64(Sra64(X[0], 1), X[4]), e0 = Sub64(X[0], e1);
  const Vec e3 = Add64(X[2], MulShr64(X[6], 11, 5)), e2 = Sub64(MulShr64(e3, 13, 5), X[6]);
  const Vec o6 = Add64(X[3], MulShr64(X[5], 15, 5)), o5 = Sub64(X[5], MulShr64(o6, 11, 4));
  const Vec o7 = Add64(X[1], MulShr64(X[7], 3, 4)), o4 = Sub64(MulShr64(o7, 3, 4), X[7]);
  const Vec S07 = Add64(e0, e3), S34 = Sub64(e0, e3), S16 = Add64(e1, e2), S25 = Sub64(e1, e2);
  const Vec D34 = Add64(o4, o5), D07 = Add64(o7, o6);
  Vec D25 = Sub64(o4, o5), D16 = Sub64(o7, o6);
  D25 = Sub64(MulShr64(D16, 13, 5), D25);
  D16 = Sub64(D16, MulShr64(D25, 11, 4));
  D25 = Add64(D25, MulShr64(D16, 13, 5));
  r[0] = Add64(S07, D07), r[1] = Add64(S16, D16), r[2] = Add64(S25, D25), r[3] = Add64(S34, D34);
  r[4] = Sub64(S34, D34), r[5] = Sub64(S25, D25), r[6] = Sub64(S16, D16), r[7] = Sub64(S07, D07);
}

// Output j of segment x goes to scratch row j at x; each sample then gathers
// its 8 contributions, scratch row j at x - j. Scratch rows start 8 entries
// in, so the reads before a row's first segment meet its zero padding; lanes
// past the last segment transform zero sums and hold 0.
VELMORAINE_AVX2 void SynthesizeRowWideAvx2(int64_t* accum, ptrdiff_t stride, int32_t W, int64_t* pixelSums,
                                           int64_t* scratch) {
  const ptrdiff_t pitch = stride + 16;
  const int32_t segments = W - 7;
  for (int32_t x = 0; x < segments; x += 4) {
    Vec q[8], p[8];
    for (int i = 0; i < 8; ++i) {
      Vec* sums = reinterpret_cast<Vec*>(accum + i * stride + x);
      q[i] = _mm256_loadu_si256(sums);
      _mm256_storeu_si256(sums, Zero());
    }
    InverseDct64Lanes(q, p);
    for (int j = 0; j < 8; ++j) _mm256_storeu_si256(reinterpret_cast<Vec*>(scratch + j * pitch + 8 + x), p[j]);
  }
  int32_t x = 0;
  for (; x + 4 <= W; x += 4) {
    Vec total = Zero();
    for (int j = 0; j < 8; ++j)
      total = Add64(total, _mm256_loadu_si256(reinterpret_cast<const Vec*>(scratch + j * pitch + 8 + x - j)));
    _mm256_storeu_si256(reinterpret_cast<Vec*>(pixelSums + x), total);
  }
  for (; x < W; ++x) {
    int64_t total = 0;
    for (int j = 0; j < 8; ++j) total += scratch[j * pitch + 8 + x - j];
    pixelSums[x] = total;
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

// Truncating division by 16 of signed lanes: bias negative values by 15.
VELMORAINE_AVX2 inline Vec DivideBy16(Vec x) {
  return _mm256_srai_epi32(_mm256_add_epi32(x, _mm256_and_si256(_mm256_srai_epi32(x, 31), _mm256_set1_epi32(15))), 4);
}

// The shares from the row above pulled 8 samples at a time, as in the 8-bit
// version, with the bounds of the depth; then the shared serial scan.
VELMORAINE_AVX2 void RequantizeRowWideAvx2(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                                           const int32_t* errorsTwoAbove, uint16_t* out, int32_t W, int32_t y,
                                           int32_t H, int32_t bits) {
  if (y < 1 || y > H - 2)
    return RequantizeWideOuterRow(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H, bits);
  const int32_t limit = (256 << bits) - 1;
  const Vec low = _mm256_set1_epi32(-(limit + 1)), high = _mm256_set1_epi32(2 * (limit + 1));
  const Vec zero = Zero(), top = _mm256_set1_epi32(limit);
  Vec largest = zero;
  int32_t x = 3;
  for (; x + 7 <= W - 5; x += 8) {
    Vec v = LoadUnaligned(values + x);
    v = _mm256_min_epi32(_mm256_max_epi32(v, low), high);
    const Vec left = LoadUnaligned(errorsAbove + x - 3);
    const Vec middle = LoadUnaligned(errorsAbove + x);
    const Vec right = LoadUnaligned(errorsAbove + x + 3);
    v = _mm256_add_epi32(v, DivideBy16(_mm256_add_epi32(_mm256_slli_epi32(left, 1), left)));
    v = _mm256_min_epi32(_mm256_max_epi32(v, zero), top);
    v = _mm256_add_epi32(v, DivideBy16(_mm256_add_epi32(_mm256_slli_epi32(middle, 2), middle)));
    v = _mm256_min_epi32(_mm256_max_epi32(v, zero), top);
    v = _mm256_add_epi32(v, DivideBy16(right));
    v = _mm256_min_epi32(_mm256_max_epi32(v, zero), top);
    largest = _mm256_max_epi32(largest, v);
    StoreUnaligned(values + x, v);
  }
  alignas(32) int32_t lanes[8];
  Store(lanes, largest);
  int32_t largestPulled = PullWideSharesFromAbove(values, errorsAbove, x, W - 5, bits);
  for (int i = 0; i < 8; ++i) largestPulled = lanes[i] > largestPulled ? lanes[i] : largestPulled;
  RequantizeWideInnerRowScan(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H, bits, largestPulled);
}

#undef LANE_TARGET
#undef LANE_OP
#undef LANE_BITS

}  // namespace

void InitWideStreamDspAvx2(StreamDsp& dsp) {
  dsp.analyseRowWide = AnalyseRowWideAvx2;
  dsp.accumulateBlockRowsWide = AccumulateBlockRowsWideAvx2;
  dsp.synthesizeRowWide = SynthesizeRowWideAvx2;
  dsp.normalizeRowWide = NormalizeRowWideAvx2;
  dsp.requantizeRowWide = RequantizeRowWideAvx2;
}

}  // namespace velmoraine

#else
// Not an x86 processor (or no GNU-style compiler): nothing to add.
void velmoraine::InitWideStreamDspAvx2(StreamDsp&) {}
#endif
