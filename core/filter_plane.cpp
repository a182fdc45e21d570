#include "core/plane_filter.h"

namespace velmoraine {

// The one-off form: the kernel table and the block-stage tables are prepared
// per call (a cpuid or two), and nothing is shared between concurrent calls.
bool FilterPlane(const PlaneView& plane, int32_t T, int32_t P, int32_t lp, int32_t hp) {
  PreparedFilter filter;
  PrepareFilter(T, P, lp, hp, kCpuAllFlags, filter);
  return FilterPlane(plane, filter);
}

}  // namespace velmoraine
