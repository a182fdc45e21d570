// The core's clock rate, measured. A chain of dependent additions retires one
// addition per cycle on every x86 core, so timing a long chain gives the
// cycles per nanosecond the core runs at now. The time-stamp counter ticks at
// a fixed rate that need not be the core's, and virtual machines often hide
// the cycle counters; this works in both cases. The chain is timed in the
// thread's CPU time, like the benchmarks, so time the machine gives to other
// work (or another virtual machine) counts in neither.
#pragma once

#include <cstdint>
#include <ctime>

namespace velmoraine {

// CPU time of the calling thread in nanoseconds.
inline double ThreadCpuNs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return 1e9 * static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec);
}

// Cycles per nanosecond (GHz), the fastest of a few trials of ~5 ms each, or
// 0 where no chain is written for the processor.
inline double CoreCyclesPerNanosecond() {
#if defined(__x86_64__) || defined(__i386__)
  double best = 0;
  for (int trial = 0; trial < 9; ++trial) {
    uint32_t x = 0;
    const double start = ThreadCpuNs();
    for (int i = 0; i < 200000; ++i) __asm__ volatile(".rept 100\n\taddl $1, %0\n\t.endr" : "+r"(x));
    const double ns = ThreadCpuNs() - start;
    const double rate = 200000.0 * 100 / ns;
    best = rate > best ? rate : best;
  }
  return best;
#else
  return 0;
#endif
}

}  // namespace velmoraine
