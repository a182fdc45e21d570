#include "tools/stream_frame.h"

#include "tools/noise_estimate.h"

namespace velmoraine::tools {
namespace {

constexpr char kPlaneNames[] = {'Y', 'U', 'V', 'A'};

// The plane `r` as one picture, or as its field of rows of `parity` (0 top,
// 1 bottom) when `byField`.
y4m::PlaneRegion Field(const y4m::PlaneRegion& r, bool byField, int parity) {
  if (!byField) return r;
  return {r.data + parity * r.pitch, 2 * r.pitch, r.width, (r.height + 1 - parity) / 2};
}

bool FilterRegion(const y4m::StreamHeader& header, const PreparedFilter& filter, const y4m::PlaneRegion& r) {
  if (r.height == 0) return true;  // the bottom field of a plane one row high
  if (header.bits == 8) return FilterPlane(PlaneView{r.data, r.pitch, r.width, r.height}, filter);
  return FilterPlane(PlaneView16{reinterpret_cast<uint16_t*>(r.data), r.pitch, r.width, r.height, header.bits},
                     filter);
}

}  // namespace

char Interlacing(const y4m::StreamHeader& header) {
  const std::string& line = header.line;
  for (size_t at = line.find(' '); at != std::string::npos; at = line.find(' ', at + 1)) {
    if (line.compare(at, 2, " I") != 0 || at + 3 > line.size()) continue;
    const char tag = line[at + 2];
    const bool alone = at + 3 == line.size() || line[at + 3] == ' ' || line[at + 3] == '\r';
    if (alone && (tag == 't' || tag == 'b' || tag == 'm')) return tag;
  }
  return 'p';
}

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

std::string FilterStreamFrame(const y4m::StreamHeader& header, const PreparedFilter& filter, StreamFrame& frame,
                              bool byField) {
  y4m::PlaneRegion regions[y4m::kMaxPlanes];
  FrameRegions(header, frame, regions);
  const int colourPlanes = header.PlaneCount() < 3 ? header.PlaneCount() : 3;  // alpha passes through
  for (int p = 0; p < colourPlanes; ++p) {
    const y4m::PlaneRegion& r = regions[p];
    const bool done = FilterRegion(header, filter, Field(r, byField, 0)) &&
                      (!byField || FilterRegion(header, filter, Field(r, byField, 1)));
    if (!done)
      return "frame " + std::to_string(frame.number) + ": the " + kPlaneNames[p] + " plane (" +
             std::to_string(r.width) + "x" + std::to_string(r.height) +
             ") could not be filtered: its work buffers could not be allocated";
  }
  return "";
}

void AddLuma(NoiseEstimator& estimator, const y4m::StreamHeader& header, StreamFrame& frame, bool byField) {
  y4m::PlaneRegion regions[y4m::kMaxPlanes];
  FrameRegions(header, frame, regions);
  for (int parity = 0; parity < (byField ? 2 : 1); ++parity) {
    const y4m::PlaneRegion r = Field(regions[0], byField, parity);
    if (r.height == 0) continue;
    if (header.bits == 8)
      estimator.AddPlane(r.data, r.pitch, r.width, r.height);
    else
      estimator.AddPlane16(reinterpret_cast<const uint16_t*>(r.data), r.pitch, r.width, r.height, header.bits);
  }
}

}  // namespace velmoraine::tools
