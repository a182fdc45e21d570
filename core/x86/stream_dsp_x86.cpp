// The x86 part of the kernel table, level by level: SSE2, then AVX2, then
// AVX-512, each overriding what the level below filled in.
#include "core/cpu.h"
#include "core/x86/stream_dsp_x86.h"

namespace velmoraine {

void InitStreamDspX86(StreamDsp& dsp, uint32_t flags) {
  if (flags & kCpuSse2) {
    InitStreamDspSse2(dsp);
    InitWideStreamDspSse2(dsp);
  }
  if (flags & kCpuAvx2) InitStreamDspAvx2(dsp);
  if (flags & kCpuAvx512) InitStreamDspAvx512(dsp);
  // AVX-512 implies AVX2; that level has no wide kernels of its own.
  if (flags & (kCpuAvx2 | kCpuAvx512)) InitWideStreamDspAvx2(dsp);
}

}  // namespace velmoraine
