// Kernel by kernel: each level's kernels against the plain ones, on inputs
// chosen to reach the extremes of their intermediate values.
#include <gtest/gtest.h>

#include <climits>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "checkasm.h"

namespace velmoraine::checkasm {
namespace {

// 64-byte aligned storage, as the pass provides, followed by 128 guard bytes
// holding a canary: a kernel that writes past its output shows.
template <typename T>
struct Aligned {
  static constexpr size_t kGuard = 128 / sizeof(T);
  static constexpr T kCanary = static_cast<T>(0x5A5A5A5Au);
  std::vector<T> storage;
  T* data;
  size_t count;
  explicit Aligned(size_t n, T fill = T()) : storage(n + 64 / sizeof(T) + kGuard, fill), count(n) {
    uintptr_t p = reinterpret_cast<uintptr_t>(storage.data());
    data = storage.data() + ((64 - p % 64) % 64) / sizeof(T);
    std::fill(data + count, data + count + kGuard, kCanary);
  }
  bool GuardIntact() const {
    return std::all_of(data + count, data + count + kGuard, [](T v) { return v == kCanary; });
  }
};

ptrdiff_t StrideFor(int32_t W) { return (W + 31) / 32 * 32; }

TEST(CheckasmKernels, AnalyseRowEveryWidth) {
  std::mt19937 random(11);
  const StreamDsp plain = DspFor(AvailableLevels()[0]);
  for (const Level& level : AvailableLevels()) {
    const StreamDsp dsp = DspFor(level);
    for (int32_t W = 8; W <= 100; ++W) {
      for (int pattern = 0; pattern < 4; ++pattern) {
        // The row sits at the very end of its buffer: reading past it shows.
        std::vector<uint8_t> row(static_cast<size_t>(W));
        for (int32_t x = 0; x < W; ++x)
          row[x] = pattern == 0 ? uint8_t(random()) : pattern == 1 ? uint8_t(x & 1 ? 255 : 0)
                                                    : pattern == 2 ? uint8_t(255) : uint8_t(x % 8 < 4 ? 255 : 0);
        const ptrdiff_t stride = StrideFor(W);
        Aligned<int16_t> expected(8 * stride), actual(8 * stride);
        plain.analyseRow(row.data(), W, expected.data, stride);
        dsp.analyseRow(row.data(), W, actual.data, stride);
        ASSERT_TRUE(actual.GuardIntact()) << level.name << " W=" << W;
        for (int u = 0; u < 8; ++u)
          for (int32_t x = 0; x < W - 7; ++x)
            ASSERT_EQ(actual.data[u * stride + x], expected.data[u * stride + x])
                << level.name << " W=" << W << " u=" << u << " x=" << x;
      }
    }
  }
}

// Each level the machine has brings its own block stage (else the harness
// would check another level's twice), in the wide pass too, where AVX-512
// keeps AVX2's; AVX-512 is only reported
// beside AVX2, whose kernels it joins; and 64-bit ARM always reports NEON
// (else only the plain kernels would be checked there).
TEST(CheckasmKernels, EveryLevelHasItsOwnBlockStage) {
  const uint32_t flags = DetectCpuFlags();
#if defined(__aarch64__)
  EXPECT_TRUE(flags & kCpuNeon);
#endif
  if (flags & kCpuAvx512) {
    EXPECT_TRUE(flags & kCpuAvx2);
  } else if (flags & kCpuAvx2) {
    std::printf("no AVX-512 (F, BW, VL, VNNI) here: that level is not checked\n");
  }
  std::vector<AccumulateBlockRowsFn> seen;
  std::vector<AccumulateBlockRowsWideFn> seenWide;
  for (const Level& level : AvailableLevels()) {
    if (level.mask & (level.mask - 1)) continue;  // combinations repeat their last level's
    const AccumulateBlockRowsFn kernel = DspFor(level).accumulateBlockRows;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), kernel), 0) << level.name;
    seen.push_back(kernel);
    if (level.mask == kCpuAvx512) continue;
    const AccumulateBlockRowsWideFn wide = DspFor(level).accumulateBlockRowsWide;
    EXPECT_EQ(std::count(seenWide.begin(), seenWide.end(), wide), 0) << level.name << " (wide)";
    seenWide.push_back(wide);
  }
}

// Row coefficients of real 8-bit rows (the 16-bit lanes rely on that origin),
// through the block stage with every weight profile.
TEST(CheckasmKernels, AccumulateBlockRows) {
  std::mt19937 random(12);
  const StreamDsp plain = DspFor(AvailableLevels()[0]);
  const int32_t profiles[] = {0, 1, 2, 3, 4, 10, 11, 40, 64, INT32_MAX};
  const int32_t thresholds[] = {0, 10, 100, 315646704, INT32_MAX, -5};
  for (const Level& level : AvailableLevels()) {
    const StreamDsp dsp = DspFor(level);
    for (int trial = 0; trial < 60; ++trial) {
      const int32_t W = 8 + int32_t(random() % 60), rows = 1 + int32_t(random() % 8);
      const ptrdiff_t stride = StrideFor(W);
      const int32_t blocks = W - 7;
      Aligned<int16_t> coeffs(15 * 8 * stride);
      std::vector<uint8_t> row(static_cast<size_t>(W));
      for (int32_t r = 0; r < rows + 7; ++r) {
        for (int32_t x = 0; x < W; ++x) {
          const uint32_t kind = (trial + r) % 4;
          row[x] = kind == 0 ? uint8_t(random()) : kind == 1 ? uint8_t((x + r) & 1 ? 255 : 0)
                                                 : kind == 2 ? uint8_t(r & 1 ? 255 : 0) : uint8_t(255 * (x > W / 2));
          // Every third trial a black left part in every row: blocks whose
          // 64 coefficients are all zero beside blocks that are not.
          if (trial % 3 == 1 && x < W / 2) row[x] = 0;
        }
        plain.analyseRow(row.data(), W, coeffs.data + r * 8 * stride, stride);
        for (int u = 0; u < 8; ++u)
          for (ptrdiff_t x = blocks; x < stride; ++x) coeffs.data[r * 8 * stride + u * stride + x] = 0;
      }
      BlockStageTables tables;
      PrepareBlockStageTables(thresholds[trial % 6], profiles[trial % 10], trial % 3 == 2 ? 5 : 0,
                              trial % 5 == 4 ? 40 : 100, tables);
      Aligned<int32_t> expected(15 * 8 * stride), actual(15 * 8 * stride);
      for (size_t i = 0; i < 15 * 8 * size_t(stride); ++i) {
        // Start from arbitrary sums, wrapping included; padding lanes stay 0.
        const bool padding = ptrdiff_t(i % size_t(stride)) >= blocks;
        expected.data[i] = actual.data[i] = padding ? 0 : int32_t(random());
      }
      Aligned<int32_t> expectedWeights(8 * stride), actualWeights(8 * stride);
      const int16_t* coeffRows[15];
      int32_t *expectedRows[15], *actualRows[15], *expectedWeightRows[8], *actualWeightRows[8];
      for (int r = 0; r < 15; ++r) {
        coeffRows[r] = coeffs.data + r * 8 * stride;
        expectedRows[r] = expected.data + r * 8 * stride;
        actualRows[r] = actual.data + r * 8 * stride;
      }
      for (int r = 0; r < 8; ++r) {
        expectedWeightRows[r] = expectedWeights.data + r * stride;
        actualWeightRows[r] = actualWeights.data + r * stride;
      }
      plain.accumulateBlockRows(coeffRows, expectedRows, expectedWeightRows, rows, blocks, stride, tables);
      dsp.accumulateBlockRows(coeffRows, actualRows, actualWeightRows, rows, blocks, stride, tables);
      ASSERT_TRUE(actual.GuardIntact() && actualWeights.GuardIntact()) << level.name << " trial " << trial;
      for (size_t i = 0; i < 15 * 8 * size_t(stride); ++i)
        ASSERT_EQ(actual.data[i], expected.data[i]) << level.name << " trial " << trial << " sum " << i;
      for (int32_t r = 0; r < rows; ++r)
        for (int32_t x = 0; x < blocks; ++x)
          ASSERT_EQ(actualWeights.data[r * stride + x], expectedWeights.data[r * stride + x])
              << level.name << " trial " << trial << " weight " << r << "," << x;
    }
  }
}

// Sums anywhere in 32 bits: the inverse row transform wraps like the plain one.
TEST(CheckasmKernels, SynthesizeRowWrapsLikePlain) {
  std::mt19937 random(13);
  const StreamDsp plain = DspFor(AvailableLevels()[0]);
  for (const Level& level : AvailableLevels()) {
    const StreamDsp dsp = DspFor(level);
    for (int32_t W = 8; W <= 80; ++W) {
      const ptrdiff_t stride = StrideFor(W);
      Aligned<int32_t> accum(8 * stride);
      for (int u = 0; u < 8; ++u)
        for (int32_t x = 0; x < W - 7; ++x) {
          const uint32_t kind = random() % 4;
          accum.data[u * stride + x] = kind == 0 ? int32_t(random()) : kind == 1 ? INT32_MAX
                                       : kind == 2 ? INT32_MIN : int32_t(random() % 2000) - 1000;
        }
      Aligned<int32_t> expected(stride), actual(stride), scratch(8 * (stride + 16), 0);
      Aligned<int32_t> scratch2(8 * (stride + 16), 0);
      Aligned<int32_t> accumCopy(8 * stride);
      std::copy(accum.data, accum.data + 8 * stride, accumCopy.data);
      plain.synthesizeRow(accum.data, stride, W, expected.data, scratch.data);
      dsp.synthesizeRow(accumCopy.data, stride, W, actual.data, scratch2.data);
      ASSERT_TRUE(actual.GuardIntact() && accumCopy.GuardIntact() && scratch2.GuardIntact())
          << level.name << " W=" << W;
      for (int32_t x = 0; x < W; ++x) ASSERT_EQ(actual.data[x], expected.data[x]) << level.name << " W=" << W << " x=" << x;
      for (ptrdiff_t i = 0; i < 8 * stride; ++i) ASSERT_EQ(accumCopy.data[i], 0) << level.name << " sums left at " << i;
    }
  }
}

// Sums anywhere in 32 bits over divisors from 1 to 64 * 16385, including
// quotients that leave 32 bits and ones a hair from an integer.
TEST(CheckasmKernels, NormalizeRowTruncatesLikeIntegerDivision) {
  std::mt19937 random(14);
  const StreamDsp plain = DspFor(AvailableLevels()[0]);
  for (const Level& level : AvailableLevels()) {
    const StreamDsp dsp = DspFor(level);
    for (int trial = 0; trial < 400; ++trial) {
      const int32_t W = 8 + trial % 37;
      const ptrdiff_t stride = StrideFor(W);
      Aligned<int32_t> weightsBuffer(stride + 32, 0);
      int32_t* columnWeights = weightsBuffer.data + 16;
      for (int32_t x = 0; x < W - 7; ++x)
        columnWeights[x] = trial % 3 == 0 ? 8 * 16385 : 1 + int32_t(random() % (trial % 3 == 1 ? 8 : 8 * 16385));
      // A version may write up to the next multiple of 8; no further.
      Aligned<int32_t> expected((W + 7) / 8 * 8), actual((W + 7) / 8 * 8);
      for (int32_t x = 0; x < W; ++x) {
        int64_t D = 0;
        for (int i = 0; i < 8; ++i) D += columnWeights[x - i];
        const uint32_t kind = random() % 6;
        int64_t A = kind == 0 ? int32_t(random()) : kind == 1 ? INT32_MAX : kind == 2 ? INT32_MIN
                    : kind == 3 ? (int64_t(int32_t(random()) % 100000) * D) / 16 : int32_t(random() % 65536) - 1000;
        if (kind == 3) A += int32_t(random() % 3) - 1;  // just off an exact multiple
        A = A < INT32_MIN ? INT32_MIN : (A > INT32_MAX ? INT32_MAX : A);
        expected.data[x] = actual.data[x] = int32_t(A);
      }
      plain.normalizeRow(expected.data, columnWeights, W);
      dsp.normalizeRow(actual.data, columnWeights, W);
      ASSERT_TRUE(actual.GuardIntact()) << level.name << " trial " << trial;
      for (int32_t x = 0; x < W; ++x) ASSERT_EQ(actual.data[x], expected.data[x]) << level.name << " trial " << trial << " x=" << x;
    }
  }
}

}  // namespace
}  // namespace velmoraine::checkasm

namespace velmoraine::checkasm {
namespace {

// One row of the error-diffusion scan, outer and inner rows, with values far
// outside the sample range (only the first update clamps them) and errors of
// the row above that are negative (row 0 keeps its first three unclamped).
TEST(CheckasmKernels, RequantizeRowLikePlain) {
  std::mt19937 random(16);
  const StreamDsp plain = DspFor(AvailableLevels()[0]);
  for (const Level& level : AvailableLevels()) {
    const StreamDsp dsp = DspFor(level);
    for (int trial = 0; trial < 300; ++trial) {
      const int32_t W = 8 + trial % 45, H = 8 + trial % 5, y = trial % H;
      std::vector<int32_t> values(W), above(W), twoAbove(W);
      for (int32_t x = 0; x < W; ++x) {
        const uint32_t kind = random() % 5;
        values[x] = kind == 0 ? int32_t(random()) : kind == 1 ? INT32_MIN + int32_t(random() % 200)
                    : kind == 2 ? INT32_MAX - int32_t(random() % 200) : int32_t(random() % 200000) - 65536 - 1000;
        above[x] = int32_t(random() % 511) - 255;
        twoAbove[x] = int32_t(random() % 511) - 255;
      }
      Aligned<int32_t> expectedValues(W), actualValues(W), expectedErrors(W, 7), actualErrors(W, 7);
      Aligned<uint8_t> expectedOut(W), actualOut(W);
      std::copy(values.begin(), values.end(), expectedValues.data);
      std::copy(values.begin(), values.end(), actualValues.data);
      plain.requantizeRow(expectedValues.data, expectedErrors.data, above.data(), twoAbove.data(), expectedOut.data,
                          W, y, H);
      dsp.requantizeRow(actualValues.data, actualErrors.data, above.data(), twoAbove.data(), actualOut.data, W, y, H);
      ASSERT_TRUE(actualValues.GuardIntact() && actualErrors.GuardIntact() && actualOut.GuardIntact())
          << level.name << " trial " << trial;
      ASSERT_TRUE(std::equal(actualOut.data, actualOut.data + W, expectedOut.data)) << level.name << " trial " << trial;
      ASSERT_TRUE(std::equal(actualErrors.data, actualErrors.data + W, expectedErrors.data))
          << level.name << " trial " << trial;
    }
  }
}

}  // namespace
}  // namespace velmoraine::checkasm

namespace velmoraine::checkasm {
namespace {

// The row kernels of the wide pass at every width from 8 to 72: rows of any
// 16-bit words, read at the very end of their buffer; sums in 64 bits up to
// 2^48 in magnitude (past the 2^47 of the vector normalisation), and up to
// 2^56 for the normalisation (past what a double division gets exact); values
// far outside every depth's range for the scan. Outputs and guards as in the
// 8-bit tests above.
TEST(CheckasmKernels, WideRowKernelsEveryWidth) {
  std::mt19937 random(17);
  const StreamDsp plain = DspFor(AvailableLevels()[0]);
  auto wideSum = [&](int kind) -> int64_t {
    const int64_t magnitude = kind == 0   ? (int64_t{1} << 48) - 1
                              : kind == 1 ? (int64_t{1} << 41)
                              : kind == 2 ? 100000
                                          : (int64_t{1} << 56);
    return int64_t(random() % 2 ? 1 : -1) * int64_t((uint64_t(random()) << 32 | random()) % uint64_t(magnitude + 1));
  };
  for (const Level& level : AvailableLevels()) {
    const StreamDsp dsp = DspFor(level);
    for (int32_t W = 8; W <= 72; ++W) {
      const ptrdiff_t stride = StrideFor(W);
      const int32_t bits = 9 + W % 8;
      std::vector<uint16_t> row(static_cast<size_t>(W));
      for (uint16_t& word : row) word = W % 3 == 0 ? 65535 : uint16_t(random());
      Aligned<int32_t> coeffs[2] = {Aligned<int32_t>(8 * stride), Aligned<int32_t>(8 * stride)};
      plain.analyseRowWide(row.data(), W, coeffs[0].data, stride);
      dsp.analyseRowWide(row.data(), W, coeffs[1].data, stride);
      ASSERT_TRUE(coeffs[1].GuardIntact()) << level.name << " W=" << W;
      for (int u = 0; u < 8; ++u)
        for (int32_t x = 0; x < W - 7; ++x)
          ASSERT_EQ(coeffs[1].data[u * stride + x], coeffs[0].data[u * stride + x]) << level.name << " W=" << W;

      Aligned<int64_t> accum[2] = {Aligned<int64_t>(8 * stride, 0), Aligned<int64_t>(8 * stride, 0)};
      for (int u = 0; u < 8; ++u)
        for (int32_t x = 0; x < W - 7; ++x) accum[0].data[u * stride + x] = accum[1].data[u * stride + x] = wideSum(u % 3);
      Aligned<int64_t> sums[2] = {Aligned<int64_t>(stride), Aligned<int64_t>(stride)};
      Aligned<int64_t> scratch[2] = {Aligned<int64_t>(8 * (stride + 16), 0), Aligned<int64_t>(8 * (stride + 16), 0)};
      for (int i = 0; i < 2; ++i)
        (i == 0 ? plain : dsp).synthesizeRowWide(accum[i].data, stride, W, sums[i].data, scratch[i].data);
      ASSERT_TRUE(sums[1].GuardIntact() && accum[1].GuardIntact() && scratch[1].GuardIntact()) << level.name << " W=" << W;
      ASSERT_TRUE(std::equal(sums[1].data, sums[1].data + W, sums[0].data)) << level.name << " W=" << W;
      ASSERT_TRUE(std::all_of(accum[1].data, accum[1].data + 8 * stride, [](int64_t v) { return v == 0; }));

      Aligned<int32_t> weightsBuffer(stride + 32, 0);
      int32_t* columnWeights = weightsBuffer.data + 16;
      for (int32_t x = 0; x < W - 7; ++x) columnWeights[x] = 1 + int32_t(random() % (W % 2 ? 16385 : 4));
      for (int32_t x = 0; x < W; ++x) sums[0].data[x] = wideSum(int(random() % 4));
      Aligned<int32_t> values[2] = {Aligned<int32_t>((W + 7) / 8 * 8), Aligned<int32_t>((W + 7) / 8 * 8)};
      for (int i = 0; i < 2; ++i) (i == 0 ? plain : dsp).normalizeRowWide(sums[0].data, columnWeights, W, values[i].data);
      ASSERT_TRUE(values[1].GuardIntact()) << level.name << " W=" << W;
      ASSERT_TRUE(std::equal(values[1].data, values[1].data + W, values[0].data)) << level.name << " W=" << W;

      for (int32_t y : {0, 1, 5, 9}) {
        std::vector<int32_t> above(W), twoAbove(W);
        for (int32_t x = 0; x < W; ++x) {
          values[0].data[x] = values[1].data[x] = int32_t(random()) >> (random() % 24);
          above[x] = int32_t(random() % 511) - 255, twoAbove[x] = int32_t(random() % 511) - 255;
        }
        Aligned<int32_t> errors[2] = {Aligned<int32_t>(W, 7), Aligned<int32_t>(W, 7)};
        Aligned<uint16_t> out[2] = {Aligned<uint16_t>(W), Aligned<uint16_t>(W)};
        for (int i = 0; i < 2; ++i)
          (i == 0 ? plain : dsp).requantizeRowWide(values[i].data, errors[i].data, above.data(), twoAbove.data(),
                                                   out[i].data, W, y, 10, bits);
        ASSERT_TRUE(out[1].GuardIntact() && errors[1].GuardIntact()) << level.name << " W=" << W << " y=" << y;
        ASSERT_TRUE(std::equal(out[1].data, out[1].data + W, out[0].data)) << level.name << " W=" << W << " y=" << y;
        ASSERT_TRUE(std::equal(errors[1].data, errors[1].data + W, errors[0].data)) << level.name << " W=" << W;
      }
    }
  }
}

}  // namespace
}  // namespace velmoraine::checkasm
