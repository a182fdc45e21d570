#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "tests/oracle/oracle.h"

namespace velmoraine {
namespace {

// The scale constants are held literally in the core (the Windows build has
// no trustworthy sin/cos); they must be exactly what the formulas give.
TEST(ThresholdTable, ScaleConstantsEqualTheirFormulas) {
  const double pi = std::acos(-1.0);
  const double formulas[8] = {
      std::sin(pi / 4) / 2,           1 / (2 * std::sin(7 * pi / 16)), 1 / (2 * std::sin(3 * pi / 8)),
      1 / (2 * std::cos(3 * pi / 16)), std::sin(pi / 4),               std::cos(3 * pi / 16) / 2,
      std::sin(3 * pi / 8) / 2,       std::sin(7 * pi / 16) / 2,
  };
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(std::memcmp(&formulas[k], &dctScale[k], sizeof(double)), 0) << "k=" << k;
  }
  EXPECT_EQ(dctScale[1] * dctScale[7], 0.25);
  EXPECT_EQ(dctScale[2] * dctScale[6], 0.25);
  EXPECT_EQ(dctScale[3] * dctScale[5], 0.25);
}

TEST(ThresholdTable, MatchesKnownTableForT10) {
  const int32_t expected[64] = {
      0,  55, 52, 47, 40, 68, 61, 57,  //
      55, 38, 36, 32, 27, 47, 42, 40,  //
      52, 36, 34, 30, 26, 44, 40, 37,  //
      47, 32, 30, 27, 23, 40, 35, 33,  //
      40, 27, 26, 23, 20, 34, 30, 28,  //
      68, 47, 44, 40, 34, 57, 52, 49,  //
      61, 42, 40, 35, 30, 52, 46, 44,  //
      57, 40, 37, 33, 28, 49, 44, 41,
  };
  int32_t table[64];
  BuildThresholdTable(10, table);
  for (int k = 0; k < 64; ++k) EXPECT_EQ(table[k], expected[k]) << "k=" << k;
}

// Products of exactly 0.25 must give exactly 4T: extended-precision
// evaluation would give 4T - 1.
TEST(ThresholdTable, QuarterProductsGiveFourTimesT) {
  const int quarter[] = {8 * 1 + 7, 8 * 7 + 1, 8 * 2 + 6, 8 * 6 + 2, 8 * 3 + 5, 8 * 5 + 3, 8 * 0 + 4, 8 * 4 + 0};
  for (int32_t T : {1, 2, 3, 7, 1000, 12345, 50000000}) {
    int32_t table[64];
    BuildThresholdTable(T, table);
    for (int k : quarter) EXPECT_EQ(table[k], 4 * T) << "T=" << T << " k=" << k;
    EXPECT_EQ(table[8 * 4 + 4], 2 * T) << "T=" << T;
    for (int u = 0; u < 8; ++u)
      for (int v = 0; v < 8; ++v) EXPECT_EQ(table[8 * u + v], table[8 * v + u]);
  }
}

TEST(ThresholdTable, NonPositiveThresholdsZeroNothing) {
  for (int32_t T : {0, -1, -10, INT32_MIN}) {
    int32_t table[64];
    BuildThresholdTable(T, table);
    for (int k = 0; k < 64; ++k) EXPECT_LE(table[k], 0) << "T=" << T << " k=" << k;
  }
}

// Quotients past the 32-bit range saturate so a huge T zeroes every in-band
// coefficient; the first one to overflow is at (0,5) and (5,0).
TEST(ThresholdTable, SaturatesPastThe32BitRange) {
  int32_t table[64];
  BuildThresholdTable(315646703, table);
  EXPECT_LT(table[5], INT32_MAX);
  BuildThresholdTable(315646704, table);
  EXPECT_EQ(table[5], INT32_MAX);
  EXPECT_EQ(table[40], INT32_MAX);
  EXPECT_LT(table[9], INT32_MAX);

  BuildThresholdTable(INT32_MAX, table);
  EXPECT_EQ(table[0], 0);
  for (int k = 1; k < 64; ++k) EXPECT_EQ(table[k], INT32_MAX) << "k=" << k;
  BuildThresholdTable(INT32_MIN, table);
  EXPECT_EQ(table[0], 0);
  for (int k = 1; k < 64; ++k) EXPECT_EQ(table[k], INT32_MIN) << "k=" << k;
}

void Fill(int32_t C[8][8], int32_t value) {
  for (int u = 0; u < 8; ++u)
    for (int v = 0; v < 8; ++v) C[u][v] = value;
}

TEST(ShrinkBlock, ThresholdIsStrictAndSymmetricInSign) {
  int32_t table[64];
  BuildThresholdTable(10, table);
  int32_t C[8][8];
  Fill(C, 0);
  C[0][0] = 5;                // DC: never zeroed
  C[1][2] = table[8 + 2];     // equal: kept
  C[2][1] = -table[16 + 1];   // equal, negative: kept
  C[3][3] = table[27] - 1;    // one less: zeroed
  C[7][7] = -(table[63] - 1); // one less, negative: zeroed
  C[0][5] = 1000;             // large: kept
  EXPECT_EQ(ShrinkBlock(C, table, 0, 100), 64 - 4);
  EXPECT_EQ(C[0][0], 5);
  EXPECT_EQ(C[1][2], table[10]);
  EXPECT_EQ(C[2][1], -table[17]);
  EXPECT_EQ(C[3][3], 0);
  EXPECT_EQ(C[7][7], 0);
  EXPECT_EQ(C[0][5], 1000);
}

// Which positions a band lets shrinkage touch, with every coefficient 1 under
// a huge threshold: the zeroed ones are exactly the in-band ones.
TEST(ShrinkBlock, BandBoundsAreInclusive) {
  int32_t table[64];
  BuildThresholdTable(1000000, table);
  struct Band {
    int32_t lp, hp;
    int zeroed;
  } bands[] = {{0, 0, 0}, {1, 1, 2}, {98, 98, 1}, {0, 100, 63}, {5, 4, 0}, {-10, -1, 0}, {99, 1000, 0}, {50, 50, 3}};
  for (const Band& band : bands) {
    int32_t C[8][8];
    Fill(C, 1);
    EXPECT_EQ(ShrinkBlock(C, table, band.lp, band.hp), band.zeroed) << band.lp << ".." << band.hp;
    for (int u = 0; u < 8; ++u)
      for (int v = 0; v < 8; ++v) {
        const int s = u * u + v * v;
        const bool inBand = band.lp <= s && s <= band.hp && s > 0;
        EXPECT_EQ(C[u][v], inBand ? 0 : 1) << u << "," << v;
      }
  }
}

TEST(ShrinkBlock, CountsExistingZerosOutsideTheBand) {
  int32_t table[64];
  BuildThresholdTable(0, table);
  int32_t C[8][8];
  Fill(C, 0);
  EXPECT_EQ(ShrinkBlock(C, table, 0, 100), 64);
  C[0][0] = 64 * 100;
  EXPECT_EQ(ShrinkBlock(C, table, 200, 300), 63);
}

TEST(BlockWeight, FollowsEveryProfile) {
  struct Case {
    int32_t P, z, weight;
  } cases[] = {
      {0, 0, 256},   {0, 64, 256},  {1, 0, 15},      {1, 33, 32},     {1, 63, 512},  {1, 64, 1024},
      {2, 0, 1},     {2, 1, 5},     {2, 32, 249},    {2, 63, 8065},   {2, 64, 16385}, {3, 0, 1},
      {3, 10, 11},   {3, 64, 65},   {4, 17, 256},    {10, 64, 256},   {5, 3, 256},   {11, 11, 1},
      {11, 12, 1024}, {62, 63, 1024}, {63, 63, 1},   {63, 64, 1024},  {64, 64, 1},   {1000, 64, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(BlockWeight(c.P, c.z), c.weight) << "P=" << c.P << " z=" << c.z;
}

}  // namespace
}  // namespace velmoraine
