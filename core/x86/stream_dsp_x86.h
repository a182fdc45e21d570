// The x86 kernels of the streaming pass: one initialiser per instruction set,
// each in its own source and each overriding the table entries it has a
// kernel for, and the selector that chooses among them.
#pragma once

#include <stdint.h>

#include "core/stream_dsp.h"

namespace velmoraine {

// Overrides dsp's entries with the best x86 kernels that `flags` (the
// running processor's levels, already masked) allow.
void InitStreamDspX86(StreamDsp& dsp, uint32_t flags);

// 8-bit kernels (stream_*.cpp), wide kernels (wide_*.cpp; the AVX-512 level
// keeps the AVX2 ones), and the AVX2 requantisation of both depths
// (requantize_avx2.cpp), which the AVX2 initialisers put in the table.
void InitStreamDspSse2(StreamDsp& dsp);
void InitStreamDspAvx2(StreamDsp& dsp);
void InitStreamDspAvx512(StreamDsp& dsp);
void InitWideStreamDspSse2(StreamDsp& dsp);
void InitWideStreamDspAvx2(StreamDsp& dsp);
void RequantizeRowAvx2(int32_t* values, int32_t* errors, const int32_t* errorsAbove, const int32_t* errorsTwoAbove,
                       uint8_t* out, int32_t W, int32_t y, int32_t H);
void RequantizeRowWideAvx2(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                           const int32_t* errorsTwoAbove, uint16_t* out, int32_t W, int32_t y, int32_t H,
                           int32_t bits);

}  // namespace velmoraine
