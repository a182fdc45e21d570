#include "tools/stream_frame.h"

#include "tools/noise_estimate.h"

namespace velmoraine::tools {
namespace {

constexpr char kPlaneNames[] = {'Y', 'U', 'V', 'A'};

}  // namespace

void FrameRegions(const y4m::StreamHeader& header, StreamFrame& frame, y4m::PlaneRegion regions[y4m::kMaxPlanes]) {
  uint8_t* at = frame.Bytes();
  const int sample = header.BytesPerSample();
  for (int p = 0; p < header.PlaneCount(); ++p) {
    const int width = header.PlaneWidth(p), height = header.PlaneHeight(p);
    regions[p] = {at, static_cast<ptrdiff_t>(width) * sample, width, height};
    at += static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(sample);
  }
}

std::unique_ptr<StreamFrame> ReadStreamFrame(y4m::Reader& reader) {
  auto frame = std::make_unique<StreamFrame>();
  if (!reader.ReadFrameHeader(frame->parameters)) return nullptr;
  // The frame's memory is reserved now that the stream has shown a frame,
  // and taken as its samples arrive: a header that claims a huge frame
  // costs only the address space of what it claims.
  frame->words.reserve((reader.header().FrameBytes() + 1) / 2);
  frame->number = reader.framesRead();
  reader.ReadFrameGrowing([&frame](size_t bytes) {
    frame->words.resize((bytes + 1) / 2);
    return frame->Bytes();
  });
  return frame;
}

void WriteStreamFrame(y4m::Writer& writer, const y4m::StreamHeader& header, StreamFrame& frame) {
  y4m::PlaneRegion regions[y4m::kMaxPlanes];
  FrameRegions(header, frame, regions);
  writer.WriteFrame(frame.parameters, regions, {});
}

void PrepareStreamFilter(const y4m::StreamHeader& header, int32_t T, int32_t P, int32_t lp, int32_t hp,
                         PreparedFilter& filter) {
  if (header.bits == 8)
    PrepareFilter(T, P, lp, hp, kCpuAllFlags, filter);
  else
    PrepareFilter(T, P, lp, hp, header.bits, kCpuAllFlags, filter);
}

std::string FilterStreamFrame(const y4m::StreamHeader& header, const PreparedFilter& filter, StreamFrame& frame) {
  y4m::PlaneRegion regions[y4m::kMaxPlanes];
  FrameRegions(header, frame, regions);
  const int colourPlanes = header.PlaneCount() < 3 ? header.PlaneCount() : 3;  // alpha passes through
  for (int p = 0; p < colourPlanes; ++p) {
    const y4m::PlaneRegion& r = regions[p];
    const bool done =
        header.bits == 8
            ? FilterPlane(PlaneView{r.data, r.pitch, r.width, r.height}, filter)
            : FilterPlane(PlaneView16{reinterpret_cast<uint16_t*>(r.data), r.pitch, r.width, r.height, header.bits},
                          filter);
    if (!done)
      return "frame " + std::to_string(frame.number) + ": the " + kPlaneNames[p] + " plane (" +
             std::to_string(r.width) + "x" + std::to_string(r.height) +
             ") could not be filtered: its work buffers could not be allocated";
  }
  return "";
}

void AddLuma(NoiseEstimator& estimator, const y4m::StreamHeader& header, StreamFrame& frame) {
  if (header.bits == 8)
    estimator.AddPlane(frame.Bytes(), header.width, header.width, header.height);
  else
    estimator.AddPlane16(frame.words.data(), 2 * static_cast<ptrdiff_t>(header.width), header.width,
                         header.height, header.bits);
}

}  // namespace velmoraine::tools
