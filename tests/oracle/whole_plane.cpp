// The overlapped-block pass over one plane, with the literal workspace.
//
// Every 8-sample row segment is transformed once and reused by the 8 blocks
// that contain it; per block only the column transform is undone, and the
// weighted blocks are summed in the row-coefficient domain; the row transform
// is undone once per segment, on the sums. Because the lifting steps drop low
// bits, this order of operations is part of the result.
#include <new>
#include <string.h>

#include "core/wrap.h"
#include "tests/oracle/oracle.h"

namespace velmoraine {

namespace {

// Element count of a W x H plane times `per_sample`, or 0 when it does not
// fit size_t with room for the largest element size (4 bytes) - size_t is 32
// bits in the Windows build, where a wrapped size would mean a short buffer.
size_t CheckedCount(int32_t W, int32_t H, size_t per_sample) {
  const size_t w = static_cast<size_t>(W), h = static_cast<size_t>(H);
  const size_t limit = static_cast<size_t>(-1) / 4;
  if (w != 0 && h > limit / w) return 0;
  const size_t samples = w * h;
  if (samples > limit / per_sample) return 0;
  return samples * per_sample;
}

}  // namespace

bool AllocateWorkspace(PlaneWorkspace& workspace, int32_t W, int32_t H) {
  workspace = PlaneWorkspace{nullptr, nullptr, nullptr, nullptr};
  const size_t coeffs = CheckedCount(W, H, 8);
  const size_t samples = CheckedCount(W, H, 1);
  if (coeffs == 0 || samples == 0) return false;
  workspace.rowCoeffs = new (std::nothrow) int16_t[coeffs];
  workspace.coeffAccum = new (std::nothrow) int32_t[coeffs];
  workspace.pixelAccum = new (std::nothrow) int32_t[samples];
  workspace.blockWeights = new (std::nothrow) int16_t[samples];
  if (workspace.rowCoeffs && workspace.coeffAccum && workspace.pixelAccum && workspace.blockWeights) return true;
  ReleaseWorkspace(workspace);
  return false;
}

void ReleaseWorkspace(PlaneWorkspace& workspace) {
  delete[] workspace.rowCoeffs;
  delete[] workspace.coeffAccum;
  delete[] workspace.pixelAccum;
  delete[] workspace.blockWeights;
  workspace = PlaneWorkspace{nullptr, nullptr, nullptr, nullptr};
}

void AnalyseRows(const PlaneView& plane, PlaneWorkspace& workspace) {
  const size_t W = static_cast<size_t>(plane.width);
  for (int32_t y = 0; y < plane.height; ++y) {
    const uint8_t* row = plane.data + y * plane.pitch;
    for (int32_t x = 0; x <= plane.width - 8; ++x) {
      int32_t a[8], X[8];
      for (int i = 0; i < 8; ++i) a[i] = row[x + i];
      ForwardDct8(a, X);
      // 8-bit rows give coefficients in -802..2040: 16 bits hold them.
      int16_t* out = workspace.rowCoeffs + (y * W + x) * 8;
      for (int u = 0; u < 8; ++u) out[u] = static_cast<int16_t>(X[u]);
    }
  }
}

int32_t ShrinkBlock(int32_t C[8][8], const int32_t thresholdTable[64], int32_t lp, int32_t hp) {
  int32_t zeros = 0;
  for (int u = 0; u < 8; ++u) {
    for (int v = 0; v < 8; ++v) {
      const int32_t band = u * u + v * v;
      const int64_t magnitude = C[u][v] < 0 ? -static_cast<int64_t>(C[u][v]) : C[u][v];
      if (lp <= band && band <= hp && magnitude < thresholdTable[8 * u + v]) C[u][v] = 0;
      if (C[u][v] == 0) ++zeros;
    }
  }
  return zeros;
}

void AccumulateBlocks(PlaneWorkspace& workspace, int32_t W, int32_t H, const BlockStageTables& tables) {
  const size_t width = static_cast<size_t>(W);
  for (int32_t y = 0; y <= H - 8; ++y) {
    for (int32_t x = 0; x <= W - 8; ++x) {
      int32_t B[8][8];
      for (int u = 0; u < 8; ++u)
        for (int r = 0; r < 8; ++r) B[u][r] = workspace.rowCoeffs[((y + r) * width + x) * 8 + u];
      const int32_t m = FilterBlock(B, tables);
      for (int u = 0; u < 8; ++u) {
        for (int r = 0; r < 8; ++r) {
          int32_t& sum = workspace.coeffAccum[((y + r) * width + x) * 8 + u];
          sum = WrapAdd(sum, WrapMul(m, B[u][r]));
        }
      }
      workspace.blockWeights[y * width + x] = static_cast<int16_t>(m);  // m <= 16385
    }
  }
}

void SynthesizeRows(PlaneWorkspace& workspace, int32_t W, int32_t H) {
  const size_t width = static_cast<size_t>(W);
  for (int32_t y = 0; y < H; ++y) {
    for (int32_t x = 0; x <= W - 8; ++x) {
      int32_t p[8];
      InverseDct8(workspace.coeffAccum + (y * width + x) * 8, p);
      int32_t* out = workspace.pixelAccum + y * width + x;
      for (int j = 0; j < 8; ++j) out[j] = WrapAdd(out[j], p[j]);
    }
  }
}

bool FilterPlaneReference(const PlaneView& plane, int32_t T, int32_t P, int32_t lp, int32_t hp) {
  if (!IsValidPlaneView(plane)) return false;
  const int32_t W = plane.width, H = plane.height;
  // Planes smaller than one block are left as they are.
  if (W < 8 || H < 8) return true;

  PlaneWorkspace workspace;
  if (!AllocateWorkspace(workspace, W, H)) return false;
  const size_t samples = static_cast<size_t>(W) * static_cast<size_t>(H);

  BlockStageTables tables;
  PrepareBlockStageTables(T, P, lp, hp, tables);
  AnalyseRows(plane, workspace);

  memset(workspace.coeffAccum, 0, samples * 8 * sizeof(int32_t));
  // Positions where no block starts weigh 0: they add nothing to the sums, so
  // they must add nothing to the divisors either (a weight of 1 there would
  // darken the last seven rows and columns).
  memset(workspace.blockWeights, 0, samples * sizeof(int16_t));
  AccumulateBlocks(workspace, W, H, tables);

  memset(workspace.pixelAccum, 0, samples * sizeof(int32_t));
  SynthesizeRows(workspace, W, H);
  NormalizePlane(workspace, W, H);
  RequantizePlane(plane, workspace.pixelAccum);

  ReleaseWorkspace(workspace);
  return true;
}

}  // namespace velmoraine
