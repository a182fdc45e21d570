// Block shrinkage and weighting: which coefficients of a block are dropped,
// and how much the block counts when the overlapping blocks are put together.
#pragma once

#include <stdint.h>

namespace velmoraine {

// Nominal scale of each forward coefficient against the orthonormal DCT.
extern const double dctScale[8];
// Integer threshold for each coefficient position 8u+v; entry 0 is 0.
void BuildThresholdTable(int32_t T, int32_t thresholdTable[64]);
// The same for coefficients of `bits`-bit samples (8..16): T is in 8-bit
// levels, so it is taken times 2^(bits-8) (exact in a double) before the one
// division; at 8 bits this is the table above.
void BuildThresholdTable(int32_t T, int32_t bits, int32_t thresholdTable[64]);
// Weight of a block with z zero coefficients under profile P (P >= 0).
int32_t BlockWeight(int32_t P, int32_t z);

// Per-plane settings of the block stage, prepared once from T, P, lp and hp.
struct BlockStageTables {
  // Threshold of coefficient 8u+v: a coefficient whose magnitude is below it
  // becomes 0. Out-of-band positions hold 0, which zeroes nothing. In-band
  // thresholds are clamped to 0..32767: no column coefficient of 8-bit rows
  // exceeds 16320 in magnitude, so the clamp changes no decision.
  int16_t threshold[64];
  // Block weight for a block with z zero coefficients, z = 0..64.
  int32_t weightOfZeros[65];
};

void PrepareBlockStageTables(int32_t T, int32_t P, int32_t lp, int32_t hp, BlockStageTables& tables);

// The block-stage settings of the wide pass. Column coefficients of 16-bit
// words reach 64 * 65535 in magnitude, so thresholds keep 32 bits: in-band
// entries are the table's, negatives as 0; out-of-band entries are 0.
struct WideBlockStageTables {
  int32_t threshold[64];
  int32_t weightOfZeros[65];
};

void PrepareWideBlockStageTables(int32_t T, int32_t P, int32_t lp, int32_t hp, int32_t bits,
                                 WideBlockStageTables& tables);

// One block through the block stage of the wide pass, in exact 64-bit steps.
int32_t FilterWideBlock(int64_t B[8][8], const WideBlockStageTables& tables);

// One block through the block stage. On entry B[u][r] is row coefficient u
// of the block's row r; the columns are transformed, the small in-band
// coefficients zeroed, and the columns transformed back into B. Returns the
// block's weight, by the count of its zero coefficients afterwards (a block
// of all-zero coefficients, such as a black one, counts all 64).
int32_t FilterBlock(int32_t B[8][8], const BlockStageTables& tables);

}  // namespace velmoraine
