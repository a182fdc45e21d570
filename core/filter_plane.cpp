#include "core/plane_filter.h"
#include "core/reference.h"

namespace velmoraine {

bool FilterPlane(const PlaneView& plane, int32_t T, int32_t P, int32_t lp, int32_t hp) {
  return FilterPlaneReference(plane, T, P, lp, hp);
}

}  // namespace velmoraine
