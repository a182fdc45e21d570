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

// The plain level always, then every faster level the processor has.
inline std::vector<Level> AvailableLevels() {
  std::vector<Level> levels{{"plain", 0}};
  if (DetectCpuFlags() & kCpuSse2) levels.push_back({"sse2", kCpuSse2});
  if (DetectCpuFlags() & kCpuAvx2) levels.push_back({"avx2", kCpuAvx2});
  return levels;
}

inline StreamDsp DspFor(const Level& level) {
  StreamDsp dsp;
  InitStreamDsp(dsp, level.mask);
  return dsp;
}

}  // namespace velmoraine::checkasm
