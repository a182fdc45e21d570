// Frame helpers over this host's buffers.
#include <cstring>
#include <stdexcept>
#include <string>

#include "tests/hosts/avisynth25/frame_buffer.h"
#include "tests/hosts/avisynth25/frame_server.h"

namespace velmoraine::host {

int PlaneIndex(int plane) {
  switch (plane) {
    case 0:
    case PLANAR_Y: return 0;
    case PLANAR_U: return 1;
    case PLANAR_V: return 2;
    default: return -1;
  }
}

const HostBuffer& BufferOf(const PVideoFrame& frame) {
  if (!frame) throw std::invalid_argument("null frame");
  const HostBuffer* buffer = static_cast<const HostBuffer*>(frame->GetFrameBuffer());
  if (buffer == nullptr || buffer->magic != HostBuffer::kMagic) {
    throw std::invalid_argument("frame does not belong to this host");
  }
  return *buffer;
}

namespace {

const PlaneLayout& Layout(const PVideoFrame& frame, int plane) {
  const int index = PlaneIndex(plane);
  if (index < 0) throw std::invalid_argument("unknown plane code " + std::to_string(plane));
  return BufferOf(frame).planes[index];
}

}  // namespace

VideoInfo MakeVideoInfo(int width, int height, int pixel_type, int num_frames,
                        unsigned fps_numerator, unsigned fps_denominator) {
  VideoInfo vi{};
  vi.width = width;
  vi.height = height;
  vi.fps_numerator = fps_numerator;
  vi.fps_denominator = fps_denominator;
  vi.num_frames = num_frames;
  vi.pixel_type = pixel_type;
  return vi;
}

int StoredWidth(const PVideoFrame& frame, int plane) { return Layout(frame, plane).width; }
int StoredHeight(const PVideoFrame& frame, int plane) { return Layout(frame, plane).height; }

void WritePlane(const PVideoFrame& frame, int plane, const uint8_t* src, ptrdiff_t pitch) {
  const PlaneLayout& layout = Layout(frame, plane);
  uint8_t* dst = frame->GetFrameBuffer()->data + layout.offset;
  for (int y = 0; y < layout.height; ++y) {
    std::memcpy(dst + static_cast<ptrdiff_t>(y) * layout.pitch, src + y * pitch,
                static_cast<size_t>(layout.width));
  }
}

void ReadPlane(const PVideoFrame& frame, int plane, uint8_t* dst, ptrdiff_t pitch) {
  const PlaneLayout& layout = Layout(frame, plane);
  const uint8_t* src = frame->GetFrameBuffer()->data + layout.offset;
  for (int y = 0; y < layout.height; ++y) {
    std::memcpy(dst + y * pitch, src + static_cast<ptrdiff_t>(y) * layout.pitch,
                static_cast<size_t>(layout.width));
  }
}

std::vector<uint8_t> PlaneBytes(const PVideoFrame& frame, int plane) {
  const PlaneLayout& layout = Layout(frame, plane);
  std::vector<uint8_t> bytes(static_cast<size_t>(layout.width) *
                             static_cast<size_t>(layout.height));
  if (!bytes.empty()) ReadPlane(frame, plane, bytes.data(), layout.width);
  return bytes;
}

bool GuardsIntact(const PVideoFrame& frame) {
  const HostBuffer& buffer = BufferOf(frame);
  const uint8_t* data = buffer.data;
  for (const PlaneLayout& p : buffer.planes) {
    for (int y = 0; y < p.height; ++y) {
      const size_t row = p.offset + static_cast<size_t>(y) * static_cast<size_t>(p.pitch);
      for (size_t x = row + static_cast<size_t>(p.width); x < row + static_cast<size_t>(p.pitch);
           ++x) {
        if (data[x] != GuardByte(x)) return false;
      }
    }
  }
  for (size_t x = buffer.planesEnd; x < buffer.planesEnd + kTailGuard; ++x) {
    if (data[x] != GuardByte(x)) return false;
  }
  return true;
}

}  // namespace velmoraine::host
