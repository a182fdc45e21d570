// The steps of requantisation with error diffusion, shared by every version
// of the scan. A normalised value holds 256 units per 8-bit level.
#pragma once

#include <stdint.h>

namespace velmoraine {

// The 8-bit sample of value v, and in `error` what truncation left over. The
// quotient truncates toward zero, and the error comes from the quotient
// before the clamp, so a value out of range passes on only its fractional
// part, never the excess.
inline uint8_t QuantizeSample(int32_t v, int32_t& error) {
  const int32_t q = v / 256;
  error = v - 256 * q;
  return static_cast<uint8_t>(q < 0 ? 0 : (q > 255 ? 255 : q));
}

// The share of an error that goes to one later sample, in sixteenths (7 to
// the sample three columns on, 1, 5 and 3 to those W-3, W and W+3 flat
// positions on), truncated toward zero.
inline int32_t ShareOfError(int32_t sixteenths, int32_t error) { return (sixteenths * error) / 16; }

// Adds a share to a later value, clamped to 0..65535 at every update. A value
// never updated before still holds its normalised value, which may lie
// anywhere in 32 bits: the sum is taken in 64 bits so the clamp sees it whole.
inline int32_t AddShare(int32_t target, int32_t share) {
  const int64_t sum = static_cast<int64_t>(target) + share;
  return sum < 0 ? 0 : (sum > 65535 ? 65535 : static_cast<int32_t>(sum));
}

}  // namespace velmoraine
