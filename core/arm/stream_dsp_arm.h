// The 64-bit ARM kernels of the streaming pass (NEON, every ARMv8-A
// processor has it) and the selector that puts them in the table.
#pragma once

#include <stdint.h>

#include "core/stream_dsp.h"

namespace velmoraine {

// Overrides dsp's entries with the NEON kernels when `flags` (the running
// processor's levels, already masked) allow them.
void InitStreamDspArm(StreamDsp& dsp, uint32_t flags);

// The 8-bit kernels (stream_neon.cpp) and the wide ones (wide_neon.cpp).
void InitStreamDspNeon(StreamDsp& dsp);
void InitWideStreamDspNeon(StreamDsp& dsp);

}  // namespace velmoraine
