// Processor feature detection with cpuid. AVX2 and AVX-512 count only when
// the operating system also saves the registers they use (XCR0), otherwise
// their first instruction would fault.
#include "core/cpu.h"

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#define VELMORAINE_X86 1
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace velmoraine {

#if defined(VELMORAINE_X86)
namespace {

void Cpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) {
#if defined(_MSC_VER) && !defined(__clang__)
  int out[4];
  __cpuidex(out, static_cast<int>(leaf), static_cast<int>(subleaf));
  for (int i = 0; i < 4; ++i) regs[i] = static_cast<uint32_t>(out[i]);
#else
  unsigned a, b, c, d;
  __cpuid_count(leaf, subleaf, a, b, c, d);
  regs[0] = a, regs[1] = b, regs[2] = c, regs[3] = d;
#endif
}

uint64_t ReadXcr0() {
#if defined(_MSC_VER) && !defined(__clang__)
  return _xgetbv(0);
#else
  uint32_t low, high;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (static_cast<uint64_t>(high) << 32) | low;
#endif
}

}  // namespace

uint32_t DetectCpuFlags() {
  uint32_t regs[4];
  Cpuid(0, 0, regs);
  const uint32_t maxLeaf = regs[0];
  if (maxLeaf < 1) return 0;
  Cpuid(1, 0, regs);
  uint32_t flags = 0;
  if ((regs[3] >> 26) & 1) flags |= kCpuSse2;
  const bool osxsave = (regs[2] >> 27) & 1, avx = (regs[2] >> 28) & 1;
  if (maxLeaf < 7 || !osxsave || !avx) return flags;
  const uint64_t xcr0 = ReadXcr0();
  if ((xcr0 & 6) != 6) return flags;  // XMM and YMM state enabled
  Cpuid(7, 0, regs);
  if (((regs[1] >> 5) & 1) == 0) return flags;
  flags |= kCpuAvx2;
  // AVX-512: F (EBX bit 16), BW (30), VL (31), VNNI (ECX bit 11); the OS
  // saves the mask registers and the upper halves of zmm0-15 and zmm16-31
  // (XCR0 bits 5, 6 and 7).
  const bool avx512 = ((regs[1] >> 16) & 1) && ((regs[1] >> 30) & 1) && ((regs[1] >> 31) & 1) && ((regs[2] >> 11) & 1);
  if (avx512 && (xcr0 & 0xE6) == 0xE6) flags |= kCpuAvx512;
  return flags;
}

#elif defined(__aarch64__) || defined(_M_ARM64)

// Advanced SIMD is mandatory in the 64-bit ARM architecture (ARMv8-A) and in
// the Linux and Windows ABIs for it: nothing to ask.
uint32_t DetectCpuFlags() { return kCpuNeon; }

#else

uint32_t DetectCpuFlags() { return 0; }

#endif

}  // namespace velmoraine
