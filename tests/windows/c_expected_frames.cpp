// Writes the planes that the Linux build makes of the 64-bit Windows test's
// frames: every frame case of c_frame_cases.h (frame 0 of a stand-in source)
// filtered with every parameter set, plane by plane through FilterPlane, as
// the plain-C entry filters a frame. The 64-bit Windows test host compares
// velmoraine.dll's output with this file byte for byte.
//
//   windows_c_expected_frames OUTPUT_FILE
//
// File: "VMCEXPCT", the counts of frame and parameter cases (two
// little-endian 32-bit integers), then for each frame case and each parameter
// set its planes packed row after row.
#include <cstdint>
#include <fstream>
#include <iostream>
#include <vector>

#include "core/plane_filter.h"
#include "tests/windows/c_frame_cases.h"

namespace {

// One plane of frame 0 of a stand-in source, filtered, in the host's bytes
// (16-bit words in the machine's order, as on Windows).
bool WritePlane(std::ofstream& out, const wintest_c::FrameCase& frame, int plane, int32_t width, int32_t height,
                const wintest_c::ParamCase& params) {
  const size_t count = static_cast<size_t>(width) * height;
  if (wintest_c::Bits(frame) == 8) {
    std::vector<uint8_t> samples(count + 1);
    for (int32_t y = 0; y < height; ++y)
      for (int32_t x = 0; x < width; ++x)
        samples[static_cast<size_t>(y) * width + x] = StandinSample(frame.seed, 0, plane, x, y);
    velmoraine::PlaneView view{samples.data(), width, width, height};
    if (!velmoraine::FilterPlane(view, params.T, params.P, params.lp, params.hp)) return false;
    out.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(count));
    return true;
  }
  std::vector<uint16_t> words(count + 1);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      words[static_cast<size_t>(y) * width + x] = StandinSample16(frame.seed, 0, plane, x, y, wintest_c::Bits(frame));
  velmoraine::PlaneView16 view{words.data(), 2 * width, width, height, wintest_c::Bits(frame)};
  if (!velmoraine::FilterPlane(view, params.T, params.P, params.lp, params.hp)) return false;
  out.write(reinterpret_cast<const char*>(words.data()), static_cast<std::streamsize>(2 * count));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: windows_c_expected_frames OUTPUT_FILE\n";
    return 2;
  }
  std::ofstream out(argv[1], std::ios::binary);
  if (!out) {
    std::cerr << "windows_c_expected_frames: cannot write " << argv[1] << "\n";
    return 1;
  }
  out.write("VMCEXPCT", 8);
  for (uint32_t count : {uint32_t(wintest_c::kFrameCaseCount), uint32_t(wintest_c::kParamCaseCount)})
    for (int i = 0; i < 4; ++i) out.put(static_cast<char>((count >> (8 * i)) & 0xFFu));
  for (const wintest_c::FrameCase& frame : wintest_c::kFrameCases) {
    for (const wintest_c::ParamCase& params : wintest_c::kParamCases) {
      for (int plane = 0; plane < wintest_c::PlaneCount(frame); ++plane) {
        const int32_t width = wintest_c::PlaneWidth(frame, plane);
        const int32_t height = wintest_c::PlaneHeight(frame, plane);
        if (!WritePlane(out, frame, plane, width, height, params)) {
          std::cerr << "windows_c_expected_frames: FilterPlane failed on a " << width << "x" << height << " plane\n";
          return 1;
        }
      }
    }
  }
  out.close();
  if (!out) {
    std::cerr << "windows_c_expected_frames: writing " << argv[1] << " failed\n";
    return 1;
  }
  return 0;
}
