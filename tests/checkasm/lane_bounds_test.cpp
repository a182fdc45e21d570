// The facts the fast kernels rest on, checked rather than assumed:
// - every step of the forward row transform of 8-bit samples, of the forward
//   column transform of its coefficients and of the inverse column transform
//   of any subset of those column coefficients (what shrinkage leaves) fits a
//   signed 16-bit lane, and the same for 16-bit words in a 32-bit lane;
// - (k * x) >> s equals the high half of x * (k << (16 - s)) for every 16-bit
//   x and every multiplier the transform uses;
// - a double division of 16 * A by a divisor up to 64 * 16385 truncates to the
//   integer quotient.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <random>

#include "core/wide_bounds.h"

namespace {

// Affine arithmetic, exact: a value is a linear form of the stage's 8 inputs
// plus an interval [lo, hi] holding the constant part and everything the
// shifts dropped. Numbers are fixed point with 64 fraction bits in 128-bit
// integers; every multiplier is k / 2^s, so nothing is rounded (a test below
// checks that no bit falls off). Unlike plain interval arithmetic, this keeps
// x - x at 0, which is what makes the bound on the inverse transform tight.
using Fixed = __int128;
constexpr int kFraction = 64;
constexpr Fixed kOne = Fixed(1) << kFraction;

struct Affine {
  Fixed coef[8] = {};
  Fixed lo = 0, hi = 0;
};

struct Box {
  int64_t lo[8], hi[8];  // the range of each input
};

struct Tracker {
  Box box;
  Fixed largest = 0;  // largest magnitude reached, fixed point
  bool exact = true;  // no fraction bit shifted out

  Fixed Low(const Affine& a) const {
    Fixed v = a.lo;
    for (int i = 0; i < 8; ++i) v += a.coef[i] * (a.coef[i] > 0 ? box.lo[i] : box.hi[i]);
    return v;
  }
  Fixed High(const Affine& a) const {
    Fixed v = a.hi;
    for (int i = 0; i < 8; ++i) v += a.coef[i] * (a.coef[i] > 0 ? box.hi[i] : box.lo[i]);
    return v;
  }
  Affine Note(const Affine& a) {
    const Fixed low = Low(a), high = High(a);
    largest = std::max({largest, low < 0 ? -low : low, high < 0 ? -high : high});
    return a;
  }
  Affine Add(const Affine& a, const Affine& b) {
    Affine r;
    for (int i = 0; i < 8; ++i) r.coef[i] = a.coef[i] + b.coef[i];
    r.lo = a.lo + b.lo, r.hi = a.hi + b.hi;
    return Note(r);
  }
  Affine Sub(const Affine& a, const Affine& b) {
    Affine r;
    for (int i = 0; i < 8; ++i) r.coef[i] = a.coef[i] - b.coef[i];
    r.lo = a.lo - b.hi, r.hi = a.hi - b.lo;
    return Note(r);
  }
  Fixed Scale(Fixed v, int64_t k, int s) {
    const Fixed p = v * k;
    if (p % (Fixed(1) << s) != 0) exact = false;
    return p / (Fixed(1) << s);
  }
  // floor(k * a / 2^s) = k * a / 2^s + d with -1 < d <= 0; k may be negative.
  Affine MulShift(int64_t k, const Affine& a, int s) {
    Affine r;
    for (int i = 0; i < 8; ++i) r.coef[i] = Scale(a.coef[i], k, s);
    const Fixed x = Scale(a.lo, k, s), y = Scale(a.hi, k, s);
    r.lo = std::min(x, y) - kOne, r.hi = std::max(x, y);
    return Note(r);
  }
  // What a 16-bit lane holds for (11 * a) >> 4: a + ((-5 * a) >> 4).
  Affine Mul11Shr4(const Affine& a) { return Add(a, MulShift(-5, a, 4)); }

  void Forward(const Affine x[8], Affine X[8]) {
    for (int i = 0; i < 8; ++i) Note(x[i]);
    const Affine s07 = Add(x[0], x[7]), d07 = Sub(x[0], x[7]), s16 = Add(x[1], x[6]), s25 = Add(x[2], x[5]);
    const Affine s34 = Add(x[3], x[4]), d34 = Sub(x[3], x[4]);
    Affine d16 = Sub(x[1], x[6]), d25 = Sub(x[2], x[5]);
    d25 = Sub(d25, MulShift(13, d16, 5));
    d16 = Add(d16, Mul11Shr4(d25));
    d25 = Sub(MulShift(13, d16, 5), d25);
    const Affine e0 = Add(s07, s34), e3 = Sub(s07, s34), e1 = Add(s16, s25), e2 = Sub(s16, s25);
    const Affine o4 = Add(d34, d25), o5 = Sub(d34, d25), o6 = Sub(d07, d16), o7 = Add(d07, d16);
    X[0] = Add(e0, e1);
    X[4] = Sub(MulShift(1, X[0], 1), e1);
    X[6] = Sub(MulShift(13, e3, 5), e2);
    X[2] = Sub(e3, MulShift(11, X[6], 5));
    X[7] = Sub(MulShift(3, o7, 4), o4);
    X[1] = Sub(o7, MulShift(3, X[7], 4));
    X[5] = Add(o5, Mul11Shr4(o6));
    X[3] = Sub(o6, MulShift(15, X[5], 5));
  }

  void Inverse(const Affine X[8], Affine r[8]) {
    for (int i = 0; i < 8; ++i) Note(X[i]);
    const Affine e1 = Sub(MulShift(1, X[0], 1), X[4]), e0 = Sub(X[0], e1);
    const Affine e3 = Add(X[2], MulShift(11, X[6], 5)), e2 = Sub(MulShift(13, e3, 5), X[6]);
    const Affine o6 = Add(X[3], MulShift(15, X[5], 5)), o5 = Sub(X[5], Mul11Shr4(o6));
    const Affine o7 = Add(X[1], MulShift(3, X[7], 4)), o4 = Sub(MulShift(3, o7, 4), X[7]);
    const Affine S07 = Add(e0, e3), S34 = Sub(e0, e3), S16 = Add(e1, e2), S25 = Sub(e1, e2);
    const Affine D34 = Add(o4, o5), D07 = Add(o7, o6);
    Affine D25 = Sub(o4, o5), D16 = Sub(o7, o6);
    D25 = Sub(MulShift(13, D16, 5), D25);
    D16 = Sub(D16, Mul11Shr4(D25));
    D25 = Add(D25, MulShift(13, D16, 5));
    r[0] = Add(S07, D07), r[1] = Add(S16, D16), r[2] = Add(S25, D25), r[3] = Add(S34, D34);
    r[4] = Sub(S34, D34), r[5] = Sub(S25, D25), r[6] = Sub(S16, D16), r[7] = Sub(S07, D07);
  }
};

Affine Input(int i) {
  Affine a;
  a.coef[i] = kOne;
  return a;
}

int64_t Floor(Fixed v) { return static_cast<int64_t>(v >= 0 ? v / kOne : -((-v + kOne - 1) / kOne)); }

// The largest magnitude of any step of the block stage for samples (or
// words) anywhere in 0..top: the forward row transform, the forward column
// transform of its coefficients and the inverse column transform of every
// subset of the column coefficients that shrinkage may leave (the others
// exactly 0). Fails the test if a shift drops a fraction bit.
Fixed LargestBlockStageValue(int64_t top, Fixed& largestRowCoefficient) {
  Tracker rows;
  for (int i = 0; i < 8; ++i) rows.box.lo[i] = 0, rows.box.hi[i] = top;
  Affine samples[8], rowCoeffs[8];
  for (int i = 0; i < 8; ++i) samples[i] = Input(i);
  rows.Forward(samples, rowCoeffs);
  EXPECT_TRUE(rows.exact);
  largestRowCoefficient = rows.largest;

  // Column u holds frequency u of 8 row segments, each anywhere in that
  // frequency's range.
  Fixed largest = rows.largest;
  for (int u = 0; u < 8; ++u) {
    Tracker columns;
    for (int r = 0; r < 8; ++r) columns.box.lo[r] = Floor(rows.Low(rowCoeffs[u])), columns.box.hi[r] = Floor(rows.High(rowCoeffs[u]));
    Affine column[8], C[8];
    for (int r = 0; r < 8; ++r) column[r] = Input(r);
    columns.Forward(column, C);
    for (int kept = 0; kept < 256; ++kept) {
      Affine shrunk[8], B[8];
      for (int v = 0; v < 8; ++v) shrunk[v] = (kept >> v & 1) ? C[v] : Affine{};
      columns.Inverse(shrunk, B);
    }
    EXPECT_TRUE(columns.exact) << "u=" << u;
    largest = std::max(largest, columns.largest);
  }
  return largest;
}

TEST(LaneBounds, BlockStageFits16BitLanes) {
  Fixed largestRowCoefficient;
  const Fixed largest = LargestBlockStageValue(255, largestRowCoefficient);
  EXPECT_EQ(largestRowCoefficient, 2040 * kOne);
  // 16320 = 8 * 2040, the DC sum of a column: nothing exceeds it, so no lane
  // reaches -32768 either (abs stays exact) and twice the product of a weight
  // (at most 16385) and a value stays below 2^31 for pmaddwd.
  EXPECT_EQ(largest, 16320 * kOne);
}

// The wide pass's block stage in 32-bit lanes, for every 16-bit word: the
// box is 0..65535 whatever the depth, so words above 2^bits - 1 are covered,
// and the weights (any profile) never enter a 32-bit lane. Every lifting
// product k * x (k <= 15) must fit, so every value must stay below 2^31 / 16.
TEST(LaneBounds, WideBlockStageFits32BitLanes) {
  Fixed largestRowCoefficient;
  const Fixed largest = LargestBlockStageValue(65535, largestRowCoefficient);
  EXPECT_EQ(largestRowCoefficient, 8 * 65535 * kOne);
  EXPECT_EQ(largest, 64 * 65535 * kOne);  // the DC sum of a block of 65535s
  EXPECT_EQ(largest, velmoraine::kWideBlockStageBound * kOne);
  EXPECT_LT(largest * 16, Fixed(INT32_MAX) * kOne);
  // The light sums of the kernels that have them: weights summing to at most
  // the limit over a band's block rows keep the weighted sum of blocks inside
  // 32 bits, and one more would not.
  EXPECT_LE(velmoraine::kLightWeightsLimit * largest, Fixed(INT32_MAX) * kOne);
  EXPECT_GT((velmoraine::kLightWeightsLimit + 1) * largest, Fixed(INT32_MAX) * kOne);
}

// floor(k * x / 2^s) == floor(x * (k << (16 - s)) / 2^16) for every 16-bit x.
TEST(LaneBounds, HighHalfProductsAreExactShifts) {
  const struct {
    int k, s, factor, offset;  // result = offset * x + high half of x * factor
  } steps[] = {{13, 5, 13 << 11, 0}, {11, 5, 11 << 11, 0}, {15, 5, 15 << 11, 0}, {3, 4, 3 << 12, 0}, {11, 4, -5 << 12, 1}};
  for (const auto& step : steps) {
    ASSERT_LE(step.factor, 32767);
    ASSERT_GE(step.factor, -32768);
    for (int32_t x = -32768; x <= 32767; ++x) {
      const int32_t high = (x * step.factor) >> 16;  // what a high-half multiply gives
      ASSERT_EQ(step.offset * x + high, (step.k * x) >> step.s) << "k=" << step.k << " x=" << x;
    }
  }
}

// The double quotient of 16 * A by D truncates to the integer quotient for
// every 32-bit A and 1 <= D <= 64 * 16385: checked at every divisor, with
// sums at and one unit either side of exact multiples and at the extremes.
TEST(LaneBounds, DoubleDivisionTruncatesExactly) {
  std::mt19937 random(15);
  auto check = [](int64_t A, int64_t D) {
    const int64_t exact = 16 * A / D;
    const double quotient = (static_cast<double>(A) * 16.0) / static_cast<double>(D);
    return static_cast<int64_t>(quotient) == exact;
  };
  for (int64_t D = 1; D <= 64 * 16385; ++D) {
    const int64_t q = int64_t(random() % (uint32_t(INT32_MAX) / uint32_t(D) * 16 + 1)) / 16;
    const int64_t near = (q * D) / 16;
    for (int64_t A : {int64_t(INT32_MIN), int64_t(INT32_MAX), near - 1, near, near + 1, -near - 1, -near, -near + 1}) {
      if (A < INT32_MIN || A > INT32_MAX) continue;
      ASSERT_TRUE(check(A, D)) << "A=" << A << " D=" << D;
    }
  }
}

}  // namespace
