// Requantisation to 8 bits with error diffusion in raster order, one row at a
// time. Each sample pulls the shares of the earlier samples that diffuse into
// it, in the order the raster scan reaches those, so that a row needs only
// the errors of the two rows above it and never a row below.
#include "core/requantize.h"
#include "core/stream_dsp.h"

namespace velmoraine {

namespace {

// The value of sample x of row y once every share aimed at it has arrived.
// Its sources are the samples at flat distance W+3, W, W-3 and 3 before it
// (shares 3/16, 5/16, 1/16 and 7/16), taken in that order, which is the order
// the raster scan reaches them. A source in the last column, or in the last
// row, passes nothing on.
inline int32_t PullShares(int32_t v, int32_t x, const int32_t* errors, const int32_t* errorsAbove,
                          const int32_t* errorsTwoAbove, int32_t W, int32_t y, int32_t H, int32_t limit = 65535) {
  static const int32_t kShare[4] = {3, 5, 1, 7};
  const int32_t distance[4] = {W + 3, W, W - 3, 3};
  for (int s = 0; s < 4; ++s) {
    int32_t column = x - distance[s];
    int32_t rowsUp = 0;
    while (column < 0) column += W, ++rowsUp;
    if (rowsUp > y || column == W - 1) continue;
    if (rowsUp == 0 && y == H - 1) continue;
    const int32_t* e = rowsUp == 0 ? errors : (rowsUp == 1 ? errorsAbove : errorsTwoAbove);
    v = AddShare(v, ShareOfError(kShare[s], e[column]), limit);
  }
  return v;
}

// The written sample and the error of value v: 8-bit samples, or words of
// `bits` bits when out is a row of words.
inline void Emit(int32_t v, int32_t x, int32_t* errors, uint8_t* out, int32_t) {
  out[x] = QuantizeSample(v, errors[x]);
}
inline void Emit(int32_t v, int32_t x, int32_t* errors, uint16_t* out, int32_t bits) {
  out[x] = QuantizeWideSample(v, bits, errors[x]);
}

// The limit of every diffusion target: 256 units per level of the largest sample.
inline int32_t TargetLimit(const uint8_t*, int32_t) { return 65535; }
inline int32_t TargetLimit(const uint16_t*, int32_t bits) { return (256 << bits) - 1; }

template <typename Sample>
void RequantizeOuterRowOf(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                          const int32_t* errorsTwoAbove, Sample* out, int32_t W, int32_t y, int32_t H, int32_t bits) {
  const int32_t limit = TargetLimit(out, bits);
  for (int32_t x = 0; x < W; ++x)
    Emit(PullShares(values[x], x, errors, errorsAbove, errorsTwoAbove, W, y, H, limit), x, errors, out, bits);
}

int32_t PullSharesFromAboveOf(int32_t* values, const int32_t* errorsAbove, int32_t from, int32_t to, int32_t limit) {
  int32_t largest = 0;
  for (int32_t x = from; x <= to; ++x) {
    int32_t v = values[x];
    v = v < -(limit + 1) ? -(limit + 1) : (v > 2 * (limit + 1) ? 2 * (limit + 1) : v);
    v += (3 * errorsAbove[x - 3]) / 16;
    v = v < 0 ? 0 : (v > limit ? limit : v);
    v += (5 * errorsAbove[x]) / 16;
    v = v < 0 ? 0 : (v > limit ? limit : v);
    v += errorsAbove[x + 3] / 16;
    values[x] = v < 0 ? 0 : (v > limit ? limit : v);
    largest = values[x] > largest ? values[x] : largest;
  }
  return largest;
}

template <typename Sample>
void RequantizeInnerRowScanOf(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                              const int32_t* errorsTwoAbove, Sample* out, int32_t W, int32_t y, int32_t H,
                              int32_t bits, int32_t largestPulled) {
  const int32_t limit = TargetLimit(out, bits);
  for (int32_t x = 0; x < 3; ++x)
    Emit(PullShares(values[x], x, errors, errorsAbove, errorsTwoAbove, W, y, H, limit), x, errors, out, bits);
  // Every sample of an inner row has been clamped by now, so values and
  // errors are non-negative: the quotient is a shift, the error a mask, and
  // only the upper clamp can act. The three chains (columns 0, 1, 2 mod 3)
  // keep their running errors in registers.
  int32_t chain[3] = {errors[0], errors[1], errors[2]};
  int32_t x = 3;
  if (largestPulled <= limit - 111) {
    // No sum can pass the limit (a share is at most 111): the chain is an
    // add, a mask and the share.
    for (; x + 2 <= W - 5; x += 3) {
      for (int c = 0; c < 3; ++c) {
        const int32_t v = values[x + c] + ((7 * chain[c]) >> 4);
        chain[c] = v & 255;
        errors[x + c] = chain[c];
        out[x + c] = static_cast<Sample>(v >> 8);
      }
    }
  }
  for (; x + 2 <= W - 5; x += 3) {
    for (int c = 0; c < 3; ++c) {
      int32_t v = values[x + c] + ((7 * chain[c]) >> 4);
      v = v > limit ? limit : v;
      chain[c] = v & 255;
      errors[x + c] = chain[c];
      out[x + c] = static_cast<Sample>(v >> 8);
    }
  }
  for (; x <= W - 5; ++x) {
    int32_t v = values[x] + ((7 * errors[x - 3]) >> 4);
    v = v > limit ? limit : v;
    errors[x] = v & 255;
    out[x] = static_cast<Sample>(v >> 8);
  }
  // The last four take the share of (x+3-W, y) in place of one from row y-1.
  for (x = W - 4; x < W; ++x)
    Emit(PullShares(values[x], x, errors, errorsAbove, errorsTwoAbove, W, y, H, limit), x, errors, out, bits);
}

}  // namespace

void RequantizeOuterRow(int32_t* values, int32_t* errors, const int32_t* errorsAbove, const int32_t* errorsTwoAbove,
                        uint8_t* out, int32_t W, int32_t y, int32_t H) {
  RequantizeOuterRowOf(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H, 8);
}

void RequantizeInnerRowScan(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                            const int32_t* errorsTwoAbove, uint8_t* out, int32_t W, int32_t y, int32_t H,
                            int32_t largestPulled) {
  RequantizeInnerRowScanOf(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H, 8, largestPulled);
}

int32_t PullSharesFromAbove(int32_t* values, const int32_t* errorsAbove, int32_t from, int32_t to) {
  return PullSharesFromAboveOf(values, errorsAbove, from, to, 65535);
}

void RequantizeWideOuterRow(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                            const int32_t* errorsTwoAbove, uint16_t* out, int32_t W, int32_t y, int32_t H,
                            int32_t bits) {
  RequantizeOuterRowOf(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H, bits);
}

void RequantizeWideInnerRowScan(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                                const int32_t* errorsTwoAbove, uint16_t* out, int32_t W, int32_t y, int32_t H,
                                int32_t bits, int32_t largestPulled) {
  RequantizeInnerRowScanOf(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H, bits, largestPulled);
}

int32_t PullWideSharesFromAbove(int32_t* values, const int32_t* errorsAbove, int32_t from, int32_t to, int32_t bits) {
  return PullSharesFromAboveOf(values, errorsAbove, from, to, (256 << bits) - 1);
}

void RequantizeRowWidePlain(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                            const int32_t* errorsTwoAbove, uint16_t* out, int32_t W, int32_t y, int32_t H,
                            int32_t bits) {
  if (y < 1 || y > H - 2) return RequantizeWideOuterRow(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H, bits);
  const int32_t largest = PullWideSharesFromAbove(values, errorsAbove, 3, W - 5, bits);
  RequantizeWideInnerRowScan(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H, bits, largest);
}

// Shared by every version: the scan is serial, and its cost is the chain from
// one sample to the one three columns on.
void RequantizeRowPlain(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                        const int32_t* errorsTwoAbove, uint8_t* out, int32_t W, int32_t y, int32_t H) {
  if (y < 1 || y > H - 2) return RequantizeOuterRow(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H);
  const int32_t largest = PullSharesFromAbove(values, errorsAbove, 3, W - 5);
  RequantizeInnerRowScan(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H, largest);
}

}  // namespace velmoraine
