// Fuzz target: the VapourSynth entry's argument map, through the strict
// stand-in host (tests/hosts/vapoursynth/), which loads the real plug-in
// library by path once per process.
//
// From the input: a source clip (the formats a host makes: gray, YUV and RGB
// of 8, 10, 16 bits or float, any subsampling, or a size that varies; up to
// 40 x 40) and up to six entries of the argument map: the filter's names, a
// case variant or an unknown one, each with zero to four integers of any
// value or a clip (the source, twice sometimes). The host checks them against
// the declared arguments as the real host does; what passes reaches the
// plug-in. An accepted filter serves a frame (one that fails, sometimes).
// Checked:
//   - the answer is a node or an error with a message;
//   - a frame comes back, or an error with a message;
//   - no node or frame is left once the caller released its own (the
//     stand-in itself aborts on guard bytes, a use after release, a request
//     outside the declared dependencies, the SSE control register, ...).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/hosts/vapoursynth/vapoursynth_host.h"

namespace {

namespace vshost = velmoraine::vshost;

[[noreturn]] void Fault(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "fuzz_vs_entry: %s %s\n", what, detail.c_str());
  std::abort();
}

vshost::Core& TheCore() {
  static vshost::Core* core = [] {
    auto* made = new vshost::Core();  // lives as long as the process
    const std::string error = made->LoadPlugin(VELMORAINE_PLUGIN_PATH);
    if (!error.empty()) Fault("the plug-in did not load:", error);
    return made;
  }();
  return *core;
}

VSVideoInfo MakeSourceInfo(FuzzedDataProvider& in) {
  const int family = in.ConsumeIntegralInRange<int>(cfGray, cfYUV);
  const bool floating = in.ConsumeIntegralInRange<int>(0, 7) == 0;
  const int bits = floating ? 32 : (in.ConsumeBool() ? 8 : in.PickValueInArray({10, 16}));
  const int ssW = family == cfYUV ? in.ConsumeIntegralInRange<int>(0, 2) : 0;
  const int ssH = family == cfYUV ? in.ConsumeIntegralInRange<int>(0, 2) : 0;
  const VSVideoFormat format = vshost::MakeFormat(family, floating ? stFloat : stInteger, bits, ssW, ssH);
  // Whole chroma samples: the host makes no other constant-format clip.
  int width = in.ConsumeIntegralInRange<int>(1, 40 >> ssW) << ssW;
  int height = in.ConsumeIntegralInRange<int>(1, 40 >> ssH) << ssH;
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) width = height = 0;  // a size that varies
  return vshost::MakeVideoInfo(format, width, height, in.ConsumeIntegralInRange<int>(1, 3));
}

const char* const kNames[] = {"clip", "T", "P", "lp", "hp", "planes", "t", "Planes", "threads"};

vshost::Arguments MakeArguments(FuzzedDataProvider& in, VSNode* source) {
  vshost::Arguments arguments;
  if (in.ConsumeIntegralInRange<int>(0, 7) != 0) arguments.push_back({"clip", vshost::Clip(source)});
  const int count = in.ConsumeIntegralInRange<int>(0, 5);
  for (int i = 0; i < count; ++i) {
    const std::string name = in.PickValueInArray(kNames);
    vshost::Argument argument;
    const int kind = in.ConsumeIntegralInRange<int>(0, 4);
    if (kind == 0) {
      argument.nodes.assign(in.ConsumeIntegralInRange<size_t>(1, 2), source);
    } else {
      const size_t values = in.ConsumeIntegralInRange<size_t>(kind == 1 ? 0 : 1, 4);
      for (size_t k = 0; k < values; ++k)
        argument.ints.push_back(kind == 2 ? in.ConsumeIntegral<int64_t>() : in.ConsumeIntegralInRange<int64_t>(-3, 120));
    }
    arguments.push_back({name, argument});
  }
  return arguments;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vshost::Core& core = TheCore();
  FuzzedDataProvider in(data, size);
  const VSVideoInfo vi = MakeSourceInfo(in);
  const int failing = in.ConsumeIntegralInRange<int>(-1, 2);
  const uint8_t seed = in.ConsumeIntegral<uint8_t>();
  VSNode* source = core.CreateSource(
      vi, [seed](int n, int p, int x, int y) { return static_cast<uint8_t>(seed + n * 7 + p * 50 + x * 3 + ((x ^ y) & 8) * 9); },
      failing);
  const vshost::Arguments arguments = MakeArguments(in, source);
  const int frame = in.ConsumeIntegralInRange<int>(0, 2);

  vshost::InvokeResult result = core.Invoke("velmoraine", "Denoise", arguments);
  core.FreeNode(source);
  if (result.node != nullptr) {
    if (vi.width > 0 && frame < vi.numFrames) {
      std::string error;
      const VSFrame* got = core.GetFrame(result.node, frame, &error);
      if (got != nullptr)
        core.FreeFrame(got);
      else if (error.empty())
        Fault("a frame failed without a message");
    }
    core.FreeNode(result.node);
  } else if (result.error.empty()) {
    Fault("neither a node nor an error");
  }
  if (core.LiveFrames() != 0 || core.LiveNodes() != 0) Fault("a node or frame reference was left");
  return 0;
}
