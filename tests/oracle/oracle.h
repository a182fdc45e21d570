// The oracle: the whole-plane pass that defines every output bit, stage by
// stage, with the literal whole-plane workspace. It lives with the tests and
// is never shipped; every version of the streaming pass must match
// FilterPlaneReference byte for byte on every input. It shares the product's
// definitions of the single steps (the transform, the threshold table and
// block weights, the block stage of one block, the requantisation step) and
// keeps the plane-wide organisation of the algorithm as written.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/dct.h"
#include "core/plane_filter.h"
#include "core/shrink.h"

namespace velmoraine {

// Zeroes C[u][v] when lp <= u*u+v*v <= hp and |C[u][v]| < threshold; returns
// the number of zero coefficients in the block afterwards. The definition of
// shrinkage that the block-stage tables encode.
int32_t ShrinkBlock(int32_t C[8][8], const int32_t thresholdTable[64], int32_t lp, int32_t hp);
int32_t ShrinkBlock(int64_t C[8][8], const int32_t thresholdTable[64], int32_t lp, int32_t hp);

// The threshold table for `bits`-bit samples, as written: T * 2^(bits-8) as a
// double, one double division by dctScale[u] * dctScale[v], truncated and
// saturated to 32 bits; entry 0 is 0.
void ThresholdTableForDepth(int32_t T, int32_t bits, int32_t thresholdTable[64]);

// ---- The overlapped-block pass ----------------------------------------------
// The whole-plane work buffers of one pass; strides depend on the width only.
// The 8-bit pass keeps 16-bit row coefficients and 32-bit sums that wrap
// modulo 2^32; the wide pass (9..16-bit samples) keeps 32-bit row
// coefficients and exact 64-bit sums.
template <typename Coeff, typename Sum>
struct Workspace {
  Coeff* rowCoeffs;       // 8 per sample position: (y*W + x)*8 + u
  Sum* coeffAccum;        // 8 per sample position: (y*W + x)*8 + u
  Sum* pixelAccum;        // one per sample: y*W + x
  int16_t* blockWeights;  // one per sample: y*W + x
};
using PlaneWorkspace = Workspace<int16_t, int32_t>;
using WidePlaneWorkspace = Workspace<int32_t, int64_t>;

// Allocates the four buffers for a W x H plane. Returns false, with nothing
// held, when a size overflows size_t or an allocation fails.
template <typename Coeff, typename Sum>
bool AllocateWorkspace(Workspace<Coeff, Sum>& workspace, int32_t W, int32_t H);
template <typename Coeff, typename Sum>
void ReleaseWorkspace(Workspace<Coeff, Sum>& workspace);

// Forward row transform of every 8-sample row segment into rowCoeffs.
void AnalyseRows(const PlaneView& plane, PlaneWorkspace& workspace);
void AnalyseRows(const PlaneView16& plane, WidePlaneWorkspace& workspace);
// Column transform, shrinkage, weighting and inverse column transform of every
// block, accumulated into coeffAccum; block weights into blockWeights. Both
// buffers must be cleared first (weights to 0). The wide pass takes the
// threshold table of ThresholdTableForDepth and the parameters themselves.
void AccumulateBlocks(PlaneWorkspace& workspace, int32_t W, int32_t H, const BlockStageTables& tables);
void AccumulateBlocks(WidePlaneWorkspace& workspace, int32_t W, int32_t H, const int32_t thresholdTable[64],
                      int32_t P, int32_t lp, int32_t hp);
// Inverse row transform of the accumulated sums, added into pixelAccum (which
// must be cleared first).
template <typename Coeff, typename Sum>
void SynthesizeRows(Workspace<Coeff, Sum>& workspace, int32_t W, int32_t H);

// ---- Normalisation and requantisation ---------------------------------------
// Both need W >= 8 and H >= 8 (smaller planes never reach them).
// pixelAccum becomes the weighted average at 256 units per level; the first W
// elements of each coeffAccum row hold the summed-area table of blockWeights.
template <typename Coeff, typename Sum>
void NormalizePlane(Workspace<Coeff, Sum>& workspace, int32_t W, int32_t H);
// Writes the samples with error diffusion; pixelAccum is spent. The wide
// pass writes words of plane.bits bits, 256 units per level, and clamps every
// diffusion target to 0..2^bits*256 - 1.
void RequantizePlane(const PlaneView& plane, int32_t* pixelAccum);
void RequantizePlane(const PlaneView16& plane, int64_t* pixelAccum);

// The whole pass with the literal workspace. Same contract as FilterPlane.
bool FilterPlaneReference(const PlaneView& plane, int32_t T, int32_t P, int32_t lp, int32_t hp);
bool FilterPlaneReference(const PlaneView16& plane, int32_t T, int32_t P, int32_t lp, int32_t hp);

}  // namespace velmoraine
