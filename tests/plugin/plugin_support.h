// Shared by the plug-in tests: the loaded library and test frames.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/hosts/avisynth25/frame_server.h"
#include "plugin/avisynth25_filter.h"

namespace plugin_test {

using namespace velmoraine::host;

// A frame whose stored planes hold a fixed pseudo-random pattern.
inline PVideoFrame NoiseFrame(ScriptEnvironment& env, const VideoInfo& vi, uint32_t seed) {
  PVideoFrame f = env.NewVideoFrame(vi);
  uint32_t state = seed * 2654435761u + 1u;
  for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
    const int w = StoredWidth(f, plane);
    const int h = StoredHeight(f, plane);
    std::vector<uint8_t> bytes(static_cast<size_t>(w) * static_cast<size_t>(h));
    for (size_t i = 0; i < bytes.size(); ++i) {
      state = state * 1664525u + 1013904223u;
      // A smooth ramp plus noise, so thresholding has something to remove.
      bytes[i] = static_cast<uint8_t>(64 + (i % static_cast<size_t>(w)) / 2 + (state >> 28));
    }
    if (!bytes.empty()) WritePlane(f, plane, bytes.data(), w);
  }
  return f;
}

// A clip of `frames` noise frames.
inline PClip NoiseClip(ScriptEnvironment& env, const VideoInfo& vi, MemoryClip** memory = nullptr) {
  MemoryClip* clip = new MemoryClip(vi);
  for (int n = 0; n < vi.num_frames; ++n) clip->SetFrame(n, NoiseFrame(env, vi, static_cast<uint32_t>(n + 1)));
  if (memory) *memory = clip;
  return PClip(clip);
}

// The stored plane filtered directly by the core: what the plug-in must
// produce from it (only the exposed part W/2 x H/2 of 4:2:0 chroma is
// filtered; a spilled column or row stays as it was).
inline std::vector<uint8_t> Expected(const PVideoFrame& source, int plane, int32_t T, int32_t P,
                                     int32_t lp, int32_t hp) {
  std::vector<uint8_t> bytes = PlaneBytes(source, plane);
  const int stored = StoredWidth(source, plane);
  const velmoraine::PlaneView view = {bytes.data(), stored, source->GetRowSize(plane),
                                      source->GetHeight(plane)};
  if (view.width > 0 && view.height > 0) {
    EXPECT_TRUE(velmoraine::FilterPlane(view, T, P, lp, hp));
  }
  return bytes;
}

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override { init_text = env.LoadPlugin(VELMORAINE_PLUGIN_PATH); }

  // Calls velmoraine(clip, ...) and returns the error text, or "" on success.
  std::string Refusal(const PClip& clip, const std::vector<AVSValue>& more,
                      const std::vector<const char*>& names = {}) {
    std::vector<AVSValue> args{AVSValue(clip)};
    args.insert(args.end(), more.begin(), more.end());
    std::vector<const char*> all{nullptr};
    all.insert(all.end(), names.begin(), names.end());
    try {
      env.Call("velmoraine", args, all);
    } catch (const AvisynthError& e) {
      return e.msg;
    }
    return "";
  }

  ScriptEnvironment env;
  std::string init_text;
};

}  // namespace plugin_test
