// Runs one stage of the plane pass on a 256x256 plane a given number of
// times, for counting executed instructions under an emulator (the count of
// two runs less the count of one is the cost of one, start-up and set-up
// cancelled). Counts stand in for times where no machine of the architecture
// is at hand: see docs/performance.md.
//
//   stage_instructions plain|best block|plane REPEATS
//
// block: the block stage over every block row of the plane (bands of 8);
// plane: the whole plane pass, FilterPlane, T = 10, P = 1.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "core/cpu.h"
#include "core/plane_filter.h"
#include "core/stream_dsp.h"

namespace velmoraine {
namespace {

constexpr int32_t kSide = 256;

// Gradients and edges plus uniform noise, as in bench/plane_bench.cpp.
std::vector<uint8_t> NoisyPlane() {
  std::mt19937 random(1);
  std::vector<uint8_t> plane(kSide * kSide);
  for (int32_t y = 0; y < kSide; ++y)
    for (int32_t x = 0; x < kSide; ++x) {
      const int v = ((x / 64 + y / 64) & 1 ? 160 : 80) + x / 4 + int(random() % 41) - 20;
      plane[y * kSide + x] = uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v));
    }
  return plane;
}

void RunBlockStage(const StreamDsp& dsp, int repeats) {
  const ptrdiff_t stride = StreamStride(kSide), coeffPitch = CoeffRowPitch(stride), accumPitch = AccumRowPitch(stride);
  const int32_t blocks = kSide - 7;
  const std::vector<uint8_t> plane = NoisyPlane();
  // Every row's coefficients at once (the pass keeps a ring of them).
  std::vector<int16_t> coeffs(kSide * coeffPitch + 32, 0);
  std::vector<int32_t> accum(kSide * accumPitch + 16, 0), weights(8 * stride + 16);
  int16_t* coeffBase = coeffs.data() + (32 - reinterpret_cast<uintptr_t>(coeffs.data()) % 64 / 2) % 32;
  int32_t* accumBase = accum.data() + (16 - reinterpret_cast<uintptr_t>(accum.data()) % 64 / 4) % 16;
  int32_t* weightBase = weights.data() + (16 - reinterpret_cast<uintptr_t>(weights.data()) % 64 / 4) % 16;
  for (int32_t y = 0; y < kSide; ++y) AnalyseRowPlain(plane.data() + y * kSide, kSide, coeffBase + y * coeffPitch, stride);
  for (int32_t y = 0; y < kSide; ++y)
    for (int u = 0; u < 8; ++u) memset(coeffBase + y * coeffPitch + u * stride + blocks, 0, (stride - blocks) * 2);
  BlockStageTables tables;
  PrepareBlockStageTables(10, 1, 0, 100, tables);
  for (int n = 0; n < repeats; ++n) {
    for (int32_t y = 0; y < blocks; y += 8) {
      const int32_t rows = blocks - y < 8 ? blocks - y : 8;
      const int16_t* coeffRows[15];
      int32_t *accumRows[15], *weightRows[8];
      for (int r = 0; r < rows + 7; ++r) {
        coeffRows[r] = coeffBase + (y + r) * coeffPitch;
        accumRows[r] = accumBase + (y + r) * accumPitch;
      }
      for (int r = 0; r < 8; ++r) weightRows[r] = weightBase + r * stride;
      dsp.accumulateBlockRows(coeffRows, accumRows, weightRows, rows, blocks, stride, tables);
    }
  }
}

void RunPlanePass(uint32_t mask, int repeats) {
  PreparedFilter filter;
  PrepareFilter(10, 1, 0, 100, mask, filter);
  const std::vector<uint8_t> source = NoisyPlane();
  std::vector<uint8_t> plane = source;
  for (int n = 0; n < repeats; ++n) {
    memcpy(plane.data(), source.data(), plane.size());
    FilterPlane(PlaneView{plane.data(), kSide, kSide, kSide}, filter);
  }
}

}  // namespace
}  // namespace velmoraine

int main(int argc, char** argv) {
  using namespace velmoraine;
  if (argc != 4 || (strcmp(argv[1], "plain") != 0 && strcmp(argv[1], "best") != 0) ||
      (strcmp(argv[2], "block") != 0 && strcmp(argv[2], "plane") != 0)) {
    std::fprintf(stderr, "usage: %s plain|best block|plane REPEATS\n", argv[0]);
    return 2;
  }
  const uint32_t mask = strcmp(argv[1], "plain") == 0 ? 0 : kCpuAllFlags;
  const int repeats = std::atoi(argv[3]);
  if (strcmp(argv[2], "block") == 0) {
    StreamDsp dsp;
    InitStreamDsp(dsp, mask);
    RunBlockStage(dsp, repeats);
  } else {
    RunPlanePass(mask, repeats);
  }
  return 0;
}
