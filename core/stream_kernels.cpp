// Plain versions of the streaming kernels: the reference stages, row by row,
// on the planar ring layout. They run on every processor and are what the
// faster versions are measured against.
#include "core/reference.h"
#include "core/stream_dsp.h"
#include "core/wrap.h"

namespace velmoraine {

namespace {

void AnalyseRowPlain(const uint8_t* row, int32_t W, int16_t* coeffs, ptrdiff_t stride) {
  for (int32_t x = 0; x + 8 <= W; ++x) {
    int32_t a[8], X[8];
    for (int i = 0; i < 8; ++i) a[i] = row[x + i];
    ForwardDct8(a, X);
    for (int u = 0; u < 8; ++u) coeffs[u * stride + x] = static_cast<int16_t>(X[u]);
  }
}

void AccumulateBlockRowsPlain(const int16_t* const* coeffRows, int32_t* const* accumRows,
                              int32_t* const* weightRows, int32_t rows, int32_t blocks, ptrdiff_t stride,
                              const BlockStageTables& tables) {
  for (int32_t y = 0; y < rows; ++y) {
    for (int32_t x = 0; x < blocks; ++x) {
      int32_t B[8][8], C[8][8];
      for (int u = 0; u < 8; ++u)
        for (int r = 0; r < 8; ++r) B[u][r] = coeffRows[y + r][u * stride + x];
      for (int u = 0; u < 8; ++u) ForwardDct8(B[u], C[u]);
      int32_t zeros = 0;
      for (int u = 0; u < 8; ++u) {
        for (int v = 0; v < 8; ++v) {
          const int64_t magnitude = C[u][v] < 0 ? -static_cast<int64_t>(C[u][v]) : C[u][v];
          if (magnitude < tables.threshold[8 * u + v]) C[u][v] = 0;
          if (C[u][v] == 0) ++zeros;
        }
      }
      const int32_t m = tables.weightOfZeros[zeros];
      for (int u = 0; u < 8; ++u) InverseDct8(C[u], B[u]);
      for (int u = 0; u < 8; ++u) {
        for (int r = 0; r < 8; ++r) {
          int32_t& sum = accumRows[y + r][u * stride + x];
          sum = WrapAdd(sum, WrapMul(m, B[u][r]));
        }
      }
      weightRows[y][x] = m;
    }
  }
}

void SynthesizeRowPlain(int32_t* accum, ptrdiff_t stride, int32_t W, int32_t* pixelSums, int32_t*) {
  for (int32_t x = 0; x < W; ++x) pixelSums[x] = 0;
  for (int32_t x = 0; x + 8 <= W; ++x) {
    int32_t q[8], p[8];
    for (int i = 0; i < 8; ++i) q[i] = accum[i * stride + x], accum[i * stride + x] = 0;
    InverseDct8(q, p);
    for (int j = 0; j < 8; ++j) pixelSums[x + j] = WrapAdd(pixelSums[x + j], p[j]);
  }
}

void NormalizeRowPlain(int32_t* pixel, const int32_t* columnWeights, int32_t W) {
  for (int32_t x = 0; x < W; ++x) {
    int64_t D = 0;
    for (int i = 0; i < 8; ++i) D += columnWeights[x - i];
    pixel[x] = static_cast<int32_t>(16 * static_cast<int64_t>(pixel[x]) / D);
  }
}

// Adds a share to a later value, clamped to 0..65535 at every update. The
// value may still be its unclamped normalised value, anywhere in 32 bits.
inline int32_t AddShare(int32_t target, int32_t share) {
  const int64_t sum = static_cast<int64_t>(target) + share;
  return sum < 0 ? 0 : (sum > 65535 ? 65535 : static_cast<int32_t>(sum));
}

// The value of sample x of row y once every share aimed at it has arrived.
// Its sources are the samples at flat distance W+3, W, W-3 and 3 before it
// (shares 3/16, 5/16, 1/16 and 7/16), taken in that order, which is the order
// the raster scan reaches them. A source in the last column, or in the last
// row, passes nothing on.
inline int32_t PullShares(int32_t v, int32_t x, const int32_t* errors, const int32_t* errorsAbove,
                          const int32_t* errorsTwoAbove, int32_t W, int32_t y, int32_t H) {
  static const int32_t kShare[4] = {3, 5, 1, 7};
  const int32_t distance[4] = {W + 3, W, W - 3, 3};
  for (int s = 0; s < 4; ++s) {
    int32_t column = x - distance[s];
    int32_t rowsUp = 0;
    while (column < 0) column += W, ++rowsUp;
    if (rowsUp > y || column == W - 1) continue;
    if (rowsUp == 0 && y == H - 1) continue;
    const int32_t* e = rowsUp == 0 ? errors : (rowsUp == 1 ? errorsAbove : errorsTwoAbove);
    v = AddShare(v, (kShare[s] * e[column]) / 16);
  }
  return v;
}

inline void Emit(int32_t v, int32_t x, int32_t* errors, uint8_t* out) {
  const int32_t q = v / 256;  // truncates toward zero
  out[x] = static_cast<uint8_t>(q < 0 ? 0 : (q > 255 ? 255 : q));
  errors[x] = v - 256 * q;    // from the quotient before the clamp
}

}  // namespace

void RequantizeOuterRow(int32_t* values, int32_t* errors, const int32_t* errorsAbove, const int32_t* errorsTwoAbove,
                        uint8_t* out, int32_t W, int32_t y, int32_t H) {
  for (int32_t x = 0; x < W; ++x)
    Emit(PullShares(values[x], x, errors, errorsAbove, errorsTwoAbove, W, y, H), x, errors, out);
}

void RequantizeInnerRowScan(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                            const int32_t* errorsTwoAbove, uint8_t* out, int32_t W, int32_t y, int32_t H,
                            int32_t largestPulled) {
  for (int32_t x = 0; x < 3; ++x)
    Emit(PullShares(values[x], x, errors, errorsAbove, errorsTwoAbove, W, y, H), x, errors, out);
  // Every sample of an inner row has been clamped by now, so values and
  // errors are non-negative: the quotient is a shift, the error a mask, and
  // only the upper clamp can act. The three chains (columns 0, 1, 2 mod 3)
  // keep their running errors in registers.
  int32_t chain[3] = {errors[0], errors[1], errors[2]};
  int32_t x = 3;
  if (largestPulled <= 65535 - 111) {
    // No sum can pass 65535 (a share is at most 111): the chain is an add, a
    // mask and the share.
    for (; x + 2 <= W - 5; x += 3) {
      for (int c = 0; c < 3; ++c) {
        const int32_t v = values[x + c] + ((7 * chain[c]) >> 4);
        chain[c] = v & 255;
        errors[x + c] = chain[c];
        out[x + c] = static_cast<uint8_t>(v >> 8);
      }
    }
  }
  for (; x + 2 <= W - 5; x += 3) {
    for (int c = 0; c < 3; ++c) {
      int32_t v = values[x + c] + ((7 * chain[c]) >> 4);
      v = v > 65535 ? 65535 : v;
      chain[c] = v & 255;
      errors[x + c] = chain[c];
      out[x + c] = static_cast<uint8_t>(v >> 8);
    }
  }
  for (; x <= W - 5; ++x) {
    int32_t v = values[x] + ((7 * errors[x - 3]) >> 4);
    v = v > 65535 ? 65535 : v;
    errors[x] = v & 255;
    out[x] = static_cast<uint8_t>(v >> 8);
  }
  // The last four take the share of (x+3-W, y) in place of one from row y-1.
  for (x = W - 4; x < W; ++x)
    Emit(PullShares(values[x], x, errors, errorsAbove, errorsTwoAbove, W, y, H), x, errors, out);
}

int32_t PullSharesFromAbove(int32_t* values, const int32_t* errorsAbove, int32_t from, int32_t to) {
  int32_t largest = 0;
  for (int32_t x = from; x <= to; ++x) {
    int32_t v = values[x];
    v = v < -65536 ? -65536 : (v > 131072 ? 131072 : v);
    v += (3 * errorsAbove[x - 3]) / 16;
    v = v < 0 ? 0 : (v > 65535 ? 65535 : v);
    v += (5 * errorsAbove[x]) / 16;
    v = v < 0 ? 0 : (v > 65535 ? 65535 : v);
    v += errorsAbove[x + 3] / 16;
    values[x] = v < 0 ? 0 : (v > 65535 ? 65535 : v);
    largest = values[x] > largest ? values[x] : largest;
  }
  return largest;
}

// Shared by every version: the scan is serial, and its cost is the chain from
// one sample to the one three columns on.
void RequantizeRowPortable(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                           const int32_t* errorsTwoAbove, uint8_t* out, int32_t W, int32_t y, int32_t H) {
  if (y < 1 || y > H - 2) return RequantizeOuterRow(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H);
  const int32_t largest = PullSharesFromAbove(values, errorsAbove, 3, W - 5);
  RequantizeInnerRowScan(values, errors, errorsAbove, errorsTwoAbove, out, W, y, H, largest);
}

void InitStreamDspPlain(StreamDsp& dsp) {
  dsp.analyseRow = AnalyseRowPlain;
  dsp.accumulateBlockRows = AccumulateBlockRowsPlain;
  dsp.synthesizeRow = SynthesizeRowPlain;
  dsp.normalizeRow = NormalizeRowPlain;
  dsp.requantizeRow = RequantizeRowPortable;
}

}  // namespace velmoraine
