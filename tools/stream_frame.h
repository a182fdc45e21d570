// One frame of a Y4M stream in memory, and the filter applied to it.
//
// The samples lie as the file holds them, plane after plane with no padding
// (16-bit words in the host's byte order above 8 bits), so a frame moves in
// and out with one read and one write. Every plane is filtered at its
// stored size, odd chroma columns and rows included; an alpha plane passes
// through untouched. Interlaced frames may go by field instead: the rows of
// one parity of each plane (top: rows 0, 2, 4, ...) are filtered as a plane
// of their own, then the other's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/plane_filter.h"
#include "y4m/y4m.h"

namespace velmoraine::tools {

struct StreamFrame {
  int64_t number = 0;          // in the stream, from 0
  std::string parameters;      // what followed "FRAME" on its line
  std::vector<uint16_t> words;  // the samples' storage (bytes below 9 bits)

  uint8_t* Bytes() { return reinterpret_cast<uint8_t*>(words.data()); }
};

// The planes of `frame` (header.PlaneCount() of them) as the reader and
// writer see them.
void FrameRegions(const y4m::StreamHeader& header, StreamFrame& frame, y4m::PlaneRegion regions[y4m::kMaxPlanes]);

// Reads the next frame of `reader` (its header read). Returns nothing at the
// clean end of the stream; throws y4m::Error for a damaged one, and
// std::bad_alloc when its memory cannot be had.
std::unique_ptr<StreamFrame> ReadStreamFrame(y4m::Reader& reader);

// Writes `frame` as the next frame of `writer`.
void WriteStreamFrame(y4m::Writer& writer, const y4m::StreamHeader& header, StreamFrame& frame);

// Prepares `filter` for streams of `header`'s depth.
void PrepareStreamFilter(const y4m::StreamHeader& header, int32_t T, int32_t P, int32_t lp, int32_t hp,
                         PreparedFilter& filter);

// The stream's interlacing by its header's I tag: 't' top field first, 'b'
// bottom field first, 'm' mixed (told frame by frame), else 'p' progressive
// (also when the tag is missing or unknown).
char Interlacing(const y4m::StreamHeader& header);

// Filters the colour planes of `frame` in place, each field on its own when
// `byField`. Returns "" when done, else
// the message naming the frame and the plane that could not be filtered
// (the planes after it are left as they were).
std::string FilterStreamFrame(const y4m::StreamHeader& header, const PreparedFilter& filter, StreamFrame& frame,
                              bool byField = false);

// Adds the luma of `frame` to `estimator` (declared in noise_estimate.h),
// each field as a plane of its own when `byField`.
class NoiseEstimator;
void AddLuma(NoiseEstimator& estimator, const y4m::StreamHeader& header, StreamFrame& frame, bool byField = false);

}  // namespace velmoraine::tools
