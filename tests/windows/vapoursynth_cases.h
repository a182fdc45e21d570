// The clips both halves of the 64-bit Windows VapourSynth test use: the
// Linux program that writes the Linux build's frames, and the test host that
// runs velmoraine.dll under wine64 and compares. Freestanding: no standard
// library.
#pragma once

#include <stdint.h>

#include "interface/vapoursynth_interface.h"

namespace vapoursynth_cases {

struct Case {
  const char* name;
  VSVideoFormat format;
  int width, height;
  int64_t T, P, lp, hp;
  int planeCount;  // -1: no planes argument (every plane)
  int64_t planes[3];
};

constexpr VSVideoFormat Format(int colorFamily, int bits, int ssW, int ssH) {
  return VSVideoFormat{colorFamily, stInteger, bits, bits == 8 ? 1 : 2, ssW, ssH, colorFamily == cfGray ? 1 : 3};
}

constexpr int kFrames = 2;

constexpr Case kCases[] = {
    {"YUV420P8 70x46, T=24", Format(cfYUV, 8, 1, 1), 70, 46, 24, 1, 0, 100, -1, {0, 0, 0}},
    {"RGB24 41x23, T=20 P=2 lp=3 hp=80, planes [2, 0]", Format(cfRGB, 8, 0, 0), 41, 23, 20, 2, 3, 80,
     2, {2, 0, 0}},
    {"YUV420P16 46x30, T=24 P=2", Format(cfYUV, 16, 1, 1), 46, 30, 24, 2, 0, 100, -1, {0, 0, 0}},
};
constexpr int kCaseCount = sizeof kCases / sizeof kCases[0];

// Sample x, y of plane p of frame n: a ramp plus hashed noise.
inline uint8_t Sample(int n, int p, int x, int y) {
  uint32_t h = static_cast<uint32_t>(n) * 7919u + static_cast<uint32_t>(p) * 104729u +
               static_cast<uint32_t>(x) * 2654435761u + static_cast<uint32_t>(y) * 40503u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return static_cast<uint8_t>(40u + static_cast<uint32_t>(x) + 2u * static_cast<uint32_t>(y) +
                              static_cast<uint32_t>(p) * 20u + (h >> 27));
}

// The sample of a case's format: Sample at 8 bits; deeper, Sample in the
// high bits and another sample's bits below.
inline uint16_t CaseSample(const Case& c, int n, int p, int x, int y) {
  const int bits = c.format.bitsPerSample;
  if (bits == 8) return Sample(n, p, x, y);
  const uint32_t low = Sample(n + 3, p, y, x) * 0x0101u & ((1u << (bits - 8)) - 1u);
  return static_cast<uint16_t>(static_cast<uint32_t>(Sample(n, p, x, y)) << (bits - 8) | low);
}

inline int PlaneWidth(const Case& c, int p) { return p == 0 ? c.width : c.width >> c.format.subSamplingW; }
inline int PlaneHeight(const Case& c, int p) {
  return p == 0 ? c.height : c.height >> c.format.subSamplingH;
}

}  // namespace vapoursynth_cases
