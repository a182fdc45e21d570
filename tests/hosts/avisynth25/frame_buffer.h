// This host's frame buffers: where the planes and their guard bytes lie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "interface/avisynth_interface.h"

namespace velmoraine::host {

// Bytes after the last plane that hold the guard pattern.
constexpr size_t kTailGuard = 64;
// Rows are padded to at least this many guard bytes, then to the alignment.
constexpr int kMinRowGuard = 16;
constexpr int kPitchAlign = 64;

struct PlaneLayout {
  size_t offset = 0;  // from data
  int width = 0;      // stored bytes per row
  int height = 0;     // stored rows
  int pitch = 0;
};

struct HostBuffer : VideoFrameBuffer {
  static constexpr uint32_t kMagic = 0x766d4642;  // tells our buffers from others
  uint32_t magic = kMagic;
  std::unique_ptr<uint8_t[]> block;  // data points into it, aligned
  size_t planesEnd = 0;              // the tail guard starts here
  VideoInfo vi{};                     // what the frame was made for
  PlaneLayout planes[3];              // Y, U, V; U and V empty without chroma
};

// Guard byte expected at a position of the buffer.
inline uint8_t GuardByte(size_t position) {
  return static_cast<uint8_t>(0xA5u ^ ((position * 29u) & 0xFFu));
}

// The buffer of one of this host's frames; throws std::invalid_argument for
// a null frame or a frame of another host.
const HostBuffer& BufferOf(const PVideoFrame& frame);

// Index 0, 1, 2 for PLANAR_Y (or 0), PLANAR_U, PLANAR_V; -1 otherwise.
int PlaneIndex(int plane);

}  // namespace velmoraine::host
