// The frames and parameter sets that the 64-bit Windows test host filters
// through the plain-C entry, shared by the Linux program that writes the
// expected planes (c_expected_frames.cpp) and the host itself
// (x64/wine64_c_host.cpp). Samples come from the stand-in host's sources
// (StandinSample), the same on both sides.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "tests/hosts/avisynth_c/standin_api.h"
#include "interface/avisynth_c_interface.h"

namespace wintest_c {

struct FrameCase {
  uint32_t pixelType;
  int32_t width;
  int32_t height;
  uint32_t seed;
};

// Three formats at sizes off the 8 grid, one of 16-bit samples; 14x20 4:2:0
// has chroma narrower than a block (left unchanged).
constexpr FrameCase kFrameCases[] = {
    {AVS_CS_YV12, 38, 30, 1u}, {AVS_CS_YV12, 64, 48, 2u}, {AVS_CS_YV12, 14, 20, 3u},
    {AVS_CS_YV24, 37, 29, 4u}, {AVS_CS_YV24, 40, 16, 5u},
    {AVS_CS_GENERIC_YUV420 | AVS_CS_SAMPLE_BITS_16, 38, 30, 6u},
};
constexpr int kFrameCaseCount = sizeof(kFrameCases) / sizeof(kFrameCases[0]);

struct ParamCase {
  int32_t T, P, lp, hp;
};

// The first set is the defaults (no arguments); the others are passed by name.
constexpr ParamCase kParamCases[] = {
    {0, 1, 0, 100}, {24, 1, 0, 100}, {40, 0, 2, 50}, {30, 2, 0, 100}, {35, 11, 0, 100}, {20, 1, 9, 3},
};
constexpr int kParamCaseCount = sizeof(kParamCases) / sizeof(kParamCases[0]);

inline int PlaneCount(const FrameCase& c) {
  return (c.pixelType & AVS_CS_PLANAR_FAMILY_MASK) == AVS_CS_Y8 ? 1 : 3;
}
inline int Bits(const FrameCase& c) { return StandinSampleBits(c.pixelType); }
inline int32_t BytesPerSample(const FrameCase& c) { return Bits(c) == 8 ? 1 : 2; }
// In samples.
inline int32_t PlaneWidth(const FrameCase& c, int plane) {
  return plane == 0 ? c.width : c.width >> AvsSubsamplingShiftX(c.pixelType);
}
inline int32_t PlaneHeight(const FrameCase& c, int plane) {
  return plane == 0 ? c.height : c.height >> AvsSubsamplingShiftY(c.pixelType);
}

}  // namespace wintest_c
