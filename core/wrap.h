// Two's-complement 32-bit arithmetic that wraps on purpose.
//
// The accumulated sums of the plane pass may leave the signed 32-bit range and
// are defined to wrap modulo 2^32. Signed overflow is undefined in C++, so the
// additions and products are done in unsigned arithmetic and converted back
// (well defined since C++20). Right shifts of negative values are arithmetic.
#pragma once

#include <stdint.h>

namespace velmoraine {

inline int32_t WrapAdd(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b)); }
inline int32_t WrapSub(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b)); }
inline int32_t WrapMul(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b)); }
// (k * a) >> s with the product taken modulo 2^32 and the shift rounding
// toward minus infinity.
inline int32_t MulShift(int32_t k, int32_t a, int s) { return WrapMul(k, a) >> s; }

}  // namespace velmoraine
