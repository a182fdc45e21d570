#include <vector>

#include "tests/hosts/avisynth25/frame_server.h"

namespace velmoraine::host {

MemoryClip::MemoryClip(const VideoInfo& vi)
    : vi_(vi), frames_(static_cast<size_t>(vi.num_frames > 0 ? vi.num_frames : 0)) {}

void MemoryClip::SetFrame(int n, const PVideoFrame& frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (n >= 0 && static_cast<size_t>(n) < frames_.size()) frames_[static_cast<size_t>(n)] = frame;
}

PVideoFrame MemoryClip::GetFrame(int n, IScriptEnvironment* env) {
  ++getFrameCalls_;
  if (getFrameFault_) env->ThrowError("MemoryClip: frame %d could not be produced (injected fault)", n);
  if (frames_.empty()) env->ThrowError("MemoryClip: the clip has no frames");
  const int last = static_cast<int>(frames_.size()) - 1;
  const size_t index = static_cast<size_t>(n < 0 ? 0 : n > last ? last : n);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (frames_[index]) return frames_[index];
  }
  // A frame never set is black: luma 16, chroma 128.
  PVideoFrame frame = env->NewVideoFrame(vi_);
  for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
    const int width = StoredWidth(frame, plane);
    const std::vector<uint8_t> row(static_cast<size_t>(width), plane == PLANAR_Y ? 16 : 128);
    for (int y = 0; y < StoredHeight(frame, plane); ++y) {
      WritePlane(frame, plane, row.data(), 0);  // pitch 0: the same row for every row
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!frames_[index]) frames_[index] = frame;
  return frames_[index];
}

bool MemoryClip::GetParity(int) { return parity_; }

void MemoryClip::GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment*) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastAudio_ = AudioRequest{buf, start, count};
}

MemoryClip::AudioRequest MemoryClip::LastAudioRequest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastAudio_;
}

}  // namespace velmoraine::host
