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

// ---- The overlapped-block pass ----------------------------------------------
// The whole-plane work buffers of one pass; strides depend on the width only.
struct PlaneWorkspace {
  int16_t* rowCoeffs;     // 8 per sample position: (y*W + x)*8 + u
  int32_t* coeffAccum;    // 8 per sample position: (y*W + x)*8 + u
  int32_t* pixelAccum;    // one per sample: y*W + x
  int16_t* blockWeights;  // one per sample: y*W + x
};

// Allocates the four buffers for a W x H plane. Returns false, with nothing
// held, when a size overflows size_t or an allocation fails.
bool AllocateWorkspace(PlaneWorkspace& workspace, int32_t W, int32_t H);
void ReleaseWorkspace(PlaneWorkspace& workspace);

// Forward row transform of every 8-sample row segment into rowCoeffs.
void AnalyseRows(const PlaneView& plane, PlaneWorkspace& workspace);
// Column transform, shrinkage, weighting and inverse column transform of every
// block, accumulated into coeffAccum; block weights into blockWeights. Both
// buffers must be cleared first (weights to 0).
void AccumulateBlocks(PlaneWorkspace& workspace, int32_t W, int32_t H, const BlockStageTables& tables);
// Inverse row transform of the accumulated sums, added into pixelAccum (which
// must be cleared first).
void SynthesizeRows(PlaneWorkspace& workspace, int32_t W, int32_t H);

// ---- Normalisation and requantisation ---------------------------------------
// Both need W >= 8 and H >= 8 (smaller planes never reach them).
// pixelAccum becomes the weighted average at 256 units per level; the first W
// elements of each coeffAccum row hold the summed-area table of blockWeights.
void NormalizePlane(PlaneWorkspace& workspace, int32_t W, int32_t H);
// Writes the 8-bit samples with error diffusion; pixelAccum is spent.
void RequantizePlane(const PlaneView& plane, int32_t* pixelAccum);

// The whole pass with the literal workspace. Same contract as FilterPlane.
bool FilterPlaneReference(const PlaneView& plane, int32_t T, int32_t P, int32_t lp, int32_t hp);

}  // namespace velmoraine
