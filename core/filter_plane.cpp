#include "core/plane_filter.h"

namespace velmoraine {

// Placeholder until the reference pass lands: leaves every plane unchanged.
bool FilterPlane(const PlaneView&, int32_t, int32_t, int32_t, int32_t) { return true; }

}  // namespace velmoraine
