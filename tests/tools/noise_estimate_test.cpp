// The noise estimate must see the noise and not the picture: edges and fine
// texture, which a plain standard deviation takes for noise, must not count.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tools/demo.h"
#include "tools/noise_estimate.h"

namespace velmoraine::tools {
namespace {

double Estimate(const Picture& picture) {
  NoiseEstimator estimator;
  estimator.AddPlane(picture.planes[0].data(), picture.width, picture.width, picture.height);
  return estimator.Sigma();
}

// The standard deviation of the difference between horizontal neighbours,
// over sqrt(2): what a plain estimator would report.
double PlainEstimate(const Picture& picture) {
  double sum = 0, squares = 0, count = 0;
  for (int y = 0; y < picture.height; ++y)
    for (int x = 1; x < picture.width; ++x) {
      const double d = picture.planes[0][y * picture.width + x] - picture.planes[0][y * picture.width + x - 1];
      sum += d, squares += d * d, ++count;
    }
  return std::sqrt((squares - sum * sum / count) / count / 2);
}

TEST(NoiseEstimate, SeesNoiseAndNotEdgesOrTexture) {
  const Picture pictures[] = {MakeDemoPicture(320, 240, 3), MakeTexturePicture(320, 240, 3),
                              MakeTexturePicture(640, 480, 0)};
  uint64_t seed = 99;
  for (const Picture& clean : pictures) {
    SCOPED_TRACE(testing::Message() << clean.width << "x" << clean.height << " " << PlainEstimate(clean));
    // Edges and texture are there: a plain estimate reads them as noise.
    EXPECT_GT(PlainEstimate(clean), 5.0);
    EXPECT_LT(Estimate(clean), 1.0);
    Picture noisy = clean;
    AddGaussianNoise(noisy, 5.0, seed);
    EXPECT_NEAR(Estimate(noisy), 5.0, 0.75);
    EXPECT_GT(std::fabs(PlainEstimate(noisy) - 5.0), 0.75);
  }
}

TEST(NoiseEstimate, ClippedNoiseAndTinyPlanes) {
  // Half the picture black, half white: noise there is cut off, so only the
  // grey middle band tells; the estimate must come from it.
  Picture picture = MakeTexturePicture(320, 240, 0);
  for (int y = 0; y < 240; ++y)
    for (int x = 0; x < 320; ++x)
      if (x < 120 || x >= 220) picture.planes[0][y * 320 + x] = x < 120 ? 0 : 255;
  uint64_t seed = 7;
  AddGaussianNoise(picture, 20.0, seed);
  EXPECT_NEAR(Estimate(picture), 20.0, 3.0);

  NoiseEstimator none;
  uint8_t small[15 * 15] = {};
  none.AddPlane(small, 15, 15, 15);
  EXPECT_EQ(none.Sigma(), 0.0);
  EXPECT_NE(none.NoEstimate(), nullptr);

  // A black-and-white pattern of single pixels looks like strong noise
  // everywhere: no estimate rather than one that would wipe it out.
  std::vector<uint8_t> binary(320 * 240);
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = (i * 2654435761u >> 13) & 1 ? 255 : 0;
  NoiseEstimator graphic;
  graphic.AddPlane(binary.data(), 320, 320, 240);
  EXPECT_EQ(graphic.Sigma(), 0.0);
  EXPECT_NE(graphic.NoEstimate(), nullptr);
}

}  // namespace
}  // namespace velmoraine::tools
