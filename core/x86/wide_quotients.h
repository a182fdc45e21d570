// The rare quotients of the vector normalisations that a double division
// cannot give: the conversion of a truncated quotient outside 32 bits yields
// INT32_MIN, and those lanes are redone here in 64-bit integers. No sum the
// pass produces gets here; sums from elsewhere may.
#pragma once

#include <stdint.h>

namespace velmoraine {

// pixel[i] = (16 * sums[i]) / weights[i] for the lanes i < count set in `lanes`.
inline void RedoWideQuotients(int32_t* pixel, const int32_t* sums, const int32_t* weights, int lanes,
                              int32_t count) {
  for (int32_t i = 0; i < count; ++i)
    if (lanes >> i & 1) pixel[i] = static_cast<int32_t>(16 * static_cast<int64_t>(sums[i]) / weights[i]);
}

}  // namespace velmoraine
