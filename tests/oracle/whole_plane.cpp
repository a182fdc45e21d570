// The overlapped-block pass over one plane, with the literal workspace.
//
// Every 8-sample row segment is transformed once and reused by the 8 blocks
// that contain it; per block only the column transform is undone, and the
// weighted blocks are summed in the row-coefficient domain; the row transform
// is undone once per segment, on the sums. Because the lifting steps drop low
// bits, this order of operations is part of the result.
//
// One pass for every depth: 8-bit planes with 16-bit row coefficients and
// sums that wrap modulo 2^32, and planes of 9..16-bit words with 32-bit row
// coefficients and exact 64-bit sums and block steps.
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

// m * b added to a sum: modulo 2^32 in the 8-bit pass, exact in the wide one.
void AddProduct(int32_t& sum, int32_t m, int32_t b) { sum = WrapAdd(sum, WrapMul(m, b)); }
void AddProduct(int64_t& sum, int32_t m, int64_t b) { sum += m * b; }

template <typename Sample, typename Coeff, typename Sum>
void AnalyseSampleRows(const Sample* data, ptrdiff_t pitch, int32_t W, int32_t H, Workspace<Coeff, Sum>& workspace) {
  const size_t width = static_cast<size_t>(W);
  for (int32_t y = 0; y < H; ++y) {
    const Sample* row =
        reinterpret_cast<const Sample*>(reinterpret_cast<const unsigned char*>(data) + y * pitch);
    for (int32_t x = 0; x <= W - 8; ++x) {
      int32_t a[8], X[8];
      for (int i = 0; i < 8; ++i) a[i] = row[x + i];
      ForwardDct8(a, X);
      // 8-bit rows give coefficients in -802..2040: 16 bits hold them. Words
      // up to 65535 keep them below 2^20.
      Coeff* out = workspace.rowCoeffs + (y * width + x) * 8;
      for (int u = 0; u < 8; ++u) out[u] = static_cast<Coeff>(X[u]);
    }
  }
}

// Every block through `filterBlock` (B in, B out, weight returned).
template <typename Coeff, typename Sum, class FilterBlockFn>
void AccumulateEveryBlock(Workspace<Coeff, Sum>& workspace, int32_t W, int32_t H, FilterBlockFn filterBlock) {
  const size_t width = static_cast<size_t>(W);
  for (int32_t y = 0; y <= H - 8; ++y) {
    for (int32_t x = 0; x <= W - 8; ++x) {
      Sum B[8][8];
      for (int u = 0; u < 8; ++u)
        for (int r = 0; r < 8; ++r) B[u][r] = workspace.rowCoeffs[((y + r) * width + x) * 8 + u];
      const int32_t m = filterBlock(B);
      for (int u = 0; u < 8; ++u)
        for (int r = 0; r < 8; ++r) AddProduct(workspace.coeffAccum[((y + r) * width + x) * 8 + u], m, B[u][r]);
      workspace.blockWeights[y * width + x] = static_cast<int16_t>(m);  // m <= 16385
    }
  }
}

template <class Workspace>
void ClearSumsAndWeights(Workspace& workspace, size_t samples) {
  memset(workspace.coeffAccum, 0, samples * 8 * sizeof workspace.coeffAccum[0]);
  // Positions where no block starts weigh 0: they add nothing to the sums, so
  // they must add nothing to the divisors either (a weight of 1 there would
  // darken the last seven rows and columns).
  memset(workspace.blockWeights, 0, samples * sizeof(int16_t));
}

}  // namespace

template <typename Coeff, typename Sum>
bool AllocateWorkspace(Workspace<Coeff, Sum>& workspace, int32_t W, int32_t H) {
  workspace = Workspace<Coeff, Sum>{nullptr, nullptr, nullptr, nullptr};
  const size_t coeffs = CheckedCount(W, H, 8);
  const size_t samples = CheckedCount(W, H, 1);
  if (coeffs == 0 || samples == 0) return false;
  workspace.rowCoeffs = new (std::nothrow) Coeff[coeffs];
  workspace.coeffAccum = new (std::nothrow) Sum[coeffs];
  workspace.pixelAccum = new (std::nothrow) Sum[samples];
  workspace.blockWeights = new (std::nothrow) int16_t[samples];
  if (workspace.rowCoeffs && workspace.coeffAccum && workspace.pixelAccum && workspace.blockWeights) return true;
  ReleaseWorkspace(workspace);
  return false;
}

template <typename Coeff, typename Sum>
void ReleaseWorkspace(Workspace<Coeff, Sum>& workspace) {
  delete[] workspace.rowCoeffs;
  delete[] workspace.coeffAccum;
  delete[] workspace.pixelAccum;
  delete[] workspace.blockWeights;
  workspace = Workspace<Coeff, Sum>{nullptr, nullptr, nullptr, nullptr};
}

template bool AllocateWorkspace(PlaneWorkspace&, int32_t, int32_t);
template bool AllocateWorkspace(WidePlaneWorkspace&, int32_t, int32_t);
template void ReleaseWorkspace(PlaneWorkspace&);
template void ReleaseWorkspace(WidePlaneWorkspace&);

void AnalyseRows(const PlaneView& plane, PlaneWorkspace& workspace) {
  AnalyseSampleRows(plane.data, plane.pitch, plane.width, plane.height, workspace);
}

void AnalyseRows(const PlaneView16& plane, WidePlaneWorkspace& workspace) {
  AnalyseSampleRows(plane.data, plane.pitch, plane.width, plane.height, workspace);
}

template <typename V>
int32_t ShrinkCoefficients(V C[8][8], const int32_t thresholdTable[64], int32_t lp, int32_t hp) {
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

int32_t ShrinkBlock(int32_t C[8][8], const int32_t thresholdTable[64], int32_t lp, int32_t hp) {
  return ShrinkCoefficients(C, thresholdTable, lp, hp);
}

int32_t ShrinkBlock(int64_t C[8][8], const int32_t thresholdTable[64], int32_t lp, int32_t hp) {
  return ShrinkCoefficients(C, thresholdTable, lp, hp);
}

void ThresholdTableForDepth(int32_t T, int32_t bits, int32_t thresholdTable[64]) {
  const double threshold = static_cast<double>(T) * static_cast<double>(int64_t{1} << (bits - 8));
  for (int k = 0; k < 64; ++k) {
    const double q = threshold / (dctScale[k / 8] * dctScale[k % 8]);
    thresholdTable[k] = q >= 2147483648.0 ? INT32_MAX : (q < -2147483648.0 ? INT32_MIN : static_cast<int32_t>(q));
  }
  thresholdTable[0] = 0;
}

void AccumulateBlocks(PlaneWorkspace& workspace, int32_t W, int32_t H, const BlockStageTables& tables) {
  AccumulateEveryBlock(workspace, W, H, [&](int32_t B[8][8]) { return FilterBlock(B, tables); });
}

// The wide block stage step by step, in exact 64-bit arithmetic.
void AccumulateBlocks(WidePlaneWorkspace& workspace, int32_t W, int32_t H, const int32_t thresholdTable[64],
                      int32_t P, int32_t lp, int32_t hp) {
  AccumulateEveryBlock(workspace, W, H, [&](int64_t B[8][8]) {
    int64_t C[8][8];
    for (int u = 0; u < 8; ++u) ForwardDct8(B[u], C[u]);
    const int32_t m = BlockWeight(P, ShrinkBlock(C, thresholdTable, lp, hp));
    for (int u = 0; u < 8; ++u) InverseDct8(C[u], B[u]);
    return m;
  });
}

template <typename Coeff, typename Sum>
void SynthesizeRows(Workspace<Coeff, Sum>& workspace, int32_t W, int32_t H) {
  const size_t width = static_cast<size_t>(W);
  for (int32_t y = 0; y < H; ++y) {
    for (int32_t x = 0; x <= W - 8; ++x) {
      Sum p[8];
      InverseDct8(workspace.coeffAccum + (y * width + x) * 8, p);
      Sum* out = workspace.pixelAccum + y * width + x;
      for (int j = 0; j < 8; ++j) out[j] = lifting::Add(out[j], p[j]);
    }
  }
}

template void SynthesizeRows(PlaneWorkspace&, int32_t, int32_t);
template void SynthesizeRows(WidePlaneWorkspace&, int32_t, int32_t);

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
  ClearSumsAndWeights(workspace, samples);
  AccumulateBlocks(workspace, W, H, tables);

  memset(workspace.pixelAccum, 0, samples * sizeof(int32_t));
  SynthesizeRows(workspace, W, H);
  NormalizePlane(workspace, W, H);
  RequantizePlane(plane, workspace.pixelAccum);

  ReleaseWorkspace(workspace);
  return true;
}

bool FilterPlaneReference(const PlaneView16& plane, int32_t T, int32_t P, int32_t lp, int32_t hp) {
  if (plane.bits < 9 || plane.bits > 16 || plane.pitch % 2 != 0) return false;
  // The 8-bit rule on the view, in words.
  if (!IsValidPlaneView(PlaneView{reinterpret_cast<uint8_t*>(plane.data), plane.pitch / 2, plane.width,
                                  plane.height}))
    return false;
  const int32_t W = plane.width, H = plane.height;
  if (W < 8 || H < 8) return true;

  WidePlaneWorkspace workspace;
  if (!AllocateWorkspace(workspace, W, H)) return false;
  const size_t samples = static_cast<size_t>(W) * static_cast<size_t>(H);

  int32_t thresholdTable[64];
  ThresholdTableForDepth(T, plane.bits, thresholdTable);
  AnalyseRows(plane, workspace);
  ClearSumsAndWeights(workspace, samples);
  AccumulateBlocks(workspace, W, H, thresholdTable, P, lp, hp);

  memset(workspace.pixelAccum, 0, samples * sizeof(int64_t));
  SynthesizeRows(workspace, W, H);
  NormalizePlane(workspace, W, H);
  RequantizePlane(plane, workspace.pixelAccum);

  ReleaseWorkspace(workspace);
  return true;
}

}  // namespace velmoraine
