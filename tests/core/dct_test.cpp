#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>

#include "core/dct.h"

namespace velmoraine {
namespace {

using Vec = std::array<int32_t, 8>;

Vec Forward(const Vec& x) {
  Vec out{};
  ForwardDct8(x.data(), out.data());
  return out;
}

Vec Inverse(const Vec& x) {
  Vec out{};
  InverseDct8(x.data(), out.data());
  return out;
}

struct ReferenceVector {
  Vec input, forward, inverse;
};

// Known vectors; the pairs for 1 and -1 show that shifts round toward minus
// infinity, so a truncating or rounding shift fails here.
TEST(LiftingDct, MatchesReferenceVectors) {
  const ReferenceVector vectors[] = {
      {{0, 1, 2, 3, 4, 5, 6, 7}, {28, -12, 0, -2, 0, 0, 0, 1}, {0, 4, 10, 12, 16, 18, 24, 28}},
      {{255, 0, 255, 0, 255, 0, 255, 0}, {1020, 122, 0, 129, 0, 289, 0, 664}, {1020, -1, 1020, 0, 1020, 0, 1021, 0}},
      {{255, 255, 255, 255, 0, 0, 0, 0}, {1020, 639, 0, -193, 0, 190, 0, -133}, {1020, 1019, 1021, 1020, 0, -1, 1, 0}},
      {{1, 0, 0, 0, 0, 0, 0, 0}, {1, 1, 1, 1, 0, 0, 0, 0}, {4, 0, 0, 0, 0, 0, 0, 0}},
      {{-1, 0, 0, 0, 0, 0, 0, 0}, {-1, 0, 0, 0, -1, -1, -1, -1}, {-4, 0, 0, 0, 0, 0, 0, 0}},
      {{0, 0, 0, 0, 0, 0, 0, -1}, {-1, 1, 0, 1, -1, 0, -1, 0}, {0, 0, 0, 0, 0, 0, 0, -4}},
      {{5, -3, 0, 7, -8, 2, 1, -4}, {0, 8, 1, 2, 0, 25, 4, -13}, {20, -12, 0, 28, -32, 8, 4, -16}},
      {{255, 255, 255, 255, 255, 255, 255, 255}, {2040, 0, 0, 0, 0, 0, 0, 0}, {1020, 1020, 1020, 1020, 1020, 1020, 1020, 1020}},
      {{0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(Forward(v.input), v.forward);
    EXPECT_EQ(Inverse(v.forward), v.inverse);
  }
}

// Properties every input must show: constants map to DC only, a constant
// offset only moves DC, and the round trip has gain 4 with errors of at most
// 2, opposite at positions 1/6 and 2/5, and none at 0, 3, 4, 7.
TEST(LiftingDct, PropertiesHoldOnRandomVectors) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int32_t> sample(-4000, 4000);
  int exact = 0;
  const int trials = 20000;
  for (int t = 0; t < trials; ++t) {
    Vec x;
    for (auto& v : x) v = sample(rng);
    const int32_t c = sample(rng);

    Vec flat;
    flat.fill(c);
    EXPECT_EQ(Forward(flat), (Vec{8 * c, 0, 0, 0, 0, 0, 0, 0}));

    Vec shifted = x;
    for (auto& v : shifted) v += c;
    Vec a = Forward(x), b = Forward(shifted);
    EXPECT_EQ(b[0], a[0] + 8 * c);
    for (int u = 1; u < 8; ++u) ASSERT_EQ(a[u], b[u]);

    const Vec r = Inverse(a);
    for (int i : {0, 3, 4, 7}) ASSERT_EQ(r[i], 4 * x[i]);
    int32_t d[8];
    for (int i = 0; i < 8; ++i) d[i] = r[i] - 4 * x[i];
    for (int i : {1, 2, 5, 6}) ASSERT_LE(std::abs(d[i]), 2);
    ASSERT_EQ(d[1], -d[6]);
    ASSERT_EQ(d[2], -d[5]);
    if (r == Vec{4 * x[0], 4 * x[1], 4 * x[2], 4 * x[3], 4 * x[4], 4 * x[5], 4 * x[6], 4 * x[7]}) ++exact;
  }
  // About one vector in eight round-trips exactly.
  EXPECT_GT(exact, trials / 16);
  EXPECT_LT(exact, trials / 4);
}

// Accumulated sums reach the inverse transform far beyond sample range; every
// step must wrap like 32-bit two's complement instead of being undefined.
TEST(LiftingDct, WrapsOnHugeInputs) {
  const Vec huge{INT32_MAX, INT32_MIN, INT32_MAX, 1, -1, INT32_MIN, 123456789, -987654321};
  const Vec f = Forward(huge);
  // X0 is the plain sum, taken modulo 2^32.
  int64_t sum = 0;
  for (int32_t v : huge) sum += v;
  EXPECT_EQ(f[0], static_cast<int32_t>(static_cast<uint32_t>(sum)));
  // The sanitizer build traps here if any step overflows as signed.
  const Vec i = Inverse(huge);
  // Output butterflies: r0 + r7 and r3 + r4 are both twice an even-chain sum.
  EXPECT_EQ((static_cast<uint32_t>(i[0]) + static_cast<uint32_t>(i[7])) & 1u, 0u);
  EXPECT_EQ((static_cast<uint32_t>(i[3]) + static_cast<uint32_t>(i[4])) & 1u, 0u);
}

}  // namespace
}  // namespace velmoraine
