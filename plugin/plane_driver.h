// The plane driver every host entry shares: it filters the planes of one
// frame, in order, with a prepared filter, and says which plane failed.
// Entries only lay out the planes their host hands them and turn a failure
// into their host's kind of error.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/plane_filter.h"

namespace velmoraine {

// One plane of a writable frame, with its letter for messages ('Y', 'U',
// 'V', 'R', 'G', 'B'). The view's width counts samples: bytes at 8 bits, and
// 16-bit words (two bytes each) at 9 to 16 bits, where data must be 2-byte
// aligned. The pitch is in bytes at every depth.
struct FramePlane {
  PlaneView view;
  char name;
  int32_t bits = 8;  // 8, or 9..16 for the wide pass
};

// How one plane is filtered: FilterPlane in the libraries, a recording
// stand-in in tests.
typedef bool (*PreparedPlaneFunc)(const PlaneView& plane, const PreparedFilter& filter);
typedef bool (*PreparedWidePlaneFunc)(const PlaneView16& plane, const PreparedFilter& filter);

// What went wrong with the plane that FilterFramePlanes stopped at.
enum PlaneFailure {
  kPlaneNotWritable,  // the host gave no data pointer for it
  kPlaneNotFiltered,  // the plane filter refused it (allocation, layout)
};

struct PlaneDriverResult {
  int failedPlane;  // index into the list, or -1 when every plane was done
  PlaneFailure failure;
};

// Filters planes[0..count-1] in order, 8-bit planes with filterPlane and
// deeper ones with filterWidePlane; the filter must be prepared for the
// planes' depth. A plane of zero width or height is absent and skipped.
// Stops at the first plane that has no data or that the filter refuses (a
// deeper plane whose data is not 2-byte aligned included); that plane and the
// ones after it are left untouched, the ones before it are filtered. Never
// throws.
PlaneDriverResult FilterFramePlanes(const FramePlane* planes, int count, const PreparedFilter& filter,
                                    PreparedPlaneFunc filterPlane,
                                    PreparedWidePlaneFunc filterWidePlane = &FilterPlane);
inline PlaneDriverResult FilterFramePlanes(const FramePlane* planes, int count,
                                           const PreparedFilter& filter) {
  return FilterFramePlanes(planes, count, filter, &FilterPlane, &FilterPlane);
}

// The message for a failed plane of frame `frame`, as text of at most
// size - 1 characters plus a terminating zero (cut short if it must be), e.g.
// "velmoraine: frame 12: the U plane (360x288, pitch 384) could not be
// filtered: its work buffers could not be allocated or its layout is invalid".
void DescribePlaneFailure(const FramePlane& plane, PlaneFailure failure, int64_t frame, char* text,
                          size_t size);

}  // namespace velmoraine
