// Requantisation to 8 bits with error diffusion in raster order.
#include "core/requantize.h"
#include "tests/oracle/oracle.h"

namespace velmoraine {

void RequantizePlane(const PlaneView& plane, int32_t* pixelAccum) {
  const int32_t W = plane.width, H = plane.height;
  const size_t total = static_cast<size_t>(W) * static_cast<size_t>(H);
  for (int32_t y = 0; y < H; ++y) {
    uint8_t* row = plane.data + y * plane.pitch;
    for (int32_t x = 0; x < W; ++x) {
      const size_t i = static_cast<size_t>(y) * W + x;
      int32_t e;
      row[x] = QuantizeSample(pixelAccum[i], e);
      if (x == W - 1 || y == H - 1) continue;  // errors of the last row and column are dropped
      // Targets are flat indices three columns away; near a row's ends they
      // wrap into the neighbouring row, exactly as the indices say.
      pixelAccum[i + 3] = AddShare(pixelAccum[i + 3], ShareOfError(7, e));
      pixelAccum[i + W - 3] = AddShare(pixelAccum[i + W - 3], ShareOfError(1, e));
      pixelAccum[i + W] = AddShare(pixelAccum[i + W], ShareOfError(5, e));
      // From (W-3, H-2) and (W-2, H-2) this target lies past the plane: dropped.
      if (i + W + 3 < total) pixelAccum[i + W + 3] = AddShare(pixelAccum[i + W + 3], ShareOfError(3, e));
    }
  }
}

// The wide pass: 256 units per level of `bits`-bit words. The normalised
// values are taken whole; every one the pass produces fits 32 bits, and a
// value beyond that range would show here as a difference from the pass.
void RequantizePlane(const PlaneView16& plane, int64_t* pixelAccum) {
  const int32_t W = plane.width, H = plane.height, bits = plane.bits;
  const int64_t limit = (int64_t{256} << bits) - 1, largest = (int64_t{1} << bits) - 1;
  const size_t total = static_cast<size_t>(W) * static_cast<size_t>(H);
  for (int32_t y = 0; y < H; ++y) {
    uint16_t* row = reinterpret_cast<uint16_t*>(reinterpret_cast<unsigned char*>(plane.data) + y * plane.pitch);
    for (int32_t x = 0; x < W; ++x) {
      const size_t i = static_cast<size_t>(y) * W + x;
      const int64_t q = pixelAccum[i] / 256, e = pixelAccum[i] - 256 * q;
      row[x] = static_cast<uint16_t>(q < 0 ? 0 : (q > largest ? largest : q));
      if (x == W - 1 || y == H - 1) continue;
      const size_t targets[4] = {i + 3, i + W - 3, i + W, i + W + 3};
      const int64_t shares[4] = {7 * e / 16, e / 16, 5 * e / 16, 3 * e / 16};
      for (int k = 0; k < 4; ++k) {
        if (targets[k] >= total) continue;  // from (W-3, H-2) and (W-2, H-2): past the plane, dropped
        const int64_t sum = pixelAccum[targets[k]] + shares[k];
        pixelAccum[targets[k]] = sum < 0 ? 0 : (sum > limit ? limit : sum);
      }
    }
  }
}

}  // namespace velmoraine
