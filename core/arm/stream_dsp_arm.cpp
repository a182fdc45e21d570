// The 64-bit ARM part of the kernel table.
#include "core/arm/stream_dsp_arm.h"
#include "core/cpu.h"

namespace velmoraine {

void InitStreamDspArm(StreamDsp& dsp, uint32_t flags) {
  if (flags & kCpuNeon) {
    InitStreamDspNeon(dsp);
    InitWideStreamDspNeon(dsp);
  }
}

}  // namespace velmoraine
