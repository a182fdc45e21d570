// Which instruction sets the running processor and operating system allow.
#pragma once

#include <stdint.h>

namespace velmoraine {

// Instruction-set levels the fast kernels are written for, as bits of a mask.
enum CpuFlag : uint32_t {
  kCpuAvx2 = 1u << 0,  // AVX2 with the OS saving the 256-bit registers
  kCpuSse2 = 1u << 1,
  // AVX-512 F, BW, VL and VNNI besides AVX2, with the OS saving the mask
  // registers and all 32 512-bit registers
  kCpuAvx512 = 1u << 2,
  // Advanced SIMD of 64-bit ARM, part of every ARMv8-A processor
  kCpuNeon = 1u << 3,
};

// Every level this build knows; a mask of all of them forces nothing down.
constexpr uint32_t kCpuAllFlags = kCpuAvx2 | kCpuSse2 | kCpuAvx512 | kCpuNeon;

// The levels usable here: cpuid and xgetbv on x86, NEON on 64-bit ARM,
// nothing elsewhere.
uint32_t DetectCpuFlags();

}  // namespace velmoraine
