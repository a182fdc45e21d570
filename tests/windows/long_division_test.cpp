// The 64-bit division helpers of the Windows runtime (plugin/windows/
// long_division.h) against the compiler's own 64-bit division: both the
// short path (divisor within 32 bits) and the estimate-and-correct path.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "plugin/windows/long_division.h"

namespace {

using velmoraine_runtime::DivideSigned64;
using velmoraine_runtime::DivideUnsigned64;
using velmoraine_runtime::RemainderSigned64;

std::vector<uint64_t> EdgeValues() {
  std::vector<uint64_t> values = {0, 1, 2, 3, 7, 10, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
  for (int shift = 32; shift < 64; ++shift) {
    const uint64_t power = uint64_t{1} << shift;
    values.insert(values.end(), {power - 1, power, power + 1, power | 0xFFFFFFFFu});
  }
  values.insert(values.end(), {0x7FFFFFFFFFFFFFFFu, 0x8000000000000000u, 0xFFFFFFFFFFFFFFFFu,
                               0x123456789ABCDEF0u, 0xFEDCBA9876543210u});
  return values;
}

void ExpectUnsigned(uint64_t dividend, uint64_t divisor) {
  uint64_t rest = 0;
  const uint64_t quotient = DivideUnsigned64(dividend, divisor, &rest);
  ASSERT_EQ(quotient, dividend / divisor) << dividend << " / " << divisor;
  ASSERT_EQ(rest, dividend % divisor) << dividend << " % " << divisor;
}

void ExpectSigned(int64_t dividend, int64_t divisor) {
  // The one quotient that does not fit is undefined in C++ as well.
  if (dividend == std::numeric_limits<int64_t>::min() && divisor == -1) return;
  ASSERT_EQ(DivideSigned64(dividend, divisor), dividend / divisor) << dividend << " / " << divisor;
  ASSERT_EQ(RemainderSigned64(dividend, divisor), dividend % divisor) << dividend << " % " << divisor;
}

TEST(WindowsLongDivision, UnsignedEdgeValues) {
  const std::vector<uint64_t> values = EdgeValues();
  for (uint64_t dividend : values)
    for (uint64_t divisor : values)
      if (divisor != 0) ExpectUnsigned(dividend, divisor);
}

TEST(WindowsLongDivision, SignedEdgeValuesTruncateTowardZero) {
  for (uint64_t a : EdgeValues()) {
    for (uint64_t b : EdgeValues()) {
      if (b == 0) continue;
      const int64_t dividend = static_cast<int64_t>(a);
      const int64_t divisor = static_cast<int64_t>(b);
      ExpectSigned(dividend, divisor);
      ExpectSigned(static_cast<int64_t>(0 - a), divisor);
      ExpectSigned(dividend, static_cast<int64_t>(0 - b));
    }
  }
}

// Random operands of every bit length, so the estimate of the long path is
// exercised with every normalisation shift.
TEST(WindowsLongDivision, RandomOperandsOfEveryLength) {
  std::mt19937_64 random(20261207);
  for (int i = 0; i < 200000; ++i) {
    const uint64_t dividend = random() >> (random() % 64);
    const uint64_t divisor = random() >> (random() % 64);
    if (divisor == 0) continue;
    ExpectUnsigned(dividend, divisor);
    ExpectSigned(static_cast<int64_t>(dividend), static_cast<int64_t>(divisor));
    ExpectSigned(static_cast<int64_t>(0 - dividend), static_cast<int64_t>(divisor));
  }
}

}  // namespace
