// Weight normalisation: every weighted sum is divided by the summed weights of
// the blocks that cover its sample, giving 256 units per 8-bit level.
#include "core/stream_dsp.h"

namespace velmoraine {

void NormalizeRowPlain(int32_t* pixel, const int32_t* columnWeights, int32_t W) {
  for (int32_t x = 0; x < W; ++x) {
    int64_t D = 0;
    for (int i = 0; i < 8; ++i) D += columnWeights[x - i];
    // 16 * A leaves the 32-bit range on bright flat areas with large weights.
    pixel[x] = static_cast<int32_t>(16 * static_cast<int64_t>(pixel[x]) / D);
  }
}

void NormalizeRowWidePlain(const int64_t* sums, const int32_t* columnWeights, int32_t W, int32_t* values) {
  for (int32_t x = 0; x < W; ++x) {
    int64_t D = 0;
    for (int i = 0; i < 8; ++i) D += columnWeights[x - i];
    // Sums of 16-bit words reach about 2^41; 16 times that stays far inside 64 bits.
    values[x] = static_cast<int32_t>(16 * sums[x] / D);
  }
}

}  // namespace velmoraine
