// Per-stage cost (ns per sample) and whole 1080p 4:2:0 frames (frames/s) of
// the plane filter, for the reference pass and each kernel level. The block
// stage is also given in core cycles per 16 block positions (one vector of
// blocks), from the core clock measured at start-up (bench/core_clock.h).
// Rates are per CPU second, so time the machine gives to other work is left
// out.
//
//   build/bench/plane_bench --benchmark_filter=Frame
//   build/bench/plane_bench --benchmark_filter='Frame1080p(16|10)?/avx2'
//   build/bench/plane_bench --benchmark_filter=Stage
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/cpu.h"
#include "core/plane_filter.h"
#include "tests/oracle/oracle.h"
#include "core/stream_dsp.h"
#include "bench/core_clock.h"

namespace velmoraine {
namespace {

constexpr int32_t kWidth = 1920, kHeight = 1080;

double coreGhz = 0;  // measured once in main

// A noisy test picture: smooth gradients and edges plus uniform noise.
std::vector<uint8_t> NoisyPlane(int32_t W, int32_t H, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> plane(static_cast<size_t>(W) * H);
  for (int32_t y = 0; y < H; ++y)
    for (int32_t x = 0; x < W; ++x) {
      int v = ((x / 64 + y / 64) & 1 ? 160 : 80) + (x * 64) / W + int(random() % 41) - 20;
      plane[static_cast<size_t>(y) * W + x] = uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v));
    }
  return plane;
}

struct Frame {
  std::vector<uint8_t> planes[3];
  int32_t widths[3] = {kWidth, kWidth / 2, kWidth / 2};
  int32_t heights[3] = {kHeight, kHeight / 2, kHeight / 2};
  Frame() {
    for (int i = 0; i < 3; ++i) planes[i] = NoisyPlane(widths[i], heights[i], 1 + i);
  }
};

// Whole frames: the three planes of a 1080p 4:2:0 frame, T = 10, P = 1.
void FrameReference(benchmark::State& state) {
  const Frame source;
  Frame frame;
  for (auto _ : state) {
    for (int i = 0; i < 3; ++i) {
      state.PauseTiming();
      frame.planes[i] = source.planes[i];
      state.ResumeTiming();
      FilterPlaneReference(PlaneView{frame.planes[i].data(), frame.widths[i], frame.widths[i], frame.heights[i]}, 10,
                           1, 0, 100);
    }
  }
  state.counters["frames/s"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}

void FrameStreaming(benchmark::State& state, uint32_t mask) {
  PreparedFilter filter;
  PrepareFilter(10, 1, 0, 100, mask, filter);
  const Frame source;
  Frame frame;
  for (auto _ : state) {
    for (int i = 0; i < 3; ++i) {
      // Filtering is not idempotent in cost terms, but close: copying the
      // source back costs under 1 % and keeps every run on noisy input.
      memcpy(frame.planes[i].data(), source.planes[i].data(), source.planes[i].size());
      FilterPlane(PlaneView{frame.planes[i].data(), frame.widths[i], frame.widths[i], frame.heights[i]}, filter);
    }
  }
  state.counters["frames/s"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}

// The same frames at `bits` bits (each sample times 2^(bits-8)), through the
// wide pass with the same T in 8-bit levels.
void FrameWide(benchmark::State& state, uint32_t mask, int32_t bits) {
  PreparedFilter filter;
  PrepareFilter(10, 1, 0, 100, bits, mask, filter);
  const Frame narrow;
  std::vector<uint16_t> source[3], frame[3];
  for (int i = 0; i < 3; ++i) {
    for (uint8_t v : narrow.planes[i]) source[i].push_back(static_cast<uint16_t>(v << (bits - 8)));
    frame[i] = source[i];
  }
  for (auto _ : state) {
    for (int i = 0; i < 3; ++i) {
      memcpy(frame[i].data(), source[i].data(), source[i].size() * sizeof(uint16_t));
      FilterPlane(PlaneView16{frame[i].data(), 2 * narrow.widths[i], narrow.widths[i], narrow.heights[i], bits},
                  filter);
    }
  }
  state.counters["frames/s"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}

// Per-stage cost on a 1920-wide luma plane, each stage alone over the plane's
// rows, with inputs from a real pass.
struct StageData {
  ptrdiff_t stride = StreamStride(kWidth);
  ptrdiff_t coeffPitch = CoeffRowPitch(stride), accumPitch = AccumRowPitch(stride);
  std::vector<uint8_t> plane = NoisyPlane(kWidth, 64, 9);
  std::vector<int16_t> coeffs;
  std::vector<int32_t> accum, weights, pixel, scratch, columnWeights, errors;
  BlockStageTables tables;
  StageData() {
    coeffs.assign(16 * coeffPitch + 64, 0);
    accum.assign(16 * accumPitch + 64, 0);
    weights.assign(8 * stride + 64, 0);
    pixel.assign(stride + 64, 0);
    scratch.assign(8 * (stride + 16) + 64, 0);
    columnWeights.assign(stride + 64, 0);
    errors.assign(3 * stride + 64, 0);
    PrepareBlockStageTables(10, 1, 0, 100, tables);
  }
  template <typename T>
  static T* Aligned(std::vector<T>& v) {
    const uintptr_t p = reinterpret_cast<uintptr_t>(v.data());
    return v.data() + ((64 - p % 64) % 64) / sizeof(T);
  }
};

double SamplesPerRow() { return kWidth; }

void StageAnalyse(benchmark::State& state, uint32_t mask) {
  StreamDsp dsp;
  InitStreamDsp(dsp, mask);
  StageData d;
  int16_t* coeffs = StageData::Aligned(d.coeffs);
  int32_t y = 0;
  for (auto _ : state) {
    dsp.analyseRow(d.plane.data() + (y & 63) * kWidth, kWidth, coeffs + (y & 15) * d.coeffPitch, d.stride);
    ++y;
  }
  state.counters["ns/sample"] = benchmark::Counter(SamplesPerRow(), benchmark::Counter::kIsIterationInvariantRate |
                                                                        benchmark::Counter::kInvert);
}

// One band of 8 block rows (cost per sample of the 8 rows it completes).
void StageAccumulate(benchmark::State& state, uint32_t mask) {
  StreamDsp dsp;
  InitStreamDsp(dsp, mask);
  StageData d;
  int16_t* coeffs = StageData::Aligned(d.coeffs);
  int32_t* accum = StageData::Aligned(d.accum);
  int32_t* weights = StageData::Aligned(d.weights);
  StreamDsp plain;
  InitStreamDspPlain(plain);
  const int32_t blocks = kWidth - 7;
  const int16_t* coeffRows[15];
  int32_t* accumRows[15];
  int32_t* weightRows[8];
  for (int r = 0; r < 15; ++r) {
    plain.analyseRow(d.plane.data() + r * kWidth, kWidth, coeffs + r * d.coeffPitch, d.stride);
    for (int u = 0; u < 8; ++u) memset(coeffs + r * d.coeffPitch + u * d.stride + blocks, 0, (d.stride - blocks) * 2);
    coeffRows[r] = coeffs + r * d.coeffPitch;
    accumRows[r] = accum + r * d.accumPitch;
  }
  for (int r = 0; r < 8; ++r) weightRows[r] = weights + r * d.stride;
  const double startCpuNs = ThreadCpuNs();
  for (auto _ : state) dsp.accumulateBlockRows(coeffRows, accumRows, weightRows, 8, blocks, d.stride, d.tables);
  const double cpuNs = ThreadCpuNs() - startCpuNs;
  state.counters["ns/sample"] = benchmark::Counter(8 * SamplesPerRow(), benchmark::Counter::kIsIterationInvariantRate |
                                                                            benchmark::Counter::kInvert);
  // Core cycles per vector of 16 block positions (a band has 8 * blocks).
  if (coreGhz > 0)
    state.counters["cycles/16blocks"] = cpuNs * coreGhz / (static_cast<double>(state.iterations()) * 8 * blocks / 16.0);
}

// The same band in the wide pass, on the picture at 16 bits.
void StageAccumulateWide(benchmark::State& state, uint32_t mask) {
  StreamDsp dsp, plain;
  InitStreamDsp(dsp, mask);
  InitStreamDspPlain(plain);
  StageData d;
  WideBlockStageTables tables;
  PrepareWideBlockStageTables(10, 1, 0, 100, 16, tables);
  std::vector<int32_t> coeffStore(16 * d.coeffPitch + 64, 0);
  std::vector<int64_t> accumStore(16 * d.accumPitch + 64, 0);
  int32_t* coeffs = StageData::Aligned(coeffStore);
  int64_t* accum = StageData::Aligned(accumStore);
  int32_t* weights = StageData::Aligned(d.weights);
  const int32_t blocks = kWidth - 7;
  std::vector<uint16_t> row(kWidth);
  const int32_t* coeffRows[15];
  int64_t* accumRows[15];
  int32_t* weightRows[8];
  for (int r = 0; r < 15; ++r) {
    for (int32_t x = 0; x < kWidth; ++x) row[x] = static_cast<uint16_t>(d.plane[r * kWidth + x] << 8);
    plain.analyseRowWide(row.data(), kWidth, coeffs + r * d.coeffPitch, d.stride);
    for (int u = 0; u < 8; ++u) memset(coeffs + r * d.coeffPitch + u * d.stride + blocks, 0, (d.stride - blocks) * 4);
    coeffRows[r] = coeffs + r * d.coeffPitch;
    accumRows[r] = accum + r * d.accumPitch;
  }
  for (int r = 0; r < 8; ++r) weightRows[r] = weights + r * d.stride;
  const double startCpuNs = ThreadCpuNs();
  for (auto _ : state) dsp.accumulateBlockRowsWide(coeffRows, accumRows, weightRows, 8, blocks, d.stride, tables);
  const double cpuNs = ThreadCpuNs() - startCpuNs;
  state.counters["ns/sample"] = benchmark::Counter(8 * SamplesPerRow(), benchmark::Counter::kIsIterationInvariantRate |
                                                                            benchmark::Counter::kInvert);
  if (coreGhz > 0)
    state.counters["cycles/16blocks"] = cpuNs * coreGhz / (static_cast<double>(state.iterations()) * 8 * blocks / 16.0);
}

void StageSynthesize(benchmark::State& state, uint32_t mask) {
  StreamDsp dsp;
  InitStreamDsp(dsp, mask);
  StageData d;
  int32_t* accum = StageData::Aligned(d.accum);
  std::mt19937 random(3);
  for (int u = 0; u < 8; ++u)
    for (int32_t x = 0; x < kWidth - 7; ++x) accum[u * d.stride + x] = int32_t(random() % 2000000) - 1000000;
  for (auto _ : state) {
    dsp.synthesizeRow(accum, d.stride, kWidth, StageData::Aligned(d.pixel), StageData::Aligned(d.scratch));
    benchmark::ClobberMemory();
  }
  state.counters["ns/sample"] = benchmark::Counter(SamplesPerRow(), benchmark::Counter::kIsIterationInvariantRate |
                                                                        benchmark::Counter::kInvert);
}

void StageNormalize(benchmark::State& state, uint32_t mask) {
  StreamDsp dsp;
  InitStreamDsp(dsp, mask);
  StageData d;
  int32_t* columnWeights = StageData::Aligned(d.columnWeights) + 16;
  for (int32_t x = 0; x < kWidth - 7; ++x) columnWeights[x] = 8 * 300;
  std::vector<int32_t> sums(d.stride + 64);
  for (int32_t x = 0; x < kWidth; ++x) sums[x] = 300 * 64 * 16 * 100 + x;
  int32_t* pixel = StageData::Aligned(d.pixel);
  for (auto _ : state) {
    memcpy(pixel, sums.data(), kWidth * sizeof(int32_t));
    dsp.normalizeRow(pixel, columnWeights, kWidth);
    benchmark::ClobberMemory();
  }
  state.counters["ns/sample"] = benchmark::Counter(SamplesPerRow(), benchmark::Counter::kIsIterationInvariantRate |
                                                                        benchmark::Counter::kInvert);
}

void StageRequantize(benchmark::State& state, uint32_t mask) {
  StreamDsp dsp;
  InitStreamDsp(dsp, mask);
  StageData d;
  std::mt19937 random(4);
  std::vector<int32_t> values(kWidth);
  for (auto& v : values) v = int32_t(random() % 65536);
  std::vector<int32_t> row(kWidth);
  std::vector<uint8_t> out(kWidth);
  int32_t* errors = StageData::Aligned(d.errors);
  int32_t y = 1;
  for (auto _ : state) {
    memcpy(row.data(), values.data(), kWidth * sizeof(int32_t));
    dsp.requantizeRow(row.data(), errors + (y % 3) * d.stride, errors + ((y + 2) % 3) * d.stride,
                      errors + ((y + 1) % 3) * d.stride, out.data(), kWidth, 1 + (y & 511), 1080);
    ++y;
  }
  state.counters["ns/sample"] = benchmark::Counter(SamplesPerRow(), benchmark::Counter::kIsIterationInvariantRate |
                                                                        benchmark::Counter::kInvert);
}

void RegisterAll() {
  benchmark::RegisterBenchmark("Frame1080p/reference", FrameReference)->Unit(benchmark::kMillisecond)->MinTime(2);
  struct Level {
    const char* name;
    uint32_t mask;
  } levels[] = {{"plain", 0}, {"sse2", kCpuSse2}, {"avx2", kCpuSse2 | kCpuAvx2},
                {"avx512", kCpuSse2 | kCpuAvx2 | kCpuAvx512}, {"neon", kCpuNeon}};
  for (const Level& level : levels) {
    if ((DetectCpuFlags() & level.mask) != level.mask) continue;
    const std::string suffix = std::string("/") + level.name;
    benchmark::RegisterBenchmark(("Frame1080p" + suffix).c_str(), FrameStreaming, level.mask)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(2);
    // Wide frames at the levels with wide kernels of their own (the others
    // run the plain ones, a second and more a frame), in shorter runs: the
    // default run stays about as quick as it was.
    StreamDsp dsp;
    InitStreamDsp(dsp, level.mask);
    if (dsp.accumulateBlockRowsWide != AccumulateBlockRowsWidePlain) {
      for (int32_t bits : {16, 10})
        benchmark::RegisterBenchmark(("Frame1080p" + std::to_string(bits) + suffix).c_str(), FrameWide, level.mask,
                                     bits)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.5);
    }
    benchmark::RegisterBenchmark(("StageAnalyseRows" + suffix).c_str(), StageAnalyse, level.mask);
    benchmark::RegisterBenchmark(("StageAccumulateBlocks" + suffix).c_str(), StageAccumulate, level.mask);
    benchmark::RegisterBenchmark(("StageAccumulateBlocks16" + suffix).c_str(), StageAccumulateWide, level.mask);
    benchmark::RegisterBenchmark(("StageSynthesizeRows" + suffix).c_str(), StageSynthesize, level.mask);
    benchmark::RegisterBenchmark(("StageNormalize" + suffix).c_str(), StageNormalize, level.mask);
    benchmark::RegisterBenchmark(("StageRequantize" + suffix).c_str(), StageRequantize, level.mask);
  }
}

}  // namespace
}  // namespace velmoraine

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  velmoraine::coreGhz = velmoraine::CoreCyclesPerNanosecond();
  benchmark::AddCustomContext("core clock (GHz, measured)", std::to_string(velmoraine::coreGhz));
  velmoraine::RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
