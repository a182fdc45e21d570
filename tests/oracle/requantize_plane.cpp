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

}  // namespace velmoraine
