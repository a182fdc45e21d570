#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "core/plane_filter.h"
#include "tests/oracle/oracle.h"

namespace velmoraine {
namespace {

constexpr uint8_t kGuard = 0xA5;

// A plane inside a larger buffer: every byte past a row's width, and a margin
// before and after the plane, holds a guard value that must survive.
struct GuardedPlane {
  int32_t width, height;
  ptrdiff_t pitch;
  std::vector<uint8_t> buffer;
  static constexpr size_t kMargin = 64;

  GuardedPlane(int32_t w, int32_t h, ptrdiff_t extra = 5)
      : width(w), height(h), pitch(w + extra), buffer(kMargin * 2 + static_cast<size_t>(pitch) * h, kGuard) {
    for (int32_t y = 0; y < h; ++y) std::memset(Row(y), 0, w);
  }
  uint8_t* Row(int32_t y) { return buffer.data() + kMargin + y * pitch; }
  uint8_t& At(int32_t x, int32_t y) { return Row(y)[x]; }
  PlaneView View() { return PlaneView{Row(0), pitch, width, height}; }
  void FillRandom(std::mt19937& rng) {
    for (int32_t y = 0; y < height; ++y)
      for (int32_t x = 0; x < width; ++x) At(x, y) = static_cast<uint8_t>(rng());
  }
  void Fill(uint8_t value) {
    for (int32_t y = 0; y < height; ++y) std::memset(Row(y), value, width);
  }
  bool GuardsIntact() {
    for (size_t i = 0; i < buffer.size(); ++i) {
      const size_t offset = i - kMargin;
      const bool inPlane = i >= kMargin && offset < static_cast<size_t>(pitch) * height &&
                           static_cast<ptrdiff_t>(offset % pitch) < width;
      if (!inPlane && buffer[i] != kGuard) return false;
    }
    return true;
  }
  std::vector<uint8_t> Samples() {
    std::vector<uint8_t> out;
    for (int32_t y = 0; y < height; ++y) out.insert(out.end(), Row(y), Row(y) + width);
    return out;
  }
};

// Runs the pass up to the weighted per-sample sums, as FilterPlane does.
struct Sums {
  PlaneWorkspace workspace{};
  int32_t W, H;
  Sums(GuardedPlane& plane, int32_t T, int32_t P, int32_t lp = 0, int32_t hp = 100) : W(plane.width), H(plane.height) {
    EXPECT_TRUE(AllocateWorkspace(workspace, W, H));
    const size_t n = static_cast<size_t>(W) * H;
    BlockStageTables tables;
    PrepareBlockStageTables(T, P, lp, hp, tables);
    AnalyseRows(plane.View(), workspace);
    std::memset(workspace.coeffAccum, 0, n * 8 * sizeof(int32_t));
    std::memset(workspace.blockWeights, 0, n * sizeof(int16_t));
    AccumulateBlocks(workspace, W, H, tables);
    std::memset(workspace.pixelAccum, 0, n * sizeof(int32_t));
    SynthesizeRows(workspace, W, H);
  }
  ~Sums() { ReleaseWorkspace(workspace); }
  int32_t& Pixel(int32_t x, int32_t y) { return workspace.pixelAccum[static_cast<size_t>(y) * W + x]; }
  int16_t Weight(int32_t x, int32_t y) { return workspace.blockWeights[static_cast<size_t>(y) * W + x]; }
};

// Number of block positions that cover column x of a plane of width W.
int32_t Cover(int32_t x, int32_t W) { return std::min(x, W - 8) - std::max(0, x - 7) + 1; }

TEST(PlanePass, FlatPlaneSumsAndWeights) {
  GuardedPlane plane(16, 16);
  plane.Fill(100);
  Sums sums(plane, 0, 0);
  EXPECT_EQ(sums.Pixel(8, 8), 26214400);
  EXPECT_EQ(sums.Pixel(0, 0), 409600);
  EXPECT_EQ(sums.Pixel(15, 15), 409600);
  EXPECT_EQ(sums.Pixel(3, 0), 1638400);
  for (int32_t y = 0; y < 16; ++y)
    for (int32_t x = 0; x < 16; ++x) {
      ASSERT_EQ(sums.Pixel(x, y), 4096 * 100 * Cover(x, 16) * Cover(y, 16)) << x << "," << y;
      // Positions where no block starts weigh nothing.
      ASSERT_EQ(sums.Weight(x, y), (x <= 8 && y <= 8) ? 256 : 0) << x << "," << y;
    }

  NormalizePlane(sums.workspace, 16, 16);
  for (int32_t y = 0; y < 16; ++y)
    for (int32_t x = 0; x < 16; ++x) ASSERT_EQ(sums.Pixel(x, y), 25600) << x << "," << y;
}

// The brightest flat plane under the heaviest profile comes within 2% of the
// signed 32-bit limit without wrapping, and 16*A needs 64 bits.
TEST(PlanePass, BrightFlatPlaneWithHeavyWeightsStaysExact) {
  GuardedPlane plane(24, 24);
  plane.Fill(255);
  Sums sums(plane, 0, 2);
  EXPECT_EQ(sums.Weight(0, 0), 8065);
  EXPECT_EQ(sums.Pixel(12, 12), 2105932800);
  NormalizePlane(sums.workspace, 24, 24);
  for (int32_t y = 0; y < 24; ++y)
    for (int32_t x = 0; x < 24; ++x) ASSERT_EQ(sums.Pixel(x, y), 65280) << x << "," << y;
}

TEST(PlanePass, AllZeroPlaneWeighsEveryBlockAsEmpty) {
  GuardedPlane plane(12, 10);
  Sums sums(plane, 10, 1);
  for (int32_t y = 0; y < 10; ++y)
    for (int32_t x = 0; x < 12; ++x) {
      ASSERT_EQ(sums.Pixel(x, y), 0);
      ASSERT_EQ(sums.Weight(x, y), (x <= 4 && y <= 2) ? 1024 : 0);
    }
}

// A flat plane comes back exactly flat for every profile, threshold and band:
// edge samples are normalised by the weights of the blocks that cover them.
TEST(PlanePass, FlatPlanesComeBackFlat) {
  for (auto [w, h] : {std::pair{8, 8}, {16, 16}, {13, 9}, {9, 21}, {31, 17}}) {
    for (int32_t P : {0, 1, 2, 3, 7, 11, 40, 63, 64, 1000}) {
      for (int32_t T : {0, 10, 1000, INT32_MAX}) {
        for (uint8_t value : {0, 1, 100, 254, 255}) {
          GuardedPlane plane(w, h);
          plane.Fill(value);
          ASSERT_TRUE(FilterPlaneReference(plane.View(), T, P, 0, 100));
          for (uint8_t s : plane.Samples()) ASSERT_EQ(s, value) << w << "x" << h << " P=" << P << " T=" << T;
          ASSERT_TRUE(plane.GuardsIntact());
        }
      }
    }
  }
}

// Weighted average rounding: division truncates toward zero.
TEST(Normalize, TruncatesTowardZeroAndUsesTheSingleBlockWeight) {
  GuardedPlane plane(8, 8);
  PlaneWorkspace ws;
  ASSERT_TRUE(AllocateWorkspace(ws, 8, 8));
  std::memset(ws.blockWeights, 0, 64 * sizeof(int16_t));
  ws.blockWeights[0] = 3;
  for (int i = 0; i < 64; ++i) ws.pixelAccum[i] = i - 32;
  NormalizePlane(ws, 8, 8);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(ws.pixelAccum[i], (16 * (i - 32)) / 3) << i;
  EXPECT_EQ(ws.pixelAccum[31], -5);  // A = -1, D = 3
  ReleaseWorkspace(ws);
}

// On a plane whose weight prefix sums pass 2^32 every divisor is still the
// exact window sum.
TEST(Normalize, WrappingTableGivesExactWindowSums) {
  const int32_t W = 600, H = 580;
  PlaneWorkspace ws;
  ASSERT_TRUE(AllocateWorkspace(ws, W, H));
  std::mt19937 rng(3);
  std::vector<int64_t> weights(static_cast<size_t>(W) * H), sums(weights.size());
  for (int32_t y = 0; y < H; ++y)
    for (int32_t x = 0; x < W; ++x) {
      const size_t i = static_cast<size_t>(y) * W + x;
      weights[i] = (x <= W - 8 && y <= H - 8) ? 16385 - static_cast<int64_t>(rng() % 64) : 0;
      ws.blockWeights[i] = static_cast<int16_t>(weights[i]);
      sums[i] = static_cast<int32_t>(rng()) / 2;
      ws.pixelAccum[i] = static_cast<int32_t>(sums[i]);
    }
  NormalizePlane(ws, W, H);
  int64_t total = 0;
  for (int64_t w : weights) total += w;
  ASSERT_GT(total, int64_t{1} << 32);
  for (int32_t y = 0; y < H; y += 7)
    for (int32_t x = 0; x < W; x += 3) {
      int64_t D = 0;
      for (int32_t j = std::max(0, y - 7); j <= y; ++j)
        for (int32_t i = std::max(0, x - 7); i <= x; ++i) D += weights[static_cast<size_t>(j) * W + i];
      const size_t i = static_cast<size_t>(y) * W + x;
      ASSERT_EQ(ws.pixelAccum[i], static_cast<int32_t>(16 * sums[i] / D)) << x << "," << y;
    }
  ReleaseWorkspace(ws);
}

// Diffusion from flat index 2 of an 8x8 plane, which no earlier sample can
// clamp first. Its targets are indices 5, 7, 10 and 13 (shares 7, 1, 5 and 3
// sixteenths). Each target starts where the expected share brings it to a
// whole level (or to a clamp), so it diffuses nothing of its own and a wrong
// share shows as a wrong value.
struct DiffusionCase {
  int32_t value;
  uint8_t byte;
  int32_t before[4];
  int32_t after[4];
};

TEST(Requantize, SharesTruncateTowardZeroAndTargetsClamp) {
  const DiffusionCase cases[] = {
      {25600, 100, {-40, -40, -40, -40}, {0, 0, 0, 0}},
      {-300, 0, {2579, 2562, 2573, 2568}, {2560, 2560, 2560, 2560}},
      {-300, 0, {3, 3, 3, 3}, {0, 1, 0, 0}},
      {70000, 255, {2511, 2553, 2525, 2539}, {2560, 2560, 2560, 2560}},
      {65535, 255, {2449, 2545, 2481, 2513}, {2560, 2560, 2560, 2560}},
      {65535, 255, {65530, 65530, 65530, 65530}, {65535, 65535, 65535, 65535}},
      {-255, 0, {2671, 2575, 2639, 2607}, {2560, 2560, 2560, 2560}},
      {-5, 0, {2562, 2560, 2561, 2560}, {2560, 2560, 2560, 2560}},
      {INT32_MIN + 1, 0, {2671, 2575, 2639, 2607}, {2560, 2560, 2560, 2560}},
  };
  const int targets[4] = {5, 7, 10, 13};
  for (const DiffusionCase& c : cases) {
    GuardedPlane plane(8, 8);
    int32_t values[64] = {};
    values[2] = c.value;
    for (int k = 0; k < 4; ++k) values[targets[k]] = c.before[k];
    RequantizePlane(plane.View(), values);
    EXPECT_EQ(plane.At(2, 0), c.byte) << c.value;
    for (int k = 0; k < 4; ++k) EXPECT_EQ(values[targets[k]], c.after[k]) << "value " << c.value << " target " << k;
    EXPECT_TRUE(plane.GuardsIntact());
  }
}

TEST(Requantize, EarliestValuesAreReadUnclampedAndLastRowAndColumnDiffuseNothing) {
  GuardedPlane plane(8, 8);
  int32_t values[64] = {};
  values[0] = -70000;        // never a target: read as left by normalisation
  values[1] = 1 << 30;
  values[2] = 300;           // 1 level and 44/256
  values[7] = 255 * 256 + 255;     // last column: error dropped
  values[56 + 3] = 12 * 256 + 200; // last row: error dropped
  RequantizePlane(plane.View(), values);
  EXPECT_EQ(plane.At(0, 0), 0);
  EXPECT_EQ(plane.At(1, 0), 255);
  EXPECT_EQ(plane.At(2, 0), 1);
  EXPECT_EQ(plane.At(7, 0), 255);
  EXPECT_EQ(plane.At(3, 7), 12);
  EXPECT_EQ(values[60], 0);  // (4,7) got nothing from (3,7)
  EXPECT_TRUE(plane.GuardsIntact());
}

// An independent, direct model of the whole pass for small planes: 2-D arrays,
// 64-bit window sums instead of a summed-area table, diffusion by flat index.
std::vector<uint8_t> DirectModel(GuardedPlane& plane, int32_t T, int32_t P, int32_t lp, int32_t hp) {
  const int32_t W = plane.width, H = plane.height;
  int32_t table[64];
  BuildThresholdTable(T, table);
  std::vector<std::vector<std::array<int32_t, 8>>> rows(H, std::vector<std::array<int32_t, 8>>(W));
  for (int32_t y = 0; y < H; ++y)
    for (int32_t x = 0; x + 8 <= W; ++x) {
      int32_t a[8];
      for (int i = 0; i < 8; ++i) a[i] = plane.At(x + i, y);
      ForwardDct8(a, rows[y][x].data());
    }
  std::vector<std::vector<std::array<int64_t, 8>>> acc(H, std::vector<std::array<int64_t, 8>>(W));
  std::vector<int64_t> weight(static_cast<size_t>(W) * H, 0);
  for (int32_t y = 0; y + 8 <= H; ++y)
    for (int32_t x = 0; x + 8 <= W; ++x) {
      int32_t C[8][8], column[8], back[8];
      for (int u = 0; u < 8; ++u) {
        for (int r = 0; r < 8; ++r) column[r] = rows[y + r][x][u];
        ForwardDct8(column, C[u]);
      }
      const int32_t m = BlockWeight(P, ShrinkBlock(C, table, lp, hp));
      weight[static_cast<size_t>(y) * W + x] = m;
      for (int u = 0; u < 8; ++u) {
        InverseDct8(C[u], back);
        for (int r = 0; r < 8; ++r) acc[y + r][x][u] += int64_t{m} * back[r];
      }
    }
  std::vector<int64_t> value(static_cast<size_t>(W) * H, 0);
  for (int32_t y = 0; y < H; ++y)
    for (int32_t x = 0; x + 8 <= W; ++x) {
      int32_t q[8], p[8];
      for (int i = 0; i < 8; ++i) q[i] = static_cast<int32_t>(acc[y][x][i]);  // small planes: no wrap
      InverseDct8(q, p);
      for (int j = 0; j < 8; ++j) value[static_cast<size_t>(y) * W + x + j] += p[j];
    }
  for (int32_t y = 0; y < H; ++y)
    for (int32_t x = 0; x < W; ++x) {
      int64_t D = 0;
      for (int32_t j = std::max(0, y - 7); j <= y; ++j)
        for (int32_t i = std::max(0, x - 7); i <= x; ++i) D += weight[static_cast<size_t>(j) * W + i];
      int64_t& v = value[static_cast<size_t>(y) * W + x];
      v = 16 * v / D;
    }
  std::vector<uint8_t> out(value.size());
  const int64_t n = static_cast<int64_t>(value.size());
  for (int64_t i = 0; i < n; ++i) {
    const int64_t x = i % W, y = i / W, q = value[i] / 256, e = value[i] - 256 * q;
    out[i] = static_cast<uint8_t>(std::clamp<int64_t>(q, 0, 255));
    if (x == W - 1 || y == H - 1) continue;
    const int64_t offsets[4] = {3, W - 3, W, W + 3}, shares[4] = {7 * e / 16, e / 16, 5 * e / 16, 3 * e / 16};
    for (int k = 0; k < 4; ++k) {
      if (i + offsets[k] < n) value[i + offsets[k]] = std::clamp<int64_t>(value[i + offsets[k]] + shares[k], 0, 65535);
    }
  }
  return out;
}

TEST(PlanePass, MatchesDirectModelOnRandomPlanes) {
  std::mt19937 rng(11);
  struct Params {
    int32_t T, P, lp, hp;
  } params[] = {{10, 1, 0, 100}, {0, 0, 0, 100}, {25, 2, 0, 100}, {40, 3, 5, 60}, {15, 20, 0, 100}, {1000, 11, 2, 30}, {-3, 1, 0, 100},
                // One ring of u*u+v*v each (both bounds a value it takes):
                // the band's ends are inclusive on both sides.
                {1000, 11, 25, 25}, {30, 2, 50, 50}, {1000, 3, 1, 1}, {1000, 1, 98, 98}};
  for (auto [w, h] : {std::pair{8, 8}, {9, 8}, {8, 11}, {16, 16}, {23, 19}, {40, 33}}) {
    for (const Params& p : params) {
      GuardedPlane plane(w, h, 3);
      plane.FillRandom(rng);
      // Smooth half the plane so thresholds zero a real share of coefficients.
      for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w / 2; ++x) plane.At(x, y) = static_cast<uint8_t>(100 + x + (plane.At(x, y) & 7));
      // And black the top 9 rows of the other half: blocks whose 64
      // coefficients are all zero, beside blocks that weigh differently.
      for (int32_t y = 0; y < std::min(h, 9); ++y)
        for (int32_t x = w / 2; x < w; ++x) plane.At(x, y) = 0;
      const std::vector<uint8_t> expected = DirectModel(plane, p.T, p.P, p.lp, p.hp);
      ASSERT_TRUE(FilterPlaneReference(plane.View(), p.T, p.P, p.lp, p.hp));
      ASSERT_EQ(plane.Samples(), expected) << w << "x" << h << " T=" << p.T << " P=" << p.P << " band " << p.lp << ".." << p.hp;
      ASSERT_TRUE(plane.GuardsIntact());
    }
  }
}

// Planes smaller than a block are left alone; nothing outside any plane is
// touched, whatever its size; the same input gives the same output.
TEST(FilterPlane, AnySizeIsSafeAndDeterministic) {
  std::mt19937 rng(5);
  for (int32_t h = 0; h <= 12; ++h)
    for (int32_t w = 0; w <= 12; ++w) {
      GuardedPlane plane(w, h, (w * 7 + h) % 9);
      plane.FillRandom(rng);
      const std::vector<uint8_t> before = plane.Samples();
      ASSERT_TRUE(FilterPlane(plane.View(), 10, 1, 0, 100));
      if (w < 8 || h < 8) {
        ASSERT_EQ(plane.Samples(), before) << w << "x" << h;
      }
      ASSERT_TRUE(plane.GuardsIntact()) << w << "x" << h;

      GuardedPlane again(w, h, 0);
      for (int32_t y = 0; y < h && w > 0; ++y) std::memcpy(again.Row(y), before.data() + static_cast<size_t>(y) * w, w);
      ASSERT_TRUE(FilterPlane(again.View(), 10, 1, 0, 100));
      ASSERT_EQ(again.Samples(), plane.Samples());
    }
}

// One prepared filter carried from plane to plane, larger and smaller, each
// pass taking the work block the previous one left: every plane still comes
// out as from the whole-plane reference, so nothing an earlier pass left in
// the block reaches a later one, and a block too small is never used.
TEST(FilterPlane, APreparedFilterCarriedAcrossPlanesOfAnySizeGivesFreshResults) {
  const int32_t sizes[][2] = {{200, 40}, {9, 9}, {67, 23}, {200, 40}, {333, 12}, {40, 70}, {8, 8}, {201, 17}};
  std::vector<GuardedPlane> inputs, expected;
  std::mt19937 rng(11);
  for (const auto& size : sizes) {
    inputs.emplace_back(size[0], size[1], 3);
    inputs.back().FillRandom(rng);
    expected.push_back(inputs.back());
    ASSERT_TRUE(FilterPlaneReference(expected.back().View(), 20, 1, 0, 100));
  }
  // Every kernel level: each uses other parts of the block (the scratch rows
  // only some row syntheses need, for one).
  const uint32_t masks[] = {0u, kCpuSse2, kCpuSse2 | kCpuAvx2, kCpuAllFlags};
  for (uint32_t mask : masks) {
    PreparedFilter prepared;
    PrepareFilter(20, 1, 0, 100, mask, prepared);
    for (size_t i = 0; i < inputs.size(); ++i) {
      GuardedPlane plane = inputs[i];
      ASSERT_TRUE(FilterPlane(plane.View(), prepared));
      EXPECT_EQ(plane.Samples(), expected[i].Samples()) << "mask " << mask << ", plane " << i;
      EXPECT_TRUE(plane.GuardsIntact()) << "mask " << mask << ", plane " << i;
    }
  }
}

TEST(FilterPlane, RefusesMalformedOrUnsizeableViewsWithoutTouchingThem) {
  GuardedPlane plane(16, 16);
  plane.Fill(7);
  PlaneView view = plane.View();
  view.width = -1;
  EXPECT_FALSE(FilterPlane(view, 10, 1, 0, 100));
  view = plane.View();
  view.pitch = 15;
  EXPECT_FALSE(FilterPlane(view, 10, 1, 0, 100));
  view = plane.View();
  view.data = nullptr;
  EXPECT_FALSE(FilterPlane(view, 10, 1, 0, 100));
  // A workspace whose size overflows is refused before anything is read.
  view = PlaneView{plane.Row(0), INT32_MAX, INT32_MAX, INT32_MAX};
  EXPECT_FALSE(FilterPlane(view, 10, 1, 0, 100));
  EXPECT_TRUE(plane.GuardsIntact());
  for (uint8_t s : plane.Samples()) EXPECT_EQ(s, 7);
}

}  // namespace
}  // namespace velmoraine
