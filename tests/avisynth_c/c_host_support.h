// Shared by the plain-C entry tests: the stand-in host, loaded by absolute
// path with local scope from a folder outside the search path (as ffmpeg
// loads a real host), its functions looked up by name, and the plug-in
// loaded through it.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/hosts/avisynth_c/standin_api.h"
#include "interface/avisynth_c_interface.h"

namespace c_entry_test {

struct Host {
  void* library = nullptr;
  const StandinApi* api = nullptr;
  avs_get_frame_func get_frame = nullptr;
  avs_release_video_frame_func release_frame = nullptr;
  avs_release_clip_func release_clip = nullptr;
  avs_clip_get_error_func clip_get_error = nullptr;
  avs_get_pitch_p_func pitch = nullptr;
  avs_get_row_size_p_func row_size = nullptr;
  avs_get_height_p_func height = nullptr;
  const uint8_t* (*read_ptr)(const AVS_VideoFrame*, int) = nullptr;
};

// The host library, opened once per test program.
inline Host& OpenHost(const char* path) {
  static Host host;
  if (host.library != nullptr) return host;
  host.library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (host.library == nullptr) {
    ADD_FAILURE() << "cannot open the stand-in host " << path << ": " << dlerror();
    return host;
  }
  auto find = [](const char* name) {
    void* symbol = dlsym(host.library, name);
    EXPECT_NE(symbol, nullptr) << name;
    return symbol;
  };
  host.api = reinterpret_cast<StandinApiFunc>(find("velmoraine_standin_api"))();
  host.get_frame = reinterpret_cast<avs_get_frame_func>(find("avs_get_frame"));
  host.release_frame = reinterpret_cast<avs_release_video_frame_func>(find("avs_release_video_frame"));
  host.release_clip = reinterpret_cast<avs_release_clip_func>(find("avs_release_clip"));
  host.clip_get_error = reinterpret_cast<avs_clip_get_error_func>(find("avs_clip_get_error"));
  host.pitch = reinterpret_cast<avs_get_pitch_p_func>(find("avs_get_pitch_p"));
  host.row_size = reinterpret_cast<avs_get_row_size_p_func>(find("avs_get_row_size_p"));
  host.height = reinterpret_cast<avs_get_height_p_func>(find("avs_get_height_p"));
  host.read_ptr = reinterpret_cast<const uint8_t* (*)(const AVS_VideoFrame*, int)>(find("avs_get_read_ptr_p"));
  return host;
}

inline AVS_Value Int(int32_t v) {
  AVS_Value value{};
  value.type = AVS_TYPE_INT;
  value.d.integer = v;
  return value;
}

inline AVS_Value Long(int64_t v) {
  AVS_Value value{};
  value.type = AVS_TYPE_LONG;
  value.d.longlong = v;
  return value;
}

inline StandinSourceSettings Source(int32_t width, int32_t height, uint32_t pixelType, uint32_t seed = 1,
                                int32_t frames = 4) {
  StandinSourceSettings settings{};
  settings.width = width;
  settings.height = height;
  settings.pixel_type = static_cast<int32_t>(pixelType);
  settings.num_frames = frames;
  settings.seed = seed;
  settings.failing_frame = -1;
  settings.property_base = 1000;
  return settings;
}

// One plane's bytes, row after row without padding; width in bytes.
struct Plane {
  int32_t width = 0, height = 0;
  std::vector<uint8_t> samples;
  bool operator==(const Plane& o) const {
    return width == o.width && height == o.height && samples == o.samples;
  }
};

// Every plane of a frame in the host's order (Y, U, V or G, B, R, then A),
// rows packed, row_size bytes each: the stand-in answers 0 for the ids its
// format lacks.
inline std::vector<Plane> ReadPlanes(const Host& host, const AVS_VideoFrame* frame) {
  std::vector<Plane> planes;
  for (int id : {AVS_PLANAR_Y, AVS_PLANAR_U, AVS_PLANAR_V, AVS_PLANAR_G, AVS_PLANAR_B, AVS_PLANAR_R, AVS_PLANAR_A}) {
    Plane p;
    p.width = host.row_size(frame, id);
    p.height = host.height(frame, id);
    if (p.width <= 0 || p.height <= 0) continue;
    const uint8_t* data = host.read_ptr(frame, id);
    const int pitch = host.pitch(frame, id);
    for (int32_t y = 0; y < p.height; ++y)
      p.samples.insert(p.samples.end(), data + static_cast<ptrdiff_t>(y) * pitch,
                       data + static_cast<ptrdiff_t>(y) * pitch + p.width);
    planes.push_back(std::move(p));
  }
  return planes;
}

// FNV-1a, 64 bits, over the bytes of every plane in order.
inline uint64_t Checksum(const std::vector<Plane>& planes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (const Plane& p : planes)
    for (uint8_t b : p.samples) h = (h ^ b) * 0x100000001b3ull;
  return h;
}

// Frame n of a clip as planes, or the clip's error text.
inline std::vector<Plane> FetchPlanes(const Host& host, AVS_Clip* clip, int n, std::string* error = nullptr) {
  AVS_VideoFrame* frame = host.get_frame(clip, n);
  if (frame == nullptr) {
    const char* text = host.clip_get_error(clip);
    if (error != nullptr) *error = text != nullptr ? text : "(no message)";
    return {};
  }
  std::vector<Plane> planes = ReadPlanes(host, frame);
  host.release_frame(frame);
  return planes;
}

// Calls velmoraine on a new source clip. Returns the clip value (release it)
// or an error value; the source reference is given back here.
inline AVS_Value Invoke(const Host& host, const StandinSourceSettings& settings,
                        const std::vector<StandinArgument>& arguments) {
  AVS_Clip* source = host.api->new_source(&settings);
  AVS_Value result = host.api->invoke("velmoraine", source, arguments.data(), static_cast<int>(arguments.size()));
  host.release_clip(source);
  return result;
}

}  // namespace c_entry_test
