// Shared helpers of the bit-exactness harness.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/cpu.h"
#include "core/stream_dsp.h"

namespace velmoraine::checkasm {

// A kernel level the machine can run: its name and the CPU mask that forces it.
struct Level {
  std::string name;
  uint32_t mask;
};

// The plain level always, then every faster level the processor has, each
// alone over the plain kernels, then the combination production runs (every
// level, the later ones overriding the earlier).
inline std::vector<Level> AvailableLevels() {
  const uint32_t flags = DetectCpuFlags();
  std::vector<Level> levels{{"plain", 0}};
  if (flags & kCpuSse2) levels.push_back({"sse2", kCpuSse2});
  if (flags & kCpuAvx2) levels.push_back({"avx2", kCpuAvx2});
  if (flags & kCpuAvx512) levels.push_back({"avx512", kCpuAvx512});
  if (flags & kCpuNeon) levels.push_back({"neon", kCpuNeon});
  if ((flags & kCpuSse2) && (flags & kCpuAvx2)) levels.push_back({"sse2+avx2", kCpuSse2 | kCpuAvx2});
  if ((flags & kCpuSse2) && (flags & kCpuAvx2) && (flags & kCpuAvx512))
    levels.push_back({"sse2+avx2+avx512", kCpuSse2 | kCpuAvx2 | kCpuAvx512});
  return levels;
}

inline StreamDsp DspFor(const Level& level) {
  StreamDsp dsp;
  InitStreamDsp(dsp, level.mask);
  return dsp;
}

}  // namespace velmoraine::checkasm
