// The table of kernels: the plain versions, then every faster version that
// both the mask and the running processor allow; and the layout of the rings.
#include "core/cpu.h"
#include "core/stream_dsp.h"

// core/CMakeLists.txt builds one family's kernels and says which.
#if defined(VELMORAINE_KERNELS_X86)
#include "core/x86/stream_dsp_x86.h"
#elif defined(VELMORAINE_KERNELS_ARM)
#include "core/arm/stream_dsp_arm.h"
#endif

namespace velmoraine {

int64_t StreamStride(int32_t W) {
  int64_t lines = (static_cast<int64_t>(W) + 31) / 32;
  if (lines % 2 == 0) ++lines;
  return 32 * lines;
}

void InitStreamDspPlain(StreamDsp& dsp) {
  dsp.analyseRow = AnalyseRowPlain;
  dsp.accumulateBlockRows = AccumulateBlockRowsPlain;
  dsp.synthesizeRow = SynthesizeRowPlain;
  dsp.normalizeRow = NormalizeRowPlain;
  dsp.requantizeRow = RequantizeRowPlain;
  dsp.analyseRowWide = AnalyseRowWidePlain;
  dsp.accumulateBlockRowsWide = AccumulateBlockRowsWidePlain;
  dsp.synthesizeRowWide = SynthesizeRowWidePlain;
  dsp.normalizeRowWide = NormalizeRowWidePlain;
  dsp.requantizeRowWide = RequantizeRowWidePlain;
}

void InitStreamDsp(StreamDsp& dsp, uint32_t cpuMask) {
  InitStreamDspPlain(dsp);
  const uint32_t flags = DetectCpuFlags() & cpuMask;
#if defined(VELMORAINE_KERNELS_X86)
  InitStreamDspX86(dsp, flags);
#elif defined(VELMORAINE_KERNELS_ARM)
  InitStreamDspArm(dsp, flags);
#else
  (void)flags;  // a processor without fast kernels: the plain ones stay
#endif
}

}  // namespace velmoraine
