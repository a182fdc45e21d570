// Estimating the strength of white noise in pictures from the pictures
// themselves, and the threshold that removes it.
//
// The estimator looks at every 16x16 block of the luma through the second
// difference across rows times the second difference across columns (the
// 3x3 mask 1 -2 1 / -2 4 -2 / 1 -2 1). The mask gives zero for anything
// that varies along one direction only or linearly (gradients, stripes,
// straight edges along a row or column), while white noise of standard
// deviation s gives outputs of standard deviation 6s. Edges in other
// directions, corners and fine two-dimensional texture still respond, but
// only in some blocks: the estimate comes from the quietest blocks (the 2nd
// percentile of the blocks' mean square output), scaled by what that
// percentile is for pure noise. Blocks where the noise was cut off at 0 or
// 255 (a sample at either end, or a mean within 3 estimated sigma of one)
// are left out, since clipping hides noise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmoraine::tools {

class NoiseEstimator {
 public:
  // Adds the blocks of one plane (`height` rows of `width` samples, `pitch`
  // bytes apart).
  void AddPlane(const uint8_t* data, ptrdiff_t pitch, int width, int height);
  // The same for `bits`-bit samples (9..16) in 16-bit words: measured in
  // 8-bit levels (a native level is 2^(8 - bits) of one), so that Sigma
  // keeps the units of T at every depth.
  void AddPlane16(const uint16_t* data, ptrdiff_t pitch, int width, int height, int bits);

  // The estimated standard deviation of the noise, in levels; 0 when there
  // is no estimate (see NoEstimate).
  double Sigma() const;

  // Why there is no estimate, or null when there is one: no block (planes
  // smaller than 16x16), or fewer than 8 blocks without a sample at 0 or 255
  // (a black-and-white graphic, say, whose pixel patterns would pass for
  // strong noise).
  const char* NoEstimate() const;

  // Blocks seen so far.
  size_t Blocks() const { return blocks_.size(); }

 private:
  template <typename Sample>
  void AddBlocks(const Sample* data, ptrdiff_t pitch, int width, int height, int bits);
  struct Block {
    float meanSquare;  // of the mask's output, divided by 36
    float mean;        // of the samples
    bool clipped;      // a sample at either end of the range
  };
  std::vector<Block> blocks_;
};

// The threshold T (in the filter's orthonormal DCT units) that suits white
// noise of standard deviation `sigma` levels, as measured with the table
// program tools/noise_table.
int ThresholdForSigma(double sigma);

}  // namespace velmoraine::tools
