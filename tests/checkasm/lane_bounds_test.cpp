// The facts the fast kernels rest on, checked rather than assumed:
// - every step of the forward row and column transforms of 8-bit samples fits
//   a signed 16-bit lane (interval arithmetic over every step);
// - (k * x) >> s equals the high half of x * (k << (16 - s)) for every 16-bit
//   x and every multiplier the transform uses;
// - a double division of 16 * A by a divisor up to 64 * 16385 truncates to the
//   integer quotient.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <random>

namespace {

struct Interval {
  int64_t lo, hi;
};

// Interval arithmetic that records the largest magnitude any step reaches.
struct Tracker {
  int64_t largest = 0;
  Interval Note(Interval v) {
    largest = std::max({largest, v.lo < 0 ? -v.lo : v.lo, v.hi < 0 ? -v.hi : v.hi});
    return v;
  }
  Interval Add(Interval a, Interval b) { return Note({a.lo + b.lo, a.hi + b.hi}); }
  Interval Sub(Interval a, Interval b) { return Note({a.lo - b.hi, a.hi - b.lo}); }
  // (k * a) >> s for k > 0 is monotone in a; the product itself is never kept
  // in a lane, so only the shifted value is noted.
  Interval MulShift(int64_t k, Interval a, int s) { return Note({(k * a.lo) >> s, (k * a.hi) >> s}); }
  Interval Shr1(Interval a) { return Note({a.lo >> 1, a.hi >> 1}); }

  // The steps of ForwardDct8, in its order.
  void Forward(const Interval x[8], Interval X[8]) {
    for (int i = 0; i < 8; ++i) Note(x[i]);
    const Interval s07 = Add(x[0], x[7]), d07 = Sub(x[0], x[7]), s16 = Add(x[1], x[6]), s25 = Add(x[2], x[5]);
    const Interval s34 = Add(x[3], x[4]), d34 = Sub(x[3], x[4]);
    Interval d16 = Sub(x[1], x[6]), d25 = Sub(x[2], x[5]);
    d25 = Sub(d25, MulShift(13, d16, 5));
    // (11 * d25) >> 4 runs as d25 + ((-5 * d25) >> 4): note the partial term.
    Note({(-5 * d25.hi) >> 4, (-5 * d25.lo) >> 4});
    d16 = Add(d16, MulShift(11, d25, 4));
    d25 = Sub(MulShift(13, d16, 5), d25);
    const Interval e0 = Add(s07, s34), e3 = Sub(s07, s34), e1 = Add(s16, s25), e2 = Sub(s16, s25);
    const Interval o4 = Add(d34, d25), o5 = Sub(d34, d25), o6 = Sub(d07, d16), o7 = Add(d07, d16);
    X[0] = Add(e0, e1);
    X[4] = Sub(Shr1(X[0]), e1);
    X[6] = Sub(MulShift(13, e3, 5), e2);
    X[2] = Sub(e3, MulShift(11, X[6], 5));
    X[7] = Sub(MulShift(3, o7, 4), o4);
    X[1] = Sub(o7, MulShift(3, X[7], 4));
    Note({(-5 * o6.hi) >> 4, (-5 * o6.lo) >> 4});
    X[5] = Add(o5, MulShift(11, o6, 4));
    X[3] = Sub(o6, MulShift(15, X[5], 5));
  }
};

TEST(LaneBounds, ForwardTransformsOf8BitSamplesFit16Bits) {
  Tracker rows;
  Interval samples[8], rowCoeffs[8];
  for (auto& s : samples) s = {0, 255};
  rows.Forward(samples, rowCoeffs);
  EXPECT_EQ(rows.largest, 2040);

  // Each column holds one frequency u of 8 row segments, each anywhere in
  // that frequency's interval.
  Tracker columns;
  for (int u = 0; u < 8; ++u) {
    Interval column[8], out[8];
    for (auto& c : column) c = rowCoeffs[u];
    columns.Forward(column, out);
  }
  EXPECT_LE(columns.largest, 16320);  // so |C| never reaches -32768 either
  EXPECT_LT(columns.largest, 32767);
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
