// Runs one stage of the plane pass on a 256x256 plane a given number of
// times, for counting executed instructions under an emulator (the count of
// two runs less the count of one is the cost of one, start-up and set-up
// cancelled). Counts stand in for times where no machine of the architecture
// is at hand: see docs/performance.md.
//
//   stage_instructions plain|best block|plane|wideblock|wideplane REPEATS
//
// block: the block stage over every block row of the plane (bands of 8);
// plane: the whole plane pass, FilterPlane, T = 10, P = 1; wideblock and
// wideplane: the same for the wide pass on the same picture in 16-bit words.
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

// The same picture in 16-bit words, each level spread over the full range.
std::vector<uint16_t> NoisyWidePlane() {
  const std::vector<uint8_t> plane = NoisyPlane();
  std::vector<uint16_t> wide(plane.size());
  for (size_t i = 0; i < plane.size(); ++i) wide[i] = uint16_t(plane[i] * 257);
  return wide;
}

// The first 64-byte aligned element of v.
template <typename T>
T* AlignedStart(std::vector<T>& v) {
  return v.data() + (64 - reinterpret_cast<uintptr_t>(v.data()) % 64) % 64 / sizeof(T);
}

// Either pass's block stage: its row analysis, block stage and tables.
template <typename Sample, typename Coeff, typename Sum, typename Tables>
void RunBlockStage(const std::vector<Sample>& plane, void (*analyse)(const Sample*, int32_t, Coeff*, ptrdiff_t),
                   void (*accumulate)(const Coeff* const*, Sum* const*, int32_t* const*, int32_t, int32_t,
                                      ptrdiff_t, const Tables&),
                   const Tables& tables, int repeats) {
  const ptrdiff_t stride = StreamStride(kSide), coeffPitch = CoeffRowPitch(stride), accumPitch = AccumRowPitch(stride);
  const int32_t blocks = kSide - 7;
  // Every row's coefficients at once (the pass keeps a ring of them).
  std::vector<Coeff> coeffs(kSide * coeffPitch + 32, 0);
  std::vector<Sum> accum(kSide * accumPitch + 16, 0);
  std::vector<int32_t> weights(8 * stride + 16);
  Coeff* coeffBase = AlignedStart(coeffs);
  Sum* accumBase = AlignedStart(accum);
  int32_t* weightBase = AlignedStart(weights);
  for (int32_t y = 0; y < kSide; ++y) analyse(plane.data() + y * kSide, kSide, coeffBase + y * coeffPitch, stride);
  for (int32_t y = 0; y < kSide; ++y)
    for (int u = 0; u < 8; ++u)
      memset(coeffBase + y * coeffPitch + u * stride + blocks, 0, (stride - blocks) * sizeof(Coeff));
  for (int n = 0; n < repeats; ++n) {
    for (int32_t y = 0; y < blocks; y += 8) {
      const int32_t rows = blocks - y < 8 ? blocks - y : 8;
      const Coeff* coeffRows[15];
      Sum* accumRows[15];
      int32_t* weightRows[8];
      for (int r = 0; r < rows + 7; ++r) {
        coeffRows[r] = coeffBase + (y + r) * coeffPitch;
        accumRows[r] = accumBase + (y + r) * accumPitch;
      }
      for (int r = 0; r < 8; ++r) weightRows[r] = weightBase + r * stride;
      accumulate(coeffRows, accumRows, weightRows, rows, blocks, stride, tables);
    }
  }
}

void RunBlockStage(uint32_t mask, bool wide, int repeats) {
  StreamDsp dsp;
  InitStreamDsp(dsp, mask);
  if (wide) {
    WideBlockStageTables tables;
    PrepareWideBlockStageTables(10, 1, 0, 100, 16, tables);
    RunBlockStage(NoisyWidePlane(), AnalyseRowWidePlain, dsp.accumulateBlockRowsWide, tables, repeats);
  } else {
    BlockStageTables tables;
    PrepareBlockStageTables(10, 1, 0, 100, tables);
    RunBlockStage(NoisyPlane(), AnalyseRowPlain, dsp.accumulateBlockRows, tables, repeats);
  }
}

void RunPlanePass(uint32_t mask, bool wide, int repeats) {
  PreparedFilter filter;
  PrepareFilter(10, 1, 0, 100, wide ? 16 : 8, mask, filter);
  const std::vector<uint8_t> source = NoisyPlane();
  const std::vector<uint16_t> wideSource = NoisyWidePlane();
  std::vector<uint8_t> plane = source;
  std::vector<uint16_t> widePlane = wideSource;
  for (int n = 0; n < repeats; ++n) {
    if (wide) {
      memcpy(widePlane.data(), wideSource.data(), widePlane.size() * 2);
      FilterPlane(PlaneView16{widePlane.data(), kSide * 2, kSide, kSide, 16}, filter);
    } else {
      memcpy(plane.data(), source.data(), plane.size());
      FilterPlane(PlaneView{plane.data(), kSide, kSide, kSide}, filter);
    }
  }
}

}  // namespace
}  // namespace velmoraine

int main(int argc, char** argv) {
  using namespace velmoraine;
  const char* const stages[] = {"block", "plane", "wideblock", "wideplane"};
  int stage = 0;
  while (argc == 4 && stage < 4 && strcmp(argv[2], stages[stage]) != 0) ++stage;
  if (argc != 4 || (strcmp(argv[1], "plain") != 0 && strcmp(argv[1], "best") != 0) || stage == 4) {
    std::fprintf(stderr, "usage: %s plain|best block|plane|wideblock|wideplane REPEATS\n", argv[0]);
    return 2;
  }
  const uint32_t mask = strcmp(argv[1], "plain") == 0 ? 0 : kCpuAllFlags;
  const int repeats = std::atoi(argv[3]);
  if (stage % 2 == 0) {
    RunBlockStage(mask, stage >= 2, repeats);
  } else {
    RunPlanePass(mask, stage >= 2, repeats);
  }
  return 0;
}
