// AVX2 requantisation with error diffusion, one kernel for 8-bit samples and
// for 9..16-bit words: in an inner row the shares from the row above are
// pulled 8 samples at a time (see PullSharesFromAbove in core/requantize.h),
// then the serial scan, which is the same plain code at every level, runs.
// The depths differ only in the limit of the clamps: 2^bits * 256 - 1.
#include <immintrin.h>

#include "core/requantize.h"
#include "core/x86/stream_dsp_x86.h"

#define VELMORAINE_AVX2 __attribute__((target("avx2")))

namespace velmoraine {

namespace {

// Truncating division by 16 of signed lanes: bias negative values by 15.
VELMORAINE_AVX2 inline __m256i DivideBy16(__m256i x) {
  return _mm256_srai_epi32(_mm256_add_epi32(x, _mm256_and_si256(_mm256_srai_epi32(x, 31), _mm256_set1_epi32(15))), 4);
}

// Pulls the shares from above into columns 3 .. W-5 of an inner row of
// `bits`-bit words (8 for bytes, whose limit 65535 is the same rule) and
// returns the largest pulled value; the columns past the last whole vector
// take the plain loop.
VELMORAINE_AVX2 int32_t PullSharesFromAboveAvx2(int32_t* values, const int32_t* errorsAbove, int32_t W, int32_t bits) {
  const int32_t limit = (256 << bits) - 1;
  const __m256i low = _mm256_set1_epi32(-(limit + 1)), high = _mm256_set1_epi32(2 * (limit + 1));
  const __m256i zero = _mm256_setzero_si256(), top = _mm256_set1_epi32(limit);
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
  int32_t largestPulled = PullWideSharesFromAbove(values, errorsAbove, x, W - 5, bits);
  for (int i = 0; i < 8; ++i) largestPulled = lanes[i] > largestPulled ? lanes[i] : largestPulled;
  return largestPulled;
}

}  // namespace

VELMORAINE_AVX2 void RequantizeRowAvx2(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                                       const int32_t* errorsTwoAbove, uint8_t* out, int32_t W, int32_t y, int32_t H) {
  if (y < 1 || y > H - 2) return RequantizeOuterRow(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H);
  const int32_t largest = PullSharesFromAboveAvx2(values, errorsAbove, W, 8);
  RequantizeInnerRowScan(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H, largest);
}

VELMORAINE_AVX2 void RequantizeRowWideAvx2(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                                           const int32_t* errorsTwoAbove, uint16_t* out, int32_t W, int32_t y,
                                           int32_t H, int32_t bits) {
  if (y < 1 || y > H - 2)
    return RequantizeWideOuterRow(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H, bits);
  const int32_t largest = PullSharesFromAboveAvx2(values, errorsAbove, W, bits);
  RequantizeWideInnerRowScan(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H, bits, largest);
}

}  // namespace velmoraine
