// Requantisation to 8 bits with error diffusion in raster order.
#include "core/reference.h"

namespace velmoraine {

namespace {

// Adds a share to a later value, clamped to 0..65535 at every update.
void AddShare(int32_t& target, int32_t share) {
  // A value never updated before still holds its normalised value, which may
  // lie anywhere in 32 bits: add in 64 bits so the clamp sees the true sum.
  const int64_t sum = static_cast<int64_t>(target) + share;
  target = sum < 0 ? 0 : (sum > 65535 ? 65535 : static_cast<int32_t>(sum));
}

}  // namespace

void RequantizePlane(const PlaneView& plane, int32_t* pixelAccum) {
  const int32_t W = plane.width, H = plane.height;
  const size_t total = static_cast<size_t>(W) * static_cast<size_t>(H);
  for (int32_t y = 0; y < H; ++y) {
    uint8_t* row = plane.data + y * plane.pitch;
    for (int32_t x = 0; x < W; ++x) {
      const size_t i = static_cast<size_t>(y) * W + x;
      const int32_t v = pixelAccum[i];
      const int32_t q = v / 256;  // truncates toward zero
      row[x] = static_cast<uint8_t>(q < 0 ? 0 : (q > 255 ? 255 : q));
      // The error comes from the quotient before the clamp, so a value out of
      // range passes on only its fractional part, never the excess.
      const int32_t e = v - 256 * q;
      if (x == W - 1 || y == H - 1) continue;  // errors of the last row and column are dropped
      // Targets are flat indices three columns away; near a row's ends they
      // wrap into the neighbouring row, exactly as the indices say.
      AddShare(pixelAccum[i + 3], (7 * e) / 16);
      AddShare(pixelAccum[i + W - 3], e / 16);
      AddShare(pixelAccum[i + W], (5 * e) / 16);
      // From (W-3, H-2) and (W-2, H-2) this target lies past the plane: dropped.
      if (i + W + 3 < total) AddShare(pixelAccum[i + W + 3], (3 * e) / 16);
    }
  }
}

}  // namespace velmoraine
