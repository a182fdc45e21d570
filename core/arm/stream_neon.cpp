// NEON versions of the streaming kernels, for 64-bit ARM (Advanced SIMD is
// part of every ARMv8-A processor).
//
// The same design as the x86 versions, and the same sources: the lane-generic
// kernels of core/lanes/*.inc are written in x86's names for the lane
// operations (add_epi16, mulhi_epi16, madd_epi16, ...), and this file gives
// those names their NEON meaning, bit for bit. Lanes are block positions, 8 of
// them in 16-bit lanes, with the lane layout of SSE2 (plain order), so the
// 16-bit bounds proven for x86 (see lanes/lifting_16bit_lanes.inc and
// tests/checkasm/lane_bounds_test.cpp) hold unchanged: every value the block
// stage carries stays within +-16320, and every (k * x) >> s is the high half
// of a 16-bit product. Weighted block rows go into the 32-bit sums by widening
// multiply-accumulates, each product below 16385 * 16320 < 2^31. With 32
// vector registers the kernels take the 64-bit x86 paths (a whole column at a
// time, every row in registers).
#include "core/requantize.h"
#include "core/arm/stream_dsp_arm.h"

#include <arm_neon.h>
#include <string.h>

namespace velmoraine {

namespace {

#include "core/arm/neon_lane_ops.inc"
inline Vec Abs16(Vec x) { return vabsq_s16(x); }

// ---- 16-bit lanes: the lifting DCT and the block stage ---------------------
// Chunks of 8 blocks in plain lane order.
constexpr int kBlocks = 8;
inline Vec LoadCoefficients(const int16_t* p) { return vld1q_s16(p); }

// No gathers: the 8 weights are looked up one by one. They fit 16 bits (at
// most 16385), so narrowing keeps them.
inline Vec BlockWeights(Vec kept, const int32_t* table, int32_t* weights) {
  alignas(16) int16_t count[8];
  vst1q_s16(count, vaddq_s16(vdupq_n_s16(64), kept));
  for (int i = 0; i < 8; ++i) weights[i] = table[count[i]];
  return vcombine_s16(vmovn_s32(vld1q_s32(weights)), vmovn_s32(vld1q_s32(weights + 4)));
}

inline Vec LoadWidenedBytes(const uint8_t* p) { return vreinterpretq_s16_u16(vmovl_u8(vld1_u8(p))); }

// NEON multiplies 16-bit lanes and accumulates them into 32-bit ones without
// pairing them (smlal, smlal2): a block row's weights stay one vector, and
// each block row goes into the sums on its own, with no interleaving. The
// sums are the same integers as pmaddwd's: each product is below 2^31 and the
// additions wrap either way.
#define LANE_OWN_ROW_PAIRS
inline void PairWeights(Vec weightsOfFirst, Vec weightsOfSecond, Vec pair[2]) {
  pair[0] = weightsOfFirst;
  pair[1] = weightsOfSecond;
}
inline void AddRowPair(Vec& low, Vec& high, Vec first, Vec second, const Vec pair[2]) {
  int32x4_t sumsLow = vmlal_s16(Lanes32(low), vget_low_s16(first), vget_low_s16(pair[0]));
  int32x4_t sumsHigh = vmlal_high_s16(Lanes32(high), first, pair[0]);
  sumsLow = vmlal_s16(sumsLow, vget_low_s16(second), vget_low_s16(pair[1]));
  sumsHigh = vmlal_high_s16(sumsHigh, second, pair[1]);
  low = Lanes16(sumsLow), high = Lanes16(sumsHigh);
}

#include "core/lanes/lifting_16bit_lanes.inc"
#include "core/lanes/analyse_row.inc"
#include "core/lanes/block_stage.inc"

// ---- 32-bit lanes: products wrap modulo 2^32 like the reference's ----------
inline Vec MulShr32(Vec x, int k, int s) { return Lanes16(vshlq_s32(vmulq_n_s32(Lanes32(x), k), vdupq_n_s32(-s))); }
#include "core/lanes/lifting_32bit_lanes.inc"
// 4 sums a vector: output j of a segment reaches up to two chunks back, so
// the outputs go through scratch rows as with SSE2.
constexpr int kSums = 4;
#include "core/lanes/synthesize_row_scratch.inc"
#undef LANE_TARGET
#undef LANE_OP
#undef LANE_BITS

// The quotient by double division truncates exactly (proof beside the AVX2
// version): 16A and D are exact in double, and the correctly rounded quotient
// never reaches or crosses an integer. It converts to 64 bits, which hold
// every quotient (|16A| <= 2^35), and narrowing keeps its low 32 bits, as the
// plain version's conversion does.
inline int32x2_t TruncatedQuotient(int32x2_t A, int32x2_t D) {
  const float64x2_t numerator = vmulq_n_f64(vcvtq_f64_s64(vmovl_s32(A)), 16.0);
  return vmovn_s64(vcvtq_s64_f64(vdivq_f64(numerator, vcvtq_f64_s64(vmovl_s32(D)))));
}

void NormalizeRowNeon(int32_t* pixel, const int32_t* columnWeights, int32_t W) {
  for (int32_t x0 = 0; x0 < W; x0 += 4) {
    int32x4_t D = vld1q_s32(columnWeights + x0);
    for (int i = 1; i < 8; ++i) D = vaddq_s32(D, vld1q_s32(columnWeights + x0 - i));
    D = vmaxq_s32(D, vdupq_n_s32(1));  // lanes past the row only
    const int32x4_t A = vld1q_s32(pixel + x0);
    const int32x2_t low = TruncatedQuotient(vget_low_s32(A), vget_low_s32(D));
    vst1q_s32(pixel + x0, vcombine_s32(low, TruncatedQuotient(vget_high_s32(A), vget_high_s32(D))));
  }
}

// Truncating division by 16 of signed lanes: bias negative values by 15.
inline int32x4_t DivideBy16(int32x4_t x) {
  return vshrq_n_s32(vaddq_s32(x, vandq_s32(vshrq_n_s32(x, 31), vdupq_n_s32(15))), 4);
}

inline int32x4_t Clamp(int32x4_t v, int32x4_t low, int32x4_t high) { return vminq_s32(vmaxq_s32(v, low), high); }

// The shares from the row above, 4 columns at a time (PullSharesFromAbove);
// the serial scan is the plain one.
void RequantizeRowNeon(int32_t* values, int32_t* errors, const int32_t* errorsAbove, const int32_t* errorsTwoAbove,
                       uint8_t* out, int32_t W, int32_t y, int32_t H) {
  if (y < 1 || y > H - 2) return RequantizeOuterRow(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H);
  const int32x4_t low = vdupq_n_s32(-65536), high = vdupq_n_s32(131072);
  const int32x4_t zero = vdupq_n_s32(0), top = vdupq_n_s32(65535);
  int32x4_t largest = zero;
  int32_t x = 3;
  for (; x + 3 <= W - 5; x += 4) {
    int32x4_t v = Clamp(vld1q_s32(values + x), low, high);
    const int32x4_t left = vld1q_s32(errorsAbove + x - 3), middle = vld1q_s32(errorsAbove + x);
    v = Clamp(vaddq_s32(v, DivideBy16(vmulq_n_s32(left, 3))), zero, top);
    v = Clamp(vaddq_s32(v, DivideBy16(vmulq_n_s32(middle, 5))), zero, top);
    v = Clamp(vaddq_s32(v, DivideBy16(vld1q_s32(errorsAbove + x + 3))), zero, top);
    largest = vmaxq_s32(largest, v);
    vst1q_s32(values + x, v);
  }
  const int32_t pulled = PullSharesFromAbove(values, errorsAbove, x, W - 5);
  const int32_t largestVector = vmaxvq_s32(largest);
  RequantizeInnerRowScan(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H,
                         pulled > largestVector ? pulled : largestVector);
}

}  // namespace

void InitStreamDspNeon(StreamDsp& dsp) {
  dsp.analyseRow = AnalyseRowLanes;
  dsp.accumulateBlockRows = AccumulateBlockRowsLanes;
  dsp.synthesizeRow = SynthesizeRowThroughScratch;
  dsp.normalizeRow = NormalizeRowNeon;
  dsp.requantizeRow = RequantizeRowNeon;
}

}  // namespace velmoraine
