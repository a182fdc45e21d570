// Writes the planes that the Linux build makes of the Windows test's frames:
// every frame case of frame_cases.h filtered with every parameter set, plane
// by plane through FilterPlane, exactly as the plug-in filters a frame. The
// 32-bit Windows test host compares velmoraine.dll's output with this file
// byte for byte.
//
//   windows_expected_frames OUTPUT_FILE
//
// File: "VMEXPECT", the counts of frame and parameter cases (two little-endian
// 32-bit integers), then for each frame case and each parameter set the Y, U
// and V planes packed row after row.
#include <cstdint>
#include <fstream>
#include <iostream>
#include <vector>

#include "core/plane_filter.h"
#include "tests/windows/frame_cases.h"

namespace {

void PutUint32(std::ofstream& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFFu));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: windows_expected_frames OUTPUT_FILE\n";
    return 2;
  }
  std::ofstream out(argv[1], std::ios::binary);
  if (!out) {
    std::cerr << "windows_expected_frames: cannot write " << argv[1] << "\n";
    return 1;
  }
  out.write("VMEXPECT", 8);
  PutUint32(out, wintest::kFrameCaseCount);
  PutUint32(out, wintest::kParamCaseCount);
  for (const wintest::FrameCase& frame : wintest::kFrameCases) {
    for (const wintest::ParamCase& params : wintest::kParamCases) {
      for (int plane = 0; plane < 3; ++plane) {
        const int32_t width = wintest::PlaneWidth(frame, plane);
        const int32_t height = wintest::PlaneHeight(frame, plane);
        std::vector<uint8_t> samples(static_cast<size_t>(width) * height + 1);
        for (int32_t y = 0; y < height; ++y)
          for (int32_t x = 0; x < width; ++x)
            samples[static_cast<size_t>(y) * width + x] = wintest::CaseSample(frame, plane, x, y);
        velmoraine::PlaneView view{samples.data(), width, width, height};
        if (!velmoraine::FilterPlane(view, params.T, params.P, params.lp, params.hp)) {
          std::cerr << "windows_expected_frames: FilterPlane failed on a " << width << "x" << height
                    << " plane\n";
          return 1;
        }
        out.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(width) * height);
      }
    }
  }
  out.close();
  if (!out) {
    std::cerr << "windows_expected_frames: writing " << argv[1] << " failed\n";
    return 1;
  }
  return 0;
}
