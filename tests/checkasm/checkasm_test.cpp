// Whole passes: the streaming pass with each kernel level must give the same
// bytes as the reference pass, and touch nothing outside the plane.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "checkasm.h"
#include "core/plane_filter.h"
#include "tests/oracle/oracle.h"

// Lets the allocation-failure test see a null from new(nothrow) under
// AddressSanitizer instead of a report.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace velmoraine::checkasm {
namespace {

struct Params {
  int32_t T, P, lp, hp;
};

std::string Describe(const Params& p) {
  return "T=" + std::to_string(p.T) + " P=" + std::to_string(p.P) + " lp=" + std::to_string(p.lp) +
         " hp=" + std::to_string(p.hp);
}

// A plane inside a larger buffer: guard bytes before, between rows (the pitch
// exceeds the width) and after, all holding a canary that must survive.
struct GuardedPlane {
  int32_t W, H;
  ptrdiff_t pitch;
  std::vector<uint8_t> buffer;
  static constexpr size_t kGuard = 64;
  static constexpr uint8_t kCanary = 0xA5;

  GuardedPlane(int32_t width, int32_t height, ptrdiff_t rowPitch) : W(width), H(height), pitch(rowPitch) {
    buffer.assign(2 * kGuard + static_cast<size_t>(pitch) * static_cast<size_t>(H > 0 ? H : 1), kCanary);
  }
  uint8_t* Row(int32_t y) { return buffer.data() + kGuard + y * pitch; }
  PlaneView View() { return PlaneView{buffer.data() + kGuard, pitch, W, H}; }
  void Fill(const std::function<uint8_t(int32_t, int32_t)>& sample) {
    for (int32_t y = 0; y < H; ++y)
      for (int32_t x = 0; x < W; ++x) Row(y)[x] = sample(x, y);
  }
};

// Runs the reference and every level on copies of the plane; the whole
// buffers, guards included, must come out equal.
void ExpectSameAsReference(const GuardedPlane& source, const Params& p, const std::string& what) {
  GuardedPlane expected = source;
  const bool expectedResult = FilterPlaneReference(expected.View(), p.T, p.P, p.lp, p.hp);
  for (const Level& level : AvailableLevels()) {
    GuardedPlane actual = source;
    PreparedFilter filter;
    PrepareFilter(p.T, p.P, p.lp, p.hp, level.mask, filter);
    const bool result = FilterPlane(actual.View(), filter);
    ASSERT_EQ(result, expectedResult) << level.name << " " << what << " " << Describe(p);
    if (actual.buffer != expected.buffer) {
      size_t i = 0;
      while (actual.buffer[i] == expected.buffer[i]) ++i;
      const ptrdiff_t offset = static_cast<ptrdiff_t>(i) - static_cast<ptrdiff_t>(GuardedPlane::kGuard);
      FAIL() << level.name << " " << what << " " << Describe(p) << ": first difference at buffer offset "
             << offset << " (row " << (offset >= 0 ? offset / source.pitch : -1) << ", column "
             << (offset >= 0 ? offset % source.pitch : offset) << "): " << int(actual.buffer[i]) << " instead of "
             << int(expected.buffer[i]);
    }
  }
}

const Params kThresholdsAndProfiles[] = {
    {0, 1, 0, 100},          {10, 1, 0, 100},      {10, 0, 0, 100},         {10, 2, 0, 100},
    {10, 3, 0, 100},         {37, 4, 0, 100},      {10, 7, 0, 100},         {200, 10, 0, 100},
    {25, 11, 0, 100},        {25, 12, 0, 100},     {60, 40, 0, 100},        {60, 63, 0, 100},
    {60, 64, 0, 100},        {1000, 100, 0, 100},  {-5, 1, 0, 100},         {315646704, 1, 0, 100},
    {INT32_MAX, 2, 0, 100},  {INT32_MIN, 1, 0, 100}, {1 << 28, 3, 0, 100},   {1, 1, 0, 100},
    {10, INT32_MAX, 0, 100}, {10, 1, 0, 0},        {10, 1, 1, 1},           {10, 2, 98, 98},
    {40, 1, 5, 20},          {40, 1, 50, 10},      {40, 1, -5, -1},         {40, 3, INT32_MIN, INT32_MAX},
    {4000, 2, 2, 60},        {10, 11, 30, 100},
};

uint32_t Hash(uint32_t x) {
  x ^= x >> 16, x *= 0x7feb352dU, x ^= x >> 15, x *= 0x846ca68bU, x ^= x >> 16;
  return x;
}

// Sample patterns that push intermediate values to their extremes.
struct Pattern {
  const char* name;
  std::function<uint8_t(int32_t, int32_t)> sample;
};

std::vector<Pattern> Patterns(uint32_t seed) {
  return {
      {"random", [seed](int32_t x, int32_t y) { return uint8_t(Hash(seed ^ uint32_t(x * 7919 + y * 104729))); }},
      {"all-0", [](int32_t, int32_t) { return uint8_t(0); }},
      {"all-255", [](int32_t, int32_t) { return uint8_t(255); }},
      {"checkerboard", [](int32_t x, int32_t y) { return uint8_t((x + y) & 1 ? 255 : 0); }},
      {"checkerboard-2", [](int32_t x, int32_t y) { return uint8_t(((x >> 1) + (y >> 1)) & 1 ? 255 : 0); }},
      {"stripes", [](int32_t x, int32_t) { return uint8_t(x % 8 < 4 ? 255 : 0); }},
      {"flat-bright", [](int32_t, int32_t) { return uint8_t(250); }},
      {"noisy-gradient",
       [seed](int32_t x, int32_t y) {
         const int v = (x * 3 + y * 5) % 256 + int(Hash(seed + uint32_t(x * 31 + y * 17)) % 41) - 20;
         return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v));
       }},
      // Black 8x8 areas (all 64 coefficients zero) beside busy ones, as in
      // full-range letterboxed video: the weight of an all-zero block only
      // shows next to blocks that weigh differently.
      {"letterbox",
       [seed](int32_t x, int32_t y) { return uint8_t(y % 24 < 10 ? 0 : Hash(seed ^ uint32_t(x * 7 + y * 977))); }},
      {"black-tiles",
       [seed](int32_t x, int32_t y) {
         return uint8_t((x / 8 + y / 8) % 2 == 0 ? 0 : 96 + Hash(seed ^ uint32_t(x * 389 + y * 13)) % 64);
       }},
      {"salt-and-pepper",
       [seed](int32_t x, int32_t y) {
         const uint32_t h = Hash(seed ^ uint32_t(x * 131 + y * 7));
         return uint8_t(h % 16 == 0 ? 255 : (h % 16 == 1 ? 0 : 128));
       }},
  };
}

// Every size from 0x0 to 40x40, with random samples, a pitch a few bytes past
// the width (often odd), and the parameter sets taken in turn.
TEST(CheckasmPlane, EverySizeUpTo40x40) {
  const size_t setCount = sizeof kThresholdsAndProfiles / sizeof kThresholdsAndProfiles[0];
  size_t turn = 0;
  for (int32_t H = 0; H <= 40; ++H) {
    for (int32_t W = 0; W <= 40; ++W) {
      const ptrdiff_t pitch = W + 1 + (W * 7 + H) % 5;
      GuardedPlane plane(W, H, pitch);
      plane.Fill(Patterns(uint32_t(W * 41 + H))[0].sample);
      const Params& p = kThresholdsAndProfiles[turn++ % setCount];
      ExpectSameAsReference(plane, p, std::to_string(W) + "x" + std::to_string(H));
      if (HasFatalFailure() || HasFailure()) return;
    }
  }
}

// Opt-in long sweep (VELMORAINE_CHECKASM_LONG=1): every size up to 72x72,
// every pattern and every parameter set. Takes minutes (an hour or more under
// an emulator): VELMORAINE_CHECKASM_LONG=i/n runs part i of n (the heights
// H with (H - 8) % n == i, each with the samples of the whole sweep), so n
// processes can share it.
TEST(CheckasmPlane, LongSweep) {
  const char* setting = std::getenv("VELMORAINE_CHECKASM_LONG");
  if (setting == nullptr) GTEST_SKIP() << "set VELMORAINE_CHECKASM_LONG=1 to run";
  int part = 0, parts = 1;
  if (std::sscanf(setting, "%d/%d", &part, &parts) != 2 || parts < 1 || part < 0 || part >= parts) part = 0, parts = 1;
  uint32_t seed = 100;
  for (int32_t H = 8; H <= 72; ++H) {
    if ((H - 8) % parts != part) {
      seed += 72 - 8 + 1;  // the seeds the skipped heights would take
      continue;
    }
    for (int32_t W = 8; W <= 72; ++W) {
      for (const Pattern& pattern : Patterns(seed++)) {
        GuardedPlane plane(W, H, W + 1 + (W + H) % 7);
        plane.Fill(pattern.sample);
        for (const Params& p : kThresholdsAndProfiles) {
          ExpectSameAsReference(plane, p, std::string(pattern.name) + " " + std::to_string(W) + "x" + std::to_string(H));
          if (HasFailure()) return;
        }
      }
    }
  }
}

// Adversarial patterns under every threshold, profile and band in the table.
TEST(CheckasmPlane, AdversarialPatternsAndParameters) {
  const struct {
    int32_t W, H;
  } sizes[] = {{8, 8}, {23, 19}, {40, 9}};
  for (const auto& size : sizes) {
    for (const Pattern& pattern : Patterns(7)) {
      GuardedPlane plane(size.W, size.H, size.W + 3);
      plane.Fill(pattern.sample);
      for (const Params& p : kThresholdsAndProfiles) {
        ExpectSameAsReference(plane, p, std::string(pattern.name) + " " + std::to_string(size.W) + "x" +
                                            std::to_string(size.H));
        if (HasFailure()) return;
      }
    }
  }
}

// Flat bright areas with profile 2 push the sums within 2 % of the 32-bit
// limit; profile 2 with a huge threshold zeroes nearly everything.
TEST(CheckasmPlane, BrightAreasWithHeavyWeights) {
  for (const Params& p : {Params{0, 2, 0, 100}, Params{10, 2, 0, 100}, Params{INT32_MAX, 2, 0, 100},
                          Params{10, 20, 0, 100}, Params{10, 11, 0, 100}}) {
    GuardedPlane plane(61, 45, 67);
    plane.Fill([](int32_t x, int32_t y) { return uint8_t(x < 30 || y < 20 ? 255 : ((x ^ y) & 1) * 255); });
    ExpectSameAsReference(plane, p, "bright");
    if (HasFailure()) return;
  }
}

// Larger and odd sizes run every loop tail and several bands of block rows.
TEST(CheckasmPlane, LargeAndOddSizes) {
  const struct {
    int32_t W, H;
  } sizes[] = {{333, 157}, {1000, 37}, {37, 300}, {129, 129}, {8, 200}, {200, 8}, {1920, 24}};
  uint32_t seed = 1;
  for (const auto& size : sizes) {
    for (const Params& p : {Params{10, 1, 0, 100}, Params{25, 2, 0, 100}, Params{7, 3, 3, 70}}) {
      GuardedPlane plane(size.W, size.H, size.W + 5);
      plane.Fill(Patterns(seed++)[7].sample);
      ExpectSameAsReference(plane, p, std::to_string(size.W) + "x" + std::to_string(size.H));
      if (HasFailure()) return;
    }
  }
}

// The public entry takes the best level and matches the reference.
TEST(CheckasmPlane, FilterPlaneMatchesReference) {
  GuardedPlane expected(97, 61, 101);
  expected.Fill(Patterns(3)[7].sample);
  GuardedPlane actual = expected;
  ASSERT_TRUE(FilterPlaneReference(expected.View(), 10, 1, 0, 100));
  ASSERT_TRUE(FilterPlane(actual.View(), 10, 1, 0, 100));
  EXPECT_EQ(actual.buffer, expected.buffer);
}

TEST(CheckasmPlane, MalformedViewsAreRefusedUntouched) {
  GuardedPlane plane(16, 16, 16);
  plane.Fill(Patterns(5)[0].sample);
  const std::vector<uint8_t> before = plane.buffer;
  const PlaneView good = plane.View();
  for (const Level& level : AvailableLevels()) {
    PreparedFilter filter;
    PrepareFilter(10, 1, 0, 100, level.mask, filter);
    EXPECT_FALSE(FilterPlane(PlaneView{good.data, 15, 16, 16}, filter)) << "pitch below width";
    EXPECT_FALSE(FilterPlane(PlaneView{good.data, 16, -1, 16}, filter)) << "negative width";
    EXPECT_FALSE(FilterPlane(PlaneView{good.data, 16, 16, -3}, filter)) << "negative height";
    EXPECT_FALSE(FilterPlane(PlaneView{nullptr, 16, 16, 16}, filter)) << "no data";
    EXPECT_TRUE(FilterPlane(PlaneView{nullptr, 0, 0, 0}, filter)) << "empty plane";
  }
  EXPECT_EQ(plane.buffer, before);
}

// Work buffers that cannot be had: false, and the plane is never read or
// written (its pointer here leads to a few bytes only).
TEST(CheckasmPlane, AllocationFailureLeavesPlaneUntouched) {
  uint8_t sample[16] = {};
  for (const Level& level : AvailableLevels()) {
    PreparedFilter filter;
    PrepareFilter(10, 1, 0, 100, level.mask, filter);
    EXPECT_FALSE(FilterPlane(PlaneView{sample, INT32_MAX, INT32_MAX, 8}, filter));
  }
  EXPECT_FALSE(FilterPlane(PlaneView{sample, INT32_MAX, INT32_MAX, 8}, 10, 1, 0, 100));
  for (uint8_t s : sample) EXPECT_EQ(s, 0);
}

}  // namespace
}  // namespace velmoraine::checkasm
