// Block shrinkage and weighting: which coefficients of a block are dropped,
// and how much the block counts when the overlapping blocks are put together.
#include <float.h>

#include "core/dct.h"
#include "core/shrink.h"
#include "core/stream_dsp.h"
#include "core/wrap.h"

// The table must be computed in plain double precision: extended-precision
// evaluation (x87 without SSE2) turns the entries whose product is exactly
// 0.25 into 4T - 1.
static_assert(FLT_EVAL_METHOD == 0, "build with SSE2 double arithmetic (e.g. -msse2 -mfpmath=sse)");

namespace velmoraine {

// The factor that takes output k of ForwardDct8 to the orthonormal DCT scale:
// sin(pi/4)/2, 1/(2 sin(7pi/16)), 1/(2 sin(3pi/8)), 1/(2 cos(3pi/16)),
// sin(pi/4), cos(3pi/16)/2, sin(3pi/8)/2, sin(7pi/16)/2, each evaluated in
// IEEE double. They are held as the exact doubles those formulas give (a test
// recomputes them) so that the result never depends on a C library's sin/cos.
const double dctScale[8] = {
    0.35355339059327373, 0.5097955791041592, 0.541196100146197,  0.6013448869350453,
    0.7071067811865475,  0.4157348061512726, 0.46193976625564337, 0.4903926402016152,
};

void BuildThresholdTable(int32_t T, int32_t thresholdTable[64]) { BuildThresholdTable(T, 8, thresholdTable); }

void BuildThresholdTable(int32_t T, int32_t bits, int32_t thresholdTable[64]) {
  // Each step is one double operation; no wider evaluation. The products for
  // (1,7), (2,6), (3,5) and mirrors are exactly 0.25, so those entries come
  // out as exactly 4T. T * 2^(bits-8) has at most 39 significant bits, so the
  // product is exact, and the quotient is rounded once, as at 8 bits; a table
  // shifted left, or T times a precomputed 2^(bits-8)/p, would round
  // differently.
  const double threshold = static_cast<double>(T) * static_cast<double>(1 << (bits - 8));
  for (int k = 0; k < 64; ++k) {
    const double p = dctScale[k / 8] * dctScale[k % 8];
    const double q = threshold / p;
    // Saturate quotients past the 32-bit range: a huge T zeroes every in-band
    // coefficient instead of suddenly switching thresholding off.
    if (q >= 2147483648.0) {
      thresholdTable[k] = INT32_MAX;
    } else if (q < -2147483648.0) {
      thresholdTable[k] = INT32_MIN;
    } else {
      thresholdTable[k] = static_cast<int32_t>(q);  // truncates toward zero
    }
  }
  thresholdTable[0] = 0;  // the DC coefficient is never zeroed
}

int32_t BlockWeight(int32_t P, int32_t z) {
  if (P == 0) return 256;
  if (P == 1) return 1024 / (65 - z);
  if (P == 2) return (256 * z) / (65 - z) + 1;
  if (P == 3) return z + 1;
  if (P <= 10) return 256;
  return z > P ? 1024 : 1;
}

void PrepareBlockStageTables(int32_t T, int32_t P, int32_t lp, int32_t hp, BlockStageTables& tables) {
  int32_t thresholdTable[64];
  BuildThresholdTable(T, thresholdTable);
  for (int u = 0; u < 8; ++u) {
    for (int v = 0; v < 8; ++v) {
      const int32_t band = u * u + v * v;
      const int32_t t = thresholdTable[8 * u + v];
      const bool inBand = lp <= band && band <= hp;
      tables.threshold[8 * u + v] = static_cast<int16_t>(!inBand || t < 0 ? 0 : (t > 32767 ? 32767 : t));
    }
  }
  for (int32_t z = 0; z <= 64; ++z) tables.weightOfZeros[z] = BlockWeight(P, z);
}

void PrepareWideBlockStageTables(int32_t T, int32_t P, int32_t lp, int32_t hp, int32_t bits,
                                 WideBlockStageTables& tables) {
  int32_t thresholdTable[64];
  BuildThresholdTable(T, bits, thresholdTable);
  for (int u = 0; u < 8; ++u) {
    for (int v = 0; v < 8; ++v) {
      const int32_t band = u * u + v * v;
      const int32_t t = thresholdTable[8 * u + v];
      tables.threshold[8 * u + v] = lp <= band && band <= hp && t > 0 ? t : 0;
    }
  }
  for (int32_t z = 0; z <= 64; ++z) tables.weightOfZeros[z] = BlockWeight(P, z);
}

int32_t FilterWideBlock(int64_t B[8][8], const WideBlockStageTables& tables) {
  int64_t C[8][8];
  for (int u = 0; u < 8; ++u) ForwardDct8(B[u], C[u]);
  int32_t zeros = 0;
  for (int u = 0; u < 8; ++u) {
    for (int v = 0; v < 8; ++v) {
      const int64_t magnitude = C[u][v] < 0 ? -C[u][v] : C[u][v];
      if (magnitude < tables.threshold[8 * u + v]) C[u][v] = 0;
      if (C[u][v] == 0) ++zeros;
    }
  }
  for (int u = 0; u < 8; ++u) InverseDct8(C[u], B[u]);
  return tables.weightOfZeros[zeros];
}

void AccumulateBlockRowsWidePlain(const int32_t* const* coeffRows, int64_t* const* accumRows,
                                  int32_t* const* weightRows, int32_t rows, int32_t blocks, ptrdiff_t stride,
                                  const WideBlockStageTables& tables) {
  for (int32_t y = 0; y < rows; ++y) {
    for (int32_t x = 0; x < blocks; ++x) {
      int64_t B[8][8];
      for (int u = 0; u < 8; ++u)
        for (int r = 0; r < 8; ++r) B[u][r] = coeffRows[y + r][u * stride + x];
      const int32_t m = FilterWideBlock(B, tables);
      // Weights up to 16385 times reconstructions of 16-bit words: the sums
      // pass 2^32 on bright areas, and 64 bits hold them exactly.
      for (int u = 0; u < 8; ++u)
        for (int r = 0; r < 8; ++r) accumRows[y + r][u * stride + x] += m * B[u][r];
      weightRows[y][x] = m;
    }
  }
}

int32_t FilterBlock(int32_t B[8][8], const BlockStageTables& tables) {
  int32_t C[8][8];
  for (int u = 0; u < 8; ++u) ForwardDct8(B[u], C[u]);
  int32_t zeros = 0;
  for (int u = 0; u < 8; ++u) {
    for (int v = 0; v < 8; ++v) {
      const int64_t magnitude = C[u][v] < 0 ? -static_cast<int64_t>(C[u][v]) : C[u][v];
      if (magnitude < tables.threshold[8 * u + v]) C[u][v] = 0;
      if (C[u][v] == 0) ++zeros;
    }
  }
  for (int u = 0; u < 8; ++u) InverseDct8(C[u], B[u]);
  return tables.weightOfZeros[zeros];
}

void AccumulateBlockRowsPlain(const int16_t* const* coeffRows, int32_t* const* accumRows, int32_t* const* weightRows,
                              int32_t rows, int32_t blocks, ptrdiff_t stride, const BlockStageTables& tables) {
  for (int32_t y = 0; y < rows; ++y) {
    for (int32_t x = 0; x < blocks; ++x) {
      int32_t B[8][8];
      for (int u = 0; u < 8; ++u)
        for (int r = 0; r < 8; ++r) B[u][r] = coeffRows[y + r][u * stride + x];
      const int32_t m = FilterBlock(B, tables);
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

}  // namespace velmoraine
