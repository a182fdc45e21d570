// 64-bit integer division built from the processor's 64-by-32-bit divide.
//
// 32-bit code has no 64-bit divide instruction, so the compiler calls helper
// functions for it (_alldiv, _aulldiv, _allrem, _aullrem). msvcrt.dll lists
// them but wine's does not implement them, and importing them from ntdll.dll
// would add a third library to the plug-in's imports; runtime.cpp defines
// them on top of these functions instead. Plain x86 (the divide is inline
// assembly on 32-bit registers), so the Linux tests exercise the same code.
#pragma once

#include <stdint.h>

namespace velmoraine_runtime {

// dividend / divisor when the quotient fits in 32 bits, i.e. when the high
// half of the dividend is below the divisor.
inline uint32_t DivideNarrow(uint64_t dividend, uint32_t divisor, uint32_t* remainder) {
  uint32_t quotient;
  uint32_t rest;
  __asm__("divl %4"
          : "=a"(quotient), "=d"(rest)
          : "a"(static_cast<uint32_t>(dividend)), "d"(static_cast<uint32_t>(dividend >> 32)),
            "rm"(divisor));
  *remainder = rest;
  return quotient;
}

// Unsigned 64-bit quotient and remainder; divisor must not be zero.
inline uint64_t DivideUnsigned64(uint64_t dividend, uint64_t divisor, uint64_t* remainder) {
  if ((divisor >> 32) == 0) {
    // Long division in two 32-bit digits.
    const uint32_t d = static_cast<uint32_t>(divisor);
    uint32_t high = static_cast<uint32_t>(dividend >> 32);
    const uint32_t quotientHigh = high / d;
    high %= d;
    uint32_t rest;
    const uint32_t quotientLow =
        DivideNarrow((static_cast<uint64_t>(high) << 32) | static_cast<uint32_t>(dividend), d, &rest);
    *remainder = rest;
    return (static_cast<uint64_t>(quotientHigh) << 32) | quotientLow;
  }
  // The divisor has more than 32 bits, so the quotient has at most 32.
  // Estimate it from the divisor's top 32 bits (normalised) and half the
  // dividend; the estimate is the quotient or one above it, so step down and
  // correct at most once.
  const int shift = __builtin_clz(static_cast<uint32_t>(divisor >> 32));
  const uint32_t divisorTop = static_cast<uint32_t>((divisor << shift) >> 32);
  uint32_t unused;
  const uint32_t estimate = DivideNarrow(dividend >> 1, divisorTop, &unused);
  uint64_t quotient = (static_cast<uint64_t>(estimate) << shift) >> 31;
  if (quotient != 0) --quotient;
  uint64_t rest = dividend - quotient * divisor;
  if (rest >= divisor) {
    ++quotient;
    rest -= divisor;
  }
  *remainder = rest;
  return quotient;
}

inline uint64_t Magnitude(int64_t value) {
  return value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

// Signed quotient, truncated toward zero.
inline int64_t DivideSigned64(int64_t dividend, int64_t divisor) {
  uint64_t rest;
  const uint64_t quotient = DivideUnsigned64(Magnitude(dividend), Magnitude(divisor), &rest);
  return static_cast<int64_t>((dividend < 0) != (divisor < 0) ? 0 - quotient : quotient);
}

// Signed remainder, with the sign of the dividend.
inline int64_t RemainderSigned64(int64_t dividend, int64_t divisor) {
  uint64_t rest;
  DivideUnsigned64(Magnitude(dividend), Magnitude(divisor), &rest);
  return static_cast<int64_t>(dividend < 0 ? 0 - rest : rest);
}

}  // namespace velmoraine_runtime
