// The built-in demo: a synthetic clip, known noise, the filter, and PSNR.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/pipeline.h"

namespace velmoraine::tools {

// One 4:2:0 picture in tight planes (chroma (W+1)/2 x (H+1)/2).
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> planes[3];
};

// Frame `index` of the demo clip: a drifting gradient, a disc moving across,
// fine stripes, a checkerboard and a sharp-edged box. The same for a given
// size and index on every machine.
Picture MakeDemoPicture(int width, int height, int index);

// Frame `index` of a textured clip whose luma stays within 40..215 (so
// noise added to it is not clipped): woven cloth, grain, curved wood lines,
// and a smooth shaded part with sharp-edged shapes, drifting by 2 pixels a
// frame. Chroma is flat grey. The same on every machine.
Picture MakeTexturePicture(int width, int height, int index);

// Adds rounded Gaussian noise of standard deviation `sigma` (levels) to every
// sample, clamped to 0..255, drawn from a generator whose state is `seed`.
void AddGaussianNoise(Picture& picture, double sigma, uint64_t& seed);

// Squared-error sums for PSNR, per plane and over all planes.
struct ErrorSums {
  double squared[3] = {0, 0, 0};
  double samples[3] = {0, 0, 0};
  void Add(const Picture& reference, const Picture& other);
  double LumaPsnr() const;
  double Psnr() const;  // over every sample of every plane
};

// PSNR in dB of a squared-error sum over `samples` 8-bit samples; infinite
// when there is no error.
double Psnr(double squaredErrors, double samples);

// The demo's threshold, for its noise of sigma 10 levels: see RunDemo.
inline constexpr int kDemoThreshold = 28;

// Runs the demo into `folder` (created when missing) and prints the results
// on standard output. Returns the exit status.
int RunDemo(const std::string& folder, const RunOptions& options);

}  // namespace velmoraine::tools
