// The plane filter: the only names the frame-server binding uses.
//
// FilterPlane denoises one 8-bit plane in place. Every overlapping 8x8 block
// goes through the integer lifting DCT, small in-band coefficients are zeroed,
// the block is weighted by its count of zeros, transformed back and
// accumulated; the sums are normalised by the summed weights and requantised
// to 8 bits with error diffusion. Every step is integer and exact to the bit.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace velmoraine {

// One plane of a writable frame. Only the first `width` bytes of each of the
// `height` rows belong to the plane; rows lie `pitch` bytes apart.
struct PlaneView {
  uint8_t* data;
  ptrdiff_t pitch;
  int32_t width;
  int32_t height;
};

// Filters the plane in place with threshold T, weighting profile P (>= 0) and
// the band lp..hp (compared with u*u + v*v).
//
// Returns true when the plane was filtered, or left unchanged on purpose
// because it is narrower or lower than one 8x8 block. Returns false, with the
// plane untouched and nothing leaked, when the plane cannot be filtered: its
// view is malformed (negative size, pitch below the width, null data) or its
// work buffers cannot be sized or allocated. The function never throws.
bool FilterPlane(const PlaneView& plane, int32_t T, int32_t P, int32_t lp, int32_t hp);

}  // namespace velmoraine
