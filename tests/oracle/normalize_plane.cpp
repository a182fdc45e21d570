// Weight normalisation: every weighted sum is divided by the summed weights of
// the blocks that cover its sample, giving 256 units per 8-bit level.
#include "tests/oracle/oracle.h"

namespace velmoraine {

template <typename Coeff, typename Sum>
void NormalizePlane(Workspace<Coeff, Sum>& workspace, int32_t W, int32_t H) {
  const size_t width = static_cast<size_t>(W);
  const size_t stride = width * 8;
  Sum* table = workspace.coeffAccum;  // spent sums; the first W of each row
  const int16_t* weights = workspace.blockWeights;

  // Summed-area table of the block weights. On large planes the sums pass
  // 2^32; they wrap modulo 2^32, and every window difference below is still
  // exact because the true window sum is at most 64 * 16385.
  for (size_t y = 0; y < static_cast<size_t>(H); ++y) {
    uint32_t running = 0;
    for (size_t x = 0; x < width; ++x) {
      running += static_cast<uint32_t>(static_cast<int32_t>(weights[y * width + x]));
      uint32_t above = y > 0 ? static_cast<uint32_t>(table[(y - 1) * stride + x]) : 0u;
      table[y * stride + x] = static_cast<int32_t>(running + above);
    }
  }
  auto S = [&](size_t x, size_t y) { return static_cast<uint32_t>(table[y * stride + x]); };

  for (size_t y = 0; y < static_cast<size_t>(H); ++y) {
    for (size_t x = 0; x < width; ++x) {
      // The window max(0, x-7)..x by max(0, y-7)..y holds every block that
      // covers the sample, and the sample's own position.
      uint32_t divisor = S(x, y);
      if (x >= 8) divisor -= S(x - 8, y);
      if (y >= 8) divisor -= S(x, y - 8);
      if (x >= 8 && y >= 8) divisor += S(x - 8, y - 8);
      const int64_t D = static_cast<int32_t>(divisor);
      Sum& value = workspace.pixelAccum[y * width + x];
      // 16 * A leaves the 32-bit range on bright flat areas with large weights
      // (and reaches about 2^45 in the wide pass, whose quotient is kept whole).
      // Every sample of a plane of at least 8x8 is covered by a block weighing
      // at least 1, so D >= 1; the guard only keeps a broken caller defined.
      value = D > 0 ? static_cast<Sum>(16 * static_cast<int64_t>(value) / D) : 0;
    }
  }
}

template void NormalizePlane(PlaneWorkspace&, int32_t, int32_t);
template void NormalizePlane(WidePlaneWorkspace&, int32_t, int32_t);

}  // namespace velmoraine
