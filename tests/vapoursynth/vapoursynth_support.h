// Shared by the VapourSynth tests: a stand-in core with the plug-in loaded,
// test clips and the planes the plug-in must produce.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/plane_filter.h"
#include "tests/hosts/vapoursynth/vapoursynth_host.h"

namespace vapoursynth_test {

using namespace velmoraine::vshost;

// A smooth ramp plus noise, different per frame and plane, so thresholding
// has something to remove.
inline uint8_t NoisySample(int n, int p, int x, int y) {
  uint32_t h = static_cast<uint32_t>(n * 7919 + p * 104729) ^ static_cast<uint32_t>(x * 2654435761u) ^
               static_cast<uint32_t>(y * 40503u + 17);
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return static_cast<uint8_t>(40 + x + 2 * y + p * 20 + (h >> 27));
}

// The same picture at `bits` (9 to 16) bits per sample: NoisySample in the
// high bits, hashed noise in the low ones, and here and there the word
// 0xFFFF, above 2^bits - 1 below 16 bits (hosts do not clamp samples).
inline uint16_t WideSample(int bits, int n, int p, int x, int y) {
  if ((x * 7 + y * 13 + n * 3 + p) % 89 == 0) return 0xFFFFu;
  const uint32_t noise = NoisySample(n + 5, p, y, x) * 0x0101u;
  return static_cast<uint16_t>(static_cast<uint32_t>(NoisySample(n, p, x, y)) << (bits - 8) |
                               (noise & ((1u << (bits - 8)) - 1u)));
}

inline SampleFunction SamplesFor(const VSVideoFormat& format) {
  if (format.bytesPerSample != 2) return NoisySample;
  const int bits = format.bitsPerSample;
  return [bits](int n, int p, int x, int y) { return WideSample(bits, n, p, x, y); };
}

struct FilterSettings {
  int32_t T = 0, P = 1, lp = 0, hp = 100;
};

// The library under test: the build's, or another copy of it named by
// VELMORAINE_PLUGIN_UNDER_TEST (the one a wheel installed, say).
inline const char* PluginPath() {
  const char* other = std::getenv("VELMORAINE_PLUGIN_UNDER_TEST");
  return other != nullptr && *other != '\0' ? other : VELMORAINE_PLUGIN_PATH;
}

// A core with the library loaded; releases every node it handed out before
// the core's own teardown check runs.
class Session {
 public:
  explicit Session(Options options = {}) : core(options) {
    EXPECT_EQ(core.LoadPlugin(PluginPath()), "");
  }
  ~Session() {
    for (VSNode* node : nodes) core.FreeNode(node);
  }

  VSNode* Source(const VSVideoFormat& format, int width, int height, int frames = 3,
                 int failingFrame = -1) {
    return Keep(core.CreateSource(MakeVideoInfo(format, width, height, frames), SamplesFor(format),
                                  failingFrame));
  }

  // velmoraine.Denoise(arguments): the node (kept) or null with `error`.
  VSNode* Denoise(const Arguments& arguments, std::string* error = nullptr) {
    InvokeResult result = core.Invoke("velmoraine", "Denoise", arguments);
    if (error != nullptr) *error = result.error;
    return result.node != nullptr ? Keep(result.node) : nullptr;
  }

  // The planes of frame n, rows packed; empty when the request failed.
  std::vector<std::vector<uint8_t>> Planes(VSNode* node, int n, std::string* error = nullptr) {
    std::string text;
    const VSFrame* frame = core.GetFrame(node, n, &text);
    if (error != nullptr) *error = text;
    std::vector<std::vector<uint8_t>> planes;
    if (frame == nullptr) return planes;
    for (int p = 0; p < Core::Format(frame).numPlanes; ++p) planes.push_back(Core::PlaneBytes(frame, p));
    core.FreeFrame(frame);
    return planes;
  }

  // Frame n of `source` with the planes in `selected` run through the plane
  // filter at their own sizes and depth.
  std::vector<std::vector<uint8_t>> Expected(VSNode* source, int n, const FilterSettings& s,
                                             std::vector<int> selected = {0, 1, 2}) {
    const VSFrame* frame = core.GetFrame(source, n, nullptr);
    const VSVideoFormat& format = Core::Format(frame);
    std::vector<std::vector<uint8_t>> planes;
    for (int p = 0; p < format.numPlanes; ++p) {
      std::vector<uint8_t> bytes = Core::PlaneBytes(frame, p);
      bool filter = false;
      for (int q : selected) filter = filter || q == p;
      if (filter) FilterBytes(bytes, Core::PlaneWidth(frame, p), Core::PlaneHeight(frame, p), format, s);
      planes.push_back(std::move(bytes));
    }
    core.FreeFrame(frame);
    return planes;
  }

  static void FilterBytes(std::vector<uint8_t>& bytes, int width, int height, const VSVideoFormat& format,
                          const FilterSettings& s) {
    if (format.bytesPerSample == 1) {
      const velmoraine::PlaneView view = {bytes.data(), width, width, height};
      EXPECT_TRUE(velmoraine::FilterPlane(view, s.T, s.P, s.lp, s.hp));
      return;
    }
    std::vector<uint16_t> words(bytes.size() / 2);
    std::memcpy(words.data(), bytes.data(), bytes.size());
    const velmoraine::PlaneView16 view = {words.data(), 2 * width, width, height, format.bitsPerSample};
    EXPECT_TRUE(velmoraine::FilterPlane(view, s.T, s.P, s.lp, s.hp));
    std::memcpy(bytes.data(), words.data(), bytes.size());
  }

  Core core;
  std::vector<VSNode*> nodes;

 private:
  VSNode* Keep(VSNode* node) {
    nodes.push_back(node);
    return node;
  }
};

inline Arguments WithSettings(VSNode* clip, const FilterSettings& s) {
  return {{"clip", Clip(clip)}, {"T", Int(s.T)}, {"P", Int(s.P)}, {"lp", Int(s.lp)},
          {"hp", Int(s.hp)}};
}

}  // namespace vapoursynth_test
