// The magnitudes the wide pass's block stage can meet, for the kernels that
// choose their lane widths by them. tests/checkasm/lane_bounds_test.cpp
// finds the largest magnitude by exact arithmetic and checks it against
// these; each kernel with sums in 32-bit lanes checks its limit here when
// compiled.
#pragma once

#include <stdint.h>

namespace velmoraine {

// For any 16-bit words (whatever the depth), every step of the forward row
// transform, the forward column transform of its coefficients and the
// inverse column transform of any subset of those column coefficients stays
// within this magnitude: the DC sum of a block of 65535s.
inline constexpr int64_t kWideBlockStageBound = 64 * 65535;

// The largest sum of block weights whose weighted blocks may be added in
// 32-bit lanes: the sum of the products then stays within INT32_MAX (512).
inline constexpr int32_t kLightWeightsLimit = static_cast<int32_t>(INT32_MAX / kWideBlockStageBound);

}  // namespace velmoraine
