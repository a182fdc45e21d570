// The integer lifting DCT of eight values.
#pragma once

#include <stdint.h>

#include "core/wrap.h"

namespace velmoraine {

// Eight-point forward transform; out[0] is the plain sum of the inputs.
void ForwardDct8(const int32_t in[8], int32_t out[8]);
// Its companion; returns about 4 times the original samples.
void InverseDct8(const int32_t in[8], int32_t out[8]);

// The same transforms on 64-bit values, for the wide pass, whose sums of
// weighted blocks reach about 2^41 and whose transform steps grow them by at
// most 94 times: every step is exact, nothing wraps.
void ForwardDct8(const int64_t in[8], int64_t out[8]);
void InverseDct8(const int64_t in[8], int64_t out[8]);

// The steps of both transforms for either width: 32-bit steps wrap like two's
// complement, 64-bit steps are exact.
namespace lifting {
inline int32_t Add(int32_t a, int32_t b) { return WrapAdd(a, b); }
inline int32_t Sub(int32_t a, int32_t b) { return WrapSub(a, b); }
inline int32_t MulShift(int32_t k, int32_t a, int s) { return velmoraine::MulShift(k, a, s); }
inline int64_t Add(int64_t a, int64_t b) { return a + b; }
inline int64_t Sub(int64_t a, int64_t b) { return a - b; }
inline int64_t MulShift(int32_t k, int64_t a, int s) { return (k * a) >> s; }
}  // namespace lifting

}  // namespace velmoraine
