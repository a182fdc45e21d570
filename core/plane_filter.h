// The plane filter: the only names the frame-server binding uses.
//
// FilterPlane denoises one plane in place: of 8-bit samples (PlaneView), or
// of 9..16-bit samples in 16-bit words (PlaneView16, the wide pass). Every
// overlapping 8x8 block goes through the integer lifting DCT, small in-band
// coefficients are zeroed, the block is weighted by its count of zeros,
// transformed back and accumulated; the sums are normalised by the summed
// weights and requantised to the plane's depth with error diffusion. Every
// step is integer and exact to the bit.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/cpu.h"
#include "core/stream_dsp.h"

namespace velmoraine {

// One plane of a writable frame. Only the first `width` bytes of each of the
// `height` rows belong to the plane; rows lie `pitch` bytes apart.
struct PlaneView {
  uint8_t* data;
  ptrdiff_t pitch;
  int32_t width;
  int32_t height;
};

// One plane of B-bit samples, 9 <= bits <= 16: unsigned 16-bit words in the
// host's byte order, nominally 0 .. 2^bits - 1 (a word above that is
// filtered as the value it holds). Only the first `width` words of each of
// the `height` rows belong to the plane; rows lie `pitch` bytes apart (an
// even count).
struct PlaneView16 {
  uint16_t* data;
  ptrdiff_t pitch;
  int32_t width;
  int32_t height;
  int32_t bits;
};

// Everything the pass needs that does not depend on the plane: the kernel table for this
// processor and the block-stage tables, filled once per filter instance and read-only
// afterwards; and a few spare blocks of work buffers. A pass takes a spare block when one is
// large enough and leaves its own as a spare, so a filter that goes from frame to frame
// allocates its work buffers once per thread that runs it, not once per plane: an allocation
// of megabytes is mapped afresh by the system on every call in 32-bit processes and on
// Windows, and its page faults cost 5 % of a 1080p frame in the 32-bit build on Linux.
// Blocks are handed over by atomic exchanges, so concurrent passes with one PreparedFilter
// stay safe; a pass that finds no spare allocates its own, and a block that finds no free
// place is freed. Not copyable: the spares have one owner, which frees them.
struct PreparedFilter {
  static constexpr int kSpareWorkBlocks = 8;

  StreamDsp dsp;
  BlockStageTables tables;
  // The sample depth the filter was prepared for (8, or 9..16 for the wide
  // pass) and the wide pass's block-stage tables for it. The 8-bit tables
  // are prepared at every depth.
  int32_t bits = 8;
  WideBlockStageTables wideTables;
  mutable void* spareWork[kSpareWorkBlocks] = {};

  PreparedFilter() = default;
  ~PreparedFilter();
  PreparedFilter(const PreparedFilter&) = delete;
  PreparedFilter& operator=(const PreparedFilter&) = delete;
};

// Prepares the pass for threshold T, weighting profile P (>= 0) and the band
// lp..hp (compared with u*u + v*v), with the fastest kernels that both
// cpuMask and the running processor allow (kCpuAllFlags: the best; 0: the
// plain versions). Detects the processor: call it once, not per plane.
void PrepareFilter(int32_t T, int32_t P, int32_t lp, int32_t hp, uint32_t cpuMask, PreparedFilter& filter);

// The same for planes of `bits`-bit samples (8: the form above; 9..16: the
// wide pass, for PlaneView16 planes of that depth). T keeps its meaning in
// 8-bit levels at every depth.
void PrepareFilter(int32_t T, int32_t P, int32_t lp, int32_t hp, int32_t bits, uint32_t cpuMask,
                   PreparedFilter& filter);

// Filters the plane in place as prepared. Concurrent calls with the same
// PreparedFilter are safe: they only read it, apart from the spare work
// blocks, which pass between them atomically.
//
// Returns true when the plane was filtered, or left unchanged on purpose
// because it is narrower or lower than one 8x8 block. Returns false, with the
// plane untouched and nothing leaked, when the plane cannot be filtered: its
// view is malformed (negative size, pitch below the width, null data) or its
// work buffers cannot be sized or allocated. The function never throws.
bool FilterPlane(const PlaneView& plane, const PreparedFilter& filter);

// The same in one call, preparing with the best kernels each time.
bool FilterPlane(const PlaneView& plane, int32_t T, int32_t P, int32_t lp, int32_t hp);

// The wide pass over a plane of 9..16-bit samples, with a filter prepared for
// plane.bits; the same contract as the 8-bit form. Returns false as well when
// plane.bits is not the depth the filter was prepared for, or the pitch is
// odd.
bool FilterPlane(const PlaneView16& plane, const PreparedFilter& filter);
bool FilterPlane(const PlaneView16& plane, int32_t T, int32_t P, int32_t lp, int32_t hp);

// True when the view is one the filter may touch: non-negative sizes, a pitch
// of at least the width when there is more than one row, and data unless the
// plane is empty.
bool IsValidPlaneView(const PlaneView& plane);

}  // namespace velmoraine
