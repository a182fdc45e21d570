// The frames and parameter sets that the Windows plug-in test filters, shared
// by the Linux program that writes the expected planes (expected_frames.cpp)
// and the 32-bit Windows test host that compares against them (x86/wine_host.cpp).
// Plain C++ on 32-bit unsigned arithmetic, so both compilers produce the very
// same samples without any library.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace wintest {

struct FrameCase {
  int32_t width;  // luma; chroma is half of it, rounded down
  int32_t height;
  uint32_t seed;
};

// Ordinary, odd and tiny sizes: 37x29 has odd chroma, 12x12 has chroma planes
// smaller than one block (left unchanged), 6x6 has no plane big enough at all.
constexpr FrameCase kFrameCases[] = {
    {64, 48, 1u}, {37, 29, 2u}, {16, 16, 3u}, {12, 12, 4u}, {6, 6, 5u}, {96, 40, 6u},
};
constexpr int kFrameCaseCount = sizeof(kFrameCases) / sizeof(kFrameCases[0]);

struct ParamCase {
  int32_t T, P, lp, hp;
};

// The first set is the defaults; the others are passed as script arguments.
constexpr ParamCase kParamCases[] = {
    {0, 1, 0, 100}, {24, 1, 0, 100}, {40, 0, 2, 50}, {30, 2, 0, 100},
    {30, 3, 0, 100}, {35, 11, 0, 100}, {60, 7, 5, 20}, {20, 1, 9, 3},
};
constexpr int kParamCaseCount = sizeof(kParamCases) / sizeof(kParamCases[0]);

inline int32_t PlaneWidth(const FrameCase& c, int plane) { return plane == 0 ? c.width : c.width / 2; }
inline int32_t PlaneHeight(const FrameCase& c, int plane) { return plane == 0 ? c.height : c.height / 2; }

// Sample (x, y) of plane 0 (Y), 1 (U) or 2 (V) of a frame case: smooth
// gradients and edges with hashed noise on top, so that thresholding has
// something to remove and something to keep.
inline uint8_t CaseSample(const FrameCase& c, int plane, int32_t x, int32_t y) {
  uint32_t h = c.seed * 0x9E3779B1u + static_cast<uint32_t>(plane) * 0x85EBCA77u;
  h ^= static_cast<uint32_t>(x) * 0xC2B2AE3Du;
  h ^= static_cast<uint32_t>(y) * 0x27D4EB2Fu;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  uint32_t base = static_cast<uint32_t>(x * 3 + y * 2) + c.seed * 17u + static_cast<uint32_t>(plane) * 40u;
  if (((x / 8) + (y / 5)) % 3 == 0) base += 60u;  // blocky edges
  uint32_t noise = h % 25u;
  return static_cast<uint8_t>((base + noise) & 0xFFu);
}

// Size in bytes of the packed Y, U and V planes of one case.
inline size_t CaseBytes(const FrameCase& c) {
  size_t total = 0;
  for (int plane = 0; plane < 3; ++plane)
    total += static_cast<size_t>(PlaneWidth(c, plane)) * static_cast<size_t>(PlaneHeight(c, plane));
  return total;
}

}  // namespace wintest
