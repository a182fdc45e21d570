// The demo's measurement and its synthetic clip.
#include "tools/demo.h"

#include <gtest/gtest.h>

#include <cmath>

namespace velmoraine::tools {
namespace {

TEST(Demo, PsnrOfKnownErrors) {
  EXPECT_TRUE(std::isinf(Psnr(0, 100)));
  EXPECT_NEAR(Psnr(100, 100), 48.1308, 1e-4);  // off by one everywhere
  EXPECT_NEAR(Psnr(255.0 * 255.0, 1), 0.0, 1e-12);
  Picture a = MakeDemoPicture(9, 5, 0), b = a;
  b.planes[1][0] = static_cast<uint8_t>(b.planes[1][0] + 3);
  ErrorSums sums;
  sums.Add(a, b);
  EXPECT_TRUE(std::isinf(sums.LumaPsnr()));
  EXPECT_NEAR(sums.Psnr(), Psnr(9, 9 * 5 + 2 * 5 * 3), 1e-12);
}

TEST(Demo, ClipAndNoiseAreDeterministicAndNoiseHasTheAskedStrength) {
  Picture clean = MakeDemoPicture(320, 240, 4);
  EXPECT_EQ(clean.planes[0].size(), 320u * 240);
  EXPECT_EQ(clean.planes[1].size(), 160u * 120);
  EXPECT_FALSE(MakeDemoPicture(320, 240, 5).planes[0] == clean.planes[0]);  // it moves
  Picture first = clean, second = clean;
  uint64_t seedA = 1, seedB = 1;
  AddGaussianNoise(first, 10.0, seedA);
  AddGaussianNoise(second, 10.0, seedB);
  EXPECT_TRUE(first.planes[0] == second.planes[0]);
  ErrorSums sums;
  sums.Add(clean, first);
  // sigma 10 (a little less where clamping at 0 or 255 bites): about 28 dB.
  EXPECT_NEAR(sums.LumaPsnr(), 20 * std::log10(255.0 / 10.0), 0.3);
}

}  // namespace
}  // namespace velmoraine::tools
