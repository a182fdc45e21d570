#include "tools/y4m_clip.h"

#include <climits>
#include <cstring>

namespace velmoraine::tools {

VideoInfo VideoInfoForStream(const y4m::StreamHeader& header) {
  VideoInfo vi;
  std::memset(&vi, 0, sizeof vi);
  vi.width = header.width;
  vi.height = header.height;
  vi.fps_numerator = header.fpsNumerator;
  vi.fps_denominator = header.fpsDenominator;
  vi.num_frames = INT_MAX;
  vi.pixel_type = header.chroma == y4m::Chroma::kMono ? CS_MONO8 : CS_YV12;
  return vi;
}

void FramePlaneRegions(const PVideoFrame& frame, bool writable, y4m::PlaneRegion regions[3]) {
  static constexpr int kPlanes[3] = {PLANAR_Y, PLANAR_U, PLANAR_V};
  for (int p = 0; p < 3; ++p) {
    const int plane = kPlanes[p];
    regions[p].data = writable ? frame->GetWritePtr(plane)
                               : const_cast<uint8_t*>(frame->GetReadPtr(plane));
    regions[p].pitch = frame->GetPitch(plane);
    regions[p].width = frame->GetRowSize(plane);
    regions[p].height = frame->GetHeight(plane);
  }
}

void WriteY4mFrame(y4m::Writer& writer, const PVideoFrame& frame, const Y4mFrameExtras& extras) {
  y4m::PlaneRegion regions[3];
  FramePlaneRegions(frame, false, regions);
  writer.WriteFrame(extras.parameters, regions, extras.spill);
}

Y4mSourceClip::Y4mSourceClip(y4m::Reader& reader)
    : reader_(reader),
      vi_(VideoInfoForStream(reader.header())),
      topFieldFirst_(reader.header().line.find(" It") != std::string::npos),
      next_(reader.framesRead() < INT_MAX ? static_cast<int>(reader.framesRead()) : INT_MAX) {}

std::optional<Y4mSourceClip::ReadFrame> Y4mSourceClip::ReadNextFrame(IScriptEnvironment* env) {
  ReadFrame read;
  if (!reader_.ReadFrameHeader(read.extras.parameters)) return std::nullopt;
  if (next_ == INT_MAX)
    throw y4m::Error("the stream has more frames than a clip can number (2^31 - 1)");
  // The frame is allocated only now that the stream has shown a frame.
  PVideoFrame frame = env->NewVideoFrame(vi_);
  y4m::PlaneRegion regions[3];
  FramePlaneRegions(frame, true, regions);
  if (!regions[0].data) env->ThrowError("Y4M source: a new frame is not writable");
  reader_.ReadFrameSamples(regions, read.extras.spill);
  read.number = next_++;
  std::lock_guard lock(mutex_);
  kept_.emplace(read.number, frame);
  return read;
}

size_t Y4mSourceClip::KeptFrames() const {
  std::lock_guard lock(mutex_);
  return kept_.size();
}

PVideoFrame Y4mSourceClip::Peek(int n) const {
  std::lock_guard lock(mutex_);
  auto it = kept_.find(n);
  return it == kept_.end() ? PVideoFrame() : it->second;
}

PVideoFrame Y4mSourceClip::GetFrame(int n, IScriptEnvironment* env) {
  PVideoFrame frame;
  {
    std::lock_guard lock(mutex_);
    auto it = kept_.find(n);
    if (it != kept_.end()) {
      frame = it->second;
      kept_.erase(it);
    }
  }
  if (!frame)
    env->ThrowError("Y4M source: frame %d is not available (a stream is read once, in order)", n);
  return frame;
}

bool Y4mSourceClip::GetParity(int) { return topFieldFirst_; }

void Y4mSourceClip::GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) {}

}  // namespace velmoraine::tools
