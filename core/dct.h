// The integer lifting DCT of eight values.
#pragma once

#include <stdint.h>

namespace velmoraine {

// Eight-point forward transform; out[0] is the plain sum of the inputs.
void ForwardDct8(const int32_t in[8], int32_t out[8]);
// Its companion; returns about 4 times the original samples.
void InverseDct8(const int32_t in[8], int32_t out[8]);

}  // namespace velmoraine
