#include "core/cpu.h"
#include "core/plane_filter.h"
#include "core/stream_dsp.h"

namespace velmoraine {

// The streaming pass with the fastest kernels this processor runs. The table
// is filled per call: it costs a cpuid or two, and nothing is shared between
// concurrent calls.
bool FilterPlane(const PlaneView& plane, int32_t T, int32_t P, int32_t lp, int32_t hp) {
  StreamDsp dsp;
  InitStreamDsp(dsp, kCpuAllFlags);
  return FilterPlaneStreaming(plane, T, P, lp, hp, dsp);
}

}  // namespace velmoraine
