// The wide pass, depth by depth and pattern by pattern: every kernel level
// must give the words of the reference pass, in exact arithmetic, and touch no
// word outside the plane.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>

#include "checkasm.h"
#include "core/plane_filter.h"
#include "tests/oracle/oracle.h"

namespace velmoraine::checkasm {
namespace {

uint32_t Mix(uint32_t x) {
  x ^= x >> 16, x *= 0x7feb352dU, x ^= x >> 15, x *= 0x846ca68bU, x ^= x >> 16;
  return x;
}

// A plane of 16-bit words with guard words before, between rows (the pitch
// exceeds the width by an odd number of words) and after.
struct GuardedWords {
  int32_t W, H, bits;
  ptrdiff_t pitchWords;
  std::vector<uint16_t> buffer;
  static constexpr size_t kGuard = 32;
  static constexpr uint16_t kCanary = 0xA55A;

  GuardedWords(int32_t width, int32_t height, int32_t depth)
      : W(width), H(height), bits(depth), pitchWords(width + 3),
        buffer(2 * kGuard + static_cast<size_t>(pitchWords) * height, kCanary) {}
  PlaneView16 View() { return PlaneView16{buffer.data() + kGuard, pitchWords * 2, W, H, bits}; }
  void Fill(const std::function<uint16_t(int32_t, int32_t)>& word) {
    for (int32_t y = 0; y < H; ++y)
      for (int32_t x = 0; x < W; ++x) buffer[kGuard + y * pitchWords + x] = word(x, y);
  }
};

struct WideCase {
  const char* what;
  int32_t W, H;
  int32_t T, P, lp, hp;
  // The word at (x, y) for depth `bits`; `top` is 2^bits - 1.
  std::function<uint16_t(int32_t x, int32_t y, uint32_t top)> word;
};

uint16_t RandomWord(int32_t x, int32_t y, uint32_t top) { return uint16_t(Mix(uint32_t(x * 7919 + y * 104729)) % (top + 1)); }

// A smooth ramp with noise of about a fortieth of the range: most column
// coefficients then lie near the thresholds of moderate T.
uint16_t NoisyRamp(int32_t x, int32_t y, uint32_t top) {
  const int64_t ramp = int64_t(top) * ((x * 3 + y * 5) % 256) / 255;
  const int64_t noise = int64_t(Mix(uint32_t(x * 31 + y * 17)) % (top / 20 + 1)) - int64_t(top / 40);
  const int64_t v = ramp + noise;
  return uint16_t(v < 0 ? 0 : (v > int64_t(top) ? top : v));
}

const WideCase kCases[] = {
    {"random words", 37, 29, 10, 1, 0, 100, RandomWord},
    {"random words, several bands", 45, 61, 25, 3, 0, 100, RandomWord},
    {"noisy ramp, every loop tail", 333, 77, 10, 1, 0, 100, NoisyRamp},
    {"noisy ramp near the thresholds", 53, 40, 6, 1, 0, 100, NoisyRamp},
    {"noisy ramp, profile 11", 41, 27, 12, 11, 0, 100, NoisyRamp},
    {"full-range noise", 35, 33, 30, 2, 0, 100,
     [](int32_t x, int32_t y, uint32_t top) { return uint16_t(Mix(uint32_t(x * 131 + y * 7)) & 1 ? top : 0); }},
    {"flat top words, profile 2", 43, 31, 0, 2, 0, 100, [](int32_t, int32_t, uint32_t top) { return uint16_t(top); }},
    {"flat top words, profile 2, thresholding", 24, 40, 50, 2, 0, 100,
     [](int32_t, int32_t, uint32_t top) { return uint16_t(top); }},
    // Words above 2^bits - 1 are filtered as the values they hold.
    {"words above the depth", 39, 26, 20, 2, 0, 100,
     [](int32_t x, int32_t y, uint32_t) { return uint16_t(Mix(uint32_t(x * 389 + y * 13))); }},
    {"all-65535 words", 20, 20, 0, 1, 0, 100, [](int32_t, int32_t, uint32_t) { return uint16_t(65535); }},
    {"largest T", 30, 22, INT32_MAX, 2, 0, 100, NoisyRamp},
    // Column coefficients beyond 2^20 in magnitude, every one below its
    // threshold: a kernel that caps the thresholds too low keeps them.
    {"largest T over full-range stripes", 26, 21, INT32_MAX, 1, 0, 100,
     [](int32_t x, int32_t, uint32_t top) { return uint16_t(x % 2 ? top : 0); }},
    {"largest T beside black", 30, 22, INT32_MAX, 1, 0, 100,
     [](int32_t x, int32_t y, uint32_t top) { return uint16_t(y % 16 < 6 ? 0 : RandomWord(x, y, top)); }},
    {"one-ring band", 33, 25, 40, 1, 25, 25, NoisyRamp},
    // Rows of 65535 beside rows of 0: at T = 362 a band's weights sum past
    // 512 while its blocks along the edge keep magnitudes near the lane
    // bound, so a light path (sums in 32-bit lanes) that admits more weight
    // than kLightWeightsLimit wraps (at 1024 it writes 0 for 65535).
    {"step edge, heavy blocks at full magnitude", 16, 10, 362, 1, 0, 100,
     [](int32_t, int32_t y, uint32_t) { return uint16_t(y >= 1 && y <= 5 ? 65535 : 0); }},
    {"negative T", 17, 19, -7, 3, 0, 100, RandomWord},
    // Narrower or lower than a block: unchanged, over-range words included.
    {"seven rows", 40, 7, 10, 1, 0, 100, [](int32_t x, int32_t y, uint32_t) { return uint16_t(Mix(x + 64 * y)); }},
    {"seven columns", 7, 12, 10, 1, 0, 100, [](int32_t x, int32_t y, uint32_t) { return uint16_t(Mix(x + 64 * y)); }},
};

TEST(CheckasmWidePass, EveryDepthPatternAndLevelMatchesTheReference) {
  for (const int32_t bits : {9, 10, 12, 16}) {
    const uint32_t top = (1u << bits) - 1;
    for (const WideCase& c : kCases) {
      GuardedWords source(c.W, c.H, bits);
      source.Fill([&](int32_t x, int32_t y) { return c.word(x, y, top); });
      GuardedWords expected = source;
      ASSERT_TRUE(FilterPlaneReference(expected.View(), c.T, c.P, c.lp, c.hp));
      for (const Level& level : AvailableLevels()) {
        GuardedWords actual = source;
        PreparedFilter filter;
        PrepareFilter(c.T, c.P, c.lp, c.hp, bits, level.mask, filter);
        ASSERT_TRUE(FilterPlane(actual.View(), filter));
        if (actual.buffer == expected.buffer) continue;
        size_t i = 0;
        while (actual.buffer[i] == expected.buffer[i]) ++i;
        const ptrdiff_t offset = ptrdiff_t(i) - ptrdiff_t(GuardedWords::kGuard);
        FAIL() << c.what << ", " << bits << " bits, " << level.name << ": first difference at word " << offset
               << " (row " << offset / source.pitchWords << ", column " << offset % source.pitchWords
               << "): " << actual.buffer[i] << " instead of " << expected.buffer[i];
      }
      // A filter prepared for another depth refuses the plane untouched.
      GuardedWords other = source;
      PreparedFilter filter;
      PrepareFilter(c.T, c.P, c.lp, c.hp, bits == 16 ? 10 : 16, kCpuAllFlags, filter);
      EXPECT_FALSE(FilterPlane(other.View(), filter)) << c.what;
      EXPECT_EQ(other.buffer, source.buffer) << c.what;
    }
  }
}

}  // namespace
}  // namespace velmoraine::checkasm
