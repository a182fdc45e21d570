// A prepared filter for the host entries: the kernel table chosen once per
// filter instance, so concurrent frame requests only read it. Bridges to the
// streaming pass until the plane filter offers the prepared form itself; the
// names and signatures are those it will have.
#pragma once

#include <stdint.h>

#include "core/cpu.h"
#include "core/plane_filter.h"
#include "core/stream_dsp.h"

namespace velmoraine {

struct PreparedFilter {
  StreamDsp dsp;
  BlockStageTables tables;
  int32_t T, P, lp, hp;
};

inline void PrepareFilter(int32_t T, int32_t P, int32_t lp, int32_t hp, uint32_t cpuMask,
                          PreparedFilter& filter) {
  InitStreamDsp(filter.dsp, cpuMask);
  PrepareBlockStageTables(T, P, lp, hp, filter.tables);
  filter.T = T, filter.P = P, filter.lp = lp, filter.hp = hp;
}

inline bool FilterPlane(const PlaneView& plane, const PreparedFilter& filter) {
  return FilterPlaneStreaming(plane, filter.T, filter.P, filter.lp, filter.hp, filter.dsp);
}

}  // namespace velmoraine
