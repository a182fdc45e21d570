// The Linux half of the 64-bit Windows VapourSynth test: runs the cases of
// vapoursynth_cases.h through the Linux library in the VapourSynth stand-in
// and writes every output plane, rows packed, case by case and frame by
// frame, to the file named on the command line.
#include <cstdio>
#include <string>
#include <vector>

#include "tests/hosts/vapoursynth/vapoursynth_host.h"
#include "tests/windows/vapoursynth_cases.h"

int main(int argc, char** argv) {
  using namespace velmoraine::vshost;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FILE\n", argv[0]);
    return 2;
  }
  std::vector<uint8_t> bytes;
  {
    Core core;
    const std::string loaded = core.LoadPlugin(VELMORAINE_PLUGIN_PATH);
    if (!loaded.empty()) {
      std::fprintf(stderr, "%s\n", loaded.c_str());
      return 1;
    }
    for (const vapoursynth_cases::Case& c : vapoursynth_cases::kCases) {
      VSNode* source = core.CreateSource(
          MakeVideoInfo(c.format, c.width, c.height, vapoursynth_cases::kFrames),
          [&c](int n, int p, int x, int y) { return vapoursynth_cases::CaseSample(c, n, p, x, y); });
      Arguments arguments = {{"clip", Clip(source)}, {"T", Int(c.T)}, {"P", Int(c.P)},
                             {"lp", Int(c.lp)}, {"hp", Int(c.hp)}};
      if (c.planeCount >= 0)
        arguments.push_back({"planes", Ints(std::vector<int64_t>(c.planes, c.planes + c.planeCount))});
      InvokeResult result = core.Invoke("velmoraine", "Denoise", arguments);
      core.FreeNode(source);
      if (result.node == nullptr) {
        std::fprintf(stderr, "%s: %s\n", c.name, result.error.c_str());
        return 1;
      }
      for (int n = 0; n < vapoursynth_cases::kFrames; ++n) {
        std::string error;
        const VSFrame* frame = core.GetFrame(result.node, n, &error);
        if (frame == nullptr) {
          std::fprintf(stderr, "%s, frame %d: %s\n", c.name, n, error.c_str());
          return 1;
        }
        for (int p = 0; p < c.format.numPlanes; ++p) {
          const std::vector<uint8_t> plane = Core::PlaneBytes(frame, p);
          bytes.insert(bytes.end(), plane.begin(), plane.end());
        }
        core.FreeFrame(frame);
      }
      core.FreeNode(result.node);
    }
  }
  std::FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      std::fclose(file) != 0) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
