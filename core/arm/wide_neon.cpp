// NEON versions of the wide pass's kernels (planes of 9..16-bit words).
//
// The lanes of the SSE2 versions (x86/wide_sse2.cpp), so the bounds given in
// lanes/wide_lanes.inc hold unchanged: the transforms and the shrinkage in
// 32-bit lanes, 4 block positions per vector, every value below 2^22 in
// magnitude, and the weighted sums and the inverse row transform in 64-bit
// lanes, 2 per vector. The lane-generic parts are lanes/wide_lanes.inc, with
// x86's lane operations given their NEON meaning (arm/neon_lane_ops.inc).
// NEON has what SSE2 builds from other instructions: |C| in one instruction,
// the signed 32 x 32 -> 64-bit multiply-accumulate (smlal, smlal2), which adds
// a block row into the sums in lane order, the 32-bit multiply (for light
// bands, summed in 32-bit lanes as with AVX2) and the 64-bit arithmetic
// shift; and a lifting product (k * x) >> s is one sqdmulh. The
// requantisation stays the plain one.
#include "core/arm/stream_dsp_arm.h"
#include "core/wide_bounds.h"

#include <arm_neon.h>

namespace velmoraine {

namespace {

#include "core/arm/neon_lane_ops.inc"

inline int64x2_t Lanes64(Vec v) { return vreinterpretq_s64_s16(v); }
inline Vec Lanes16(int64x2_t v) { return vreinterpretq_s16_s64(v); }
inline Vec Lanes16(uint32x4_t v) { return vreinterpretq_s16_u32(v); }

// (k * x) >> s in one instruction: sqdmulh gives floor(2 * x * c / 2^32) from
// the exact product, and with c = k << (31 - s) (below 2^31 for every k and s
// of the lifting) that is floor(k * x / 2^s), which is (k * x) >> s whenever
// k * x fits 32 bits, as it does here. (It saturates only for c = INT32_MIN.)
inline Vec MulShr32(Vec x, int k, int s) { return Lanes16(vqdmulhq_s32(Lanes32(x), vdupq_n_s32(k << (31 - s)))); }

constexpr int kLanes = 4;  // 32-bit lanes of a Vec: block positions per chunk

inline Vec WidenWords(const uint16_t* p) { return Lanes16(vmovl_u16(vld1_u16(p))); }
// thresholds[k] holds threshold k in every lane.
inline Vec KeepMask32(Vec C, const Vec* thresholds, int k) {
  return Lanes16(vcgtq_s32(vabsq_s32(Lanes32(C)), Lanes32(thresholds[k])));
}
inline Vec Add64(Vec a, Vec b) { return Lanes16(vaddq_s64(Lanes64(a), Lanes64(b))); }
inline Vec Sub64(Vec a, Vec b) { return Lanes16(vsubq_s64(Lanes64(a), Lanes64(b))); }
inline Vec Shl64(Vec x, int s) { return Lanes16(vshlq_s64(Lanes64(x), vdupq_n_s64(s))); }
// A shift by a negative count shifts right, arithmetically (sshl).
inline Vec Sra64(Vec x, int s) { return Lanes16(vshlq_s64(Lanes64(x), vdupq_n_s64(-s))); }
#include "core/lanes/wide_lanes.inc"

// Calls add(k, first, last) for the rows k = 0 .. rows+6 of sums, which
// receive the block rows first .. last of the band. A full band (kRows = 8)
// has its bounds known when compiled: the loop unrolls, and with it go the
// loops over the block rows and their index arithmetic; other bands pass
// kRows = 0 and their own count.
#if defined(__clang__)
#define VELMORAINE_UNROLL_FULLY _Pragma("clang loop unroll(full)")
#else
#define VELMORAINE_UNROLL_FULLY _Pragma("GCC unroll 15")
#endif
template <int kRows, typename Add>
inline void ForEachSumsRow(int32_t bandRows, Add add) {
  if constexpr (kRows != 0) {
    VELMORAINE_UNROLL_FULLY
    for (int32_t k = 0; k < kRows + 7; ++k) add(k, k > 7 ? k - 7 : 0, k < kRows - 1 ? k : kRows - 1);
  } else {
    for (int32_t k = 0; k < bandRows + 7; ++k) add(k, k > 7 ? k - 7 : 0, k < bandRows - 1 ? k : bandRows - 1);
  }
}
#undef VELMORAINE_UNROLL_FULLY

// Adds the block rows of a band, B[j][8u + r] weighing weights[j] (0 ..
// 16385), to sums rows 0 .. rows+6: sums row k receives row k - j of block
// row j. Each product m * B is exact in 64 bits (below 2^37) and goes
// straight into the sums of its lane.
template <int kRows>
inline void AddWideSums(int64_t* const* accumRows, ptrdiff_t offset, ptrdiff_t stride, int32_t bandRows,
                        const Vec (*B)[64], const int32x4_t* weights) {
  for (int u = 0; u < 8; ++u) {
    ForEachSumsRow<kRows>(bandRows, [&](int32_t k, int32_t first, int32_t last) {
      int64_t* sums = accumRows[k] + u * stride + offset;
      int64x2_t low = vld1q_s64(sums), high = vld1q_s64(sums + 2);
      for (int32_t j = first; j <= last; ++j) {
        const int32x4_t b = Lanes32(B[j][8 * u + k - j]);
        low = vmlal_s32(low, vget_low_s32(b), vget_low_s32(weights[j]));
        high = vmlal_high_s32(high, b, weights[j]);
      }
      vst1q_s64(sums, low);
      vst1q_s64(sums + 2, high);
    });
  }
}

// The same when no lane's weights sum past kLightWeights over the band's
// block rows that reconstruct to anything but 0: as with AVX2, every sum of
// weighted blocks then stays below 512 * 64 * 65535 < 2^31 and is formed in
// 32-bit lanes (mla), then widened as it is added to the 64-bit sums.
constexpr int32_t kLightWeights = 512;
static_assert(kLightWeights <= kLightWeightsLimit, "light sums would leave their 32-bit lanes");

template <int kRows>
inline void AddLightWideSums(int64_t* const* accumRows, ptrdiff_t offset, ptrdiff_t stride, int32_t bandRows,
                             const Vec (*B)[64], const int32x4_t* weights) {
  for (int u = 0; u < 8; ++u) {
    ForEachSumsRow<kRows>(bandRows, [&](int32_t k, int32_t first, int32_t last) {
      int32x4_t sum = vdupq_n_s32(0);
      for (int32_t j = first; j <= last; ++j) sum = vmlaq_s32(sum, Lanes32(B[j][8 * u + k - j]), weights[j]);
      int64_t* sums = accumRows[k] + u * stride + offset;
      vst1q_s64(sums, vaddw_s32(vld1q_s64(sums), vget_low_s32(sum)));
      vst1q_s64(sums + 2, vaddw_high_s32(vld1q_s64(sums + 2), sum));
    });
  }
}

inline void AddBand(int64_t* const* accumRows, ptrdiff_t offset, ptrdiff_t stride, int32_t rows, bool light,
                    const Vec (*B)[64], const int32x4_t* weights) {
  if (light) {
    if (rows == 8) return AddLightWideSums<8>(accumRows, offset, stride, rows, B, weights);
    return AddLightWideSums<0>(accumRows, offset, stride, rows, B, weights);
  }
  if (rows == 8) return AddWideSums<8>(accumRows, offset, stride, rows, B, weights);
  AddWideSums<0>(accumRows, offset, stride, rows, B, weights);
}

// The block stage of one band (see AccumulateBlockRowsWideFn), column chunk
// by column chunk.
void AccumulateBlockRowsWideNeon(const int32_t* const* coeffRows, int64_t* const* accumRows,
                                 int32_t* const* weightRows, int32_t rows, int32_t blocks, ptrdiff_t stride,
                                 const WideBlockStageTables& tables) {
  if (rows < 1 || rows > 8) return;  // a band has 1..8 block rows (see block_stage.inc)
  Vec thresholds[64];
  for (int k = 0; k < 64; ++k)
    thresholds[k] = Lanes16(vdupq_n_s32(tables.threshold[k] > 1 ? tables.threshold[k] - 1 : 0));
  Vec chunk[15 * 8];  // row coefficients of the chunk, [8 * row + u]
  Vec B[8][64];       // inverse column transforms of the band's block rows, [8 * u + r]
  int32x4_t weights[8];
  alignas(16) int32_t zeros[kLanes], laneWeights[kLanes];
  const int32x4_t all = vdupq_n_s32(64);
  for (int32_t x0 = 0; x0 < blocks; x0 += kLanes) {
    // The lines of the 120 streams a few chunks on are asked for now (see
    // the AVX2 version).
    for (int32_t r = 0; r < rows + 7; ++r) {
      for (int u = 0; u < 8; ++u) {
        chunk[8 * r + u] = LoadUnaligned(coeffRows[r] + u * stride + x0);
        __builtin_prefetch(coeffRows[r] + u * stride + x0 + 8 * kLanes);
        __builtin_prefetch(accumRows[r] + u * stride + x0 + 8 * kLanes);
      }
    }
    // The weights of blocks with a coefficient left, summed over the band:
    // a block whose coefficients are all 0 reconstructs to 0.
    int32x4_t total = vdupq_n_s32(0);  // below 8 * 16385: no lane wraps
    for (int32_t j = 0; j < rows; ++j) {
      const int32x4_t count = vaddq_s32(all, Lanes32(TransformWideBlockRow(chunk + 8 * j, thresholds, B[j])));
      vst1q_s32(zeros, count);
      for (int i = 0; i < kLanes; ++i) laneWeights[i] = tables.weightOfZeros[zeros[i]];
      weights[j] = vld1q_s32(laneWeights);
      vst1q_s32(weightRows[j] + x0, weights[j]);
      total = vaddq_s32(total, vbicq_s32(weights[j], vreinterpretq_s32_u32(vceqq_s32(count, all))));
    }
    AddBand(accumRows, x0, stride, rows, vmaxvq_s32(total) <= kLightWeights, B, weights);
  }
}

// values = (16 * sums) / D by double division, exact as in the AVX2 version
// (proof there) for |A| < 2^47; the quotient, below 2^51, converts to 64 bits
// and narrowing keeps its low 32 bits, as the plain version's conversion
// does. A chunk with a sum beyond 2^47 is redone in 64-bit integers; the pass
// produces none.
inline int32x2_t WideQuotient(int64x2_t A, int32x2_t D) {
  const float64x2_t numerator = vcvtq_f64_s64(vshlq_n_s64(A, 4));
  return vmovn_s64(vcvtq_s64_f64(vdivq_f64(numerator, vcvtq_f64_s64(vmovl_s32(D)))));
}

void NormalizeRowWideNeon(const int64_t* sums, const int32_t* columnWeights, int32_t W, int32_t* values) {
  const int64x2_t most = vdupq_n_s64((int64_t{1} << 47) - 1), least = vdupq_n_s64(-(int64_t{1} << 47));
  for (int32_t x0 = 0; x0 < W; x0 += 4) {
    int32x4_t D = vld1q_s32(columnWeights + x0);
    for (int i = 1; i < 8; ++i) D = vaddq_s32(D, vld1q_s32(columnWeights + x0 - i));
    D = vmaxq_s32(D, vdupq_n_s32(1));  // lanes past the row only
    const int64x2_t low = vld1q_s64(sums + x0), high = vld1q_s64(sums + x0 + 2);
    const uint64x2_t outside = vorrq_u64(vorrq_u64(vcgtq_s64(low, most), vcltq_s64(low, least)),
                                         vorrq_u64(vcgtq_s64(high, most), vcltq_s64(high, least)));
    vst1q_s32(values + x0, vcombine_s32(WideQuotient(low, vget_low_s32(D)), WideQuotient(high, vget_high_s32(D))));
    if (vmaxvq_u32(vreinterpretq_u32_u64(outside)) == 0) continue;
    NormalizeRowWidePlain(sums + x0, columnWeights + x0, W - x0 < 4 ? W - x0 : 4, values + x0);
  }
}

#undef LANE_TARGET
#undef LANE_OP
#undef LANE_BITS

}  // namespace

void InitWideStreamDspNeon(StreamDsp& dsp) {
  dsp.analyseRowWide = AnalyseRowWideLanes;
  dsp.accumulateBlockRowsWide = AccumulateBlockRowsWideNeon;
  dsp.synthesizeRowWide = SynthesizeRowWideLanes;
  dsp.normalizeRowWide = NormalizeRowWideNeon;
}

}  // namespace velmoraine
