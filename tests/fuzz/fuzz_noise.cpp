// Fuzz target: the noise estimate behind --T auto and --estimate.
//
// From the input: one to four planes, each W x H (-1 .. 100) with a pitch of
// W plus 0..15 bytes, its samples from the input or generated (a level with
// noise of a given strength, which reaches 0 and 255 at the ends, or a flat
// level). Each plane lies in a buffer of exactly the bytes it spans, so that
// AddPlane reading past it is a sanitizer report. Checked:
//   - the block count is that of the whole 16x16 blocks of the planes;
//   - the estimate is finite, never negative, and no more than the largest
//     response the mask can give (840 levels);
//   - with a reason for no estimate, the estimate is 0;
//   - the planes added in reverse order give the same estimate;
//   - the threshold for the estimate is not negative.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tools/noise_estimate.h"

namespace {

using velmoraine::tools::NoiseEstimator;

struct Plane {
  std::vector<uint8_t> bytes;
  ptrdiff_t pitch = 0;
  int width = 0, height = 0;
};

[[noreturn]] void Fault(const char* what, double sigma) {
  std::fprintf(stderr, "fuzz_noise: %s (sigma %g)\n", what, sigma);
  std::abort();
}

Plane MakePlane(FuzzedDataProvider& in) {
  Plane plane;
  plane.width = in.ConsumeIntegralInRange<int>(-1, 100);
  plane.height = in.ConsumeIntegralInRange<int>(-1, 100);
  plane.pitch = std::max(plane.width, 0) + in.ConsumeIntegralInRange<int>(0, 15);
  const uint8_t fill = in.ConsumeIntegralInRange<uint8_t>(0, 2);
  const int level = in.ConsumeIntegral<uint8_t>();
  const int strength = in.ConsumeIntegralInRange<int>(0, 64);
  uint32_t seed = in.ConsumeIntegral<uint32_t>();
  if (plane.width <= 0 || plane.height <= 0) return plane;
  plane.bytes.resize(static_cast<size_t>(plane.height - 1) * plane.pitch + plane.width);
  for (int y = 0; y < plane.height; ++y)
    for (int x = 0; x < plane.width; ++x) {
      seed = seed * 1664525u + 1013904223u;
      // A sum of two uniform values: roughly bell-shaped noise.
      const int noise = (static_cast<int>(seed >> 24) + static_cast<int>((seed >> 16) & 255) - 255) * strength / 128;
      uint8_t& sample = plane.bytes[static_cast<size_t>(y) * plane.pitch + x];
      if (fill == 0)
        sample = in.remaining_bytes() > 0 ? in.ConsumeIntegral<uint8_t>() : static_cast<uint8_t>(seed >> 24);
      else
        sample = static_cast<uint8_t>(std::clamp(level + (fill == 1 ? noise : 0), 0, 255));
    }
  return plane;
}

void Add(NoiseEstimator& estimator, const Plane& plane) {
  estimator.AddPlane(plane.bytes.empty() ? nullptr : plane.bytes.data(), plane.pitch, plane.width, plane.height);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int count = in.ConsumeIntegralInRange<int>(1, 4);
  std::vector<Plane> planes;
  size_t blocks = 0;
  for (int i = 0; i < count; ++i) {
    planes.push_back(MakePlane(in));
    const Plane& p = planes.back();
    if (p.width > 0 && p.height > 0) blocks += static_cast<size_t>(p.width / 16) * (p.height / 16);
  }
  NoiseEstimator forward, backward;
  for (const Plane& plane : planes) Add(forward, plane);
  for (auto it = planes.rbegin(); it != planes.rend(); ++it) Add(backward, *it);

  const double sigma = forward.Sigma();
  if (forward.Blocks() != blocks) Fault("block count differs from the planes' whole blocks", sigma);
  if (!std::isfinite(sigma) || sigma < 0 || sigma > 840) Fault("estimate out of range", sigma);
  if (forward.NoEstimate() != nullptr && sigma != 0) Fault("an estimate despite a reason for none", sigma);
  if (backward.Sigma() != sigma) Fault("the order of the planes changes the estimate", sigma);
  if (velmoraine::tools::ThresholdForSigma(sigma) < 0) Fault("negative threshold", sigma);
  return 0;
}
