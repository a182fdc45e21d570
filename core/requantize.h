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

// The same for a `bits`-bit word (9..16): 256 units per level, the written
// word clamped to 0..2^bits - 1.
inline uint16_t QuantizeWideSample(int32_t v, int32_t bits, int32_t& error) {
  const int32_t q = v / 256;
  error = v - 256 * q;
  const int32_t largest = (1 << bits) - 1;
  return static_cast<uint16_t>(q < 0 ? 0 : (q > largest ? largest : q));
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
// The same with the clamp at `limit`: 2^bits * 256 - 1 for bits-bit words
// (65535 is this rule at 8 bits).
inline int32_t AddShare(int32_t target, int32_t share, int32_t limit) {
  const int64_t sum = static_cast<int64_t>(target) + share;
  return sum < 0 ? 0 : (sum > limit ? limit : static_cast<int32_t>(sum));
}

// Pieces of the requantisation, plain C++ for every version; the plain
// version of the row kernel is RequantizeRowPlain. A row is inner when
// 1 <= y <= H-2. There, samples 3..W-5 take their first three shares from
// (x-3, y-1), (x, y-1) and (x+3, y-1), none of them in the last column, so
// these can be pulled for the whole row before the serial
// scan: PullSharesFromAbove does that for columns from..to (a value beyond
// -65536..131072 clamps the same as its bound does once a share of at most
// 111 is added, so the sums stay in 32 bits) and returns the largest pulled
// value. RequantizeInnerRowScan then runs the scan of an inner row whose
// columns 3..W-5 have been pulled, given that largest value (or 65535).
void RequantizeOuterRow(int32_t* values, int32_t* errors, const int32_t* errorsAbove, const int32_t* errorsTwoAbove,
                        uint8_t* out, int32_t W, int32_t y, int32_t H);
int32_t PullSharesFromAbove(int32_t* values, const int32_t* errorsAbove, int32_t from, int32_t to);
void RequantizeInnerRowScan(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                            const int32_t* errorsTwoAbove, uint8_t* out, int32_t W, int32_t y, int32_t H,
                            int32_t largestPulled);
// The same pieces for rows of `bits`-bit words, every bound above scaled to
// the limit 2^bits * 256 - 1 in place of 65535.
void RequantizeWideOuterRow(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                            const int32_t* errorsTwoAbove, uint16_t* out, int32_t W, int32_t y, int32_t H,
                            int32_t bits);
int32_t PullWideSharesFromAbove(int32_t* values, const int32_t* errorsAbove, int32_t from, int32_t to, int32_t bits);
void RequantizeWideInnerRowScan(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                                const int32_t* errorsTwoAbove, uint16_t* out, int32_t W, int32_t y, int32_t H,
                                int32_t bits, int32_t largestPulled);

}  // namespace velmoraine
