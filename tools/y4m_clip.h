// A source clip fed from a Y4M stream.
//
// A Y4M stream can only be read once, front to back (it may be a pipe), while
// the clips above it ask for frames by number, possibly from several threads
// at once. So reading and serving are split: one reader calls ReadNextFrame,
// which reads frame n into a fresh frame of the environment and keeps it;
// GetFrame(n) then hands that frame out exactly once, giving up the clip's
// own reference so that the caller holds the only one (a filter's
// MakeWritable then has nothing to copy). Asking for a frame that was not
// read, or a second time, is a script error.
//
// 4:2:0 streams become CS_YV12 clips, mono streams CS_MONO8 clips (no chroma
// planes). The frame's planes hold what the interface exposes (chroma
// W/2 x H/2); the odd chroma column and row of an odd-sized stream travel in
// the frame's spill (see y4m/y4m.h) and are written back unchanged.
// The stream's length is unknown until its end, so num_frames is the largest
// int.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "interface/avisynth_interface.h"
#include "y4m/y4m.h"

namespace velmoraine::tools {

// The part of a Y4M frame that is not in the frame server's frame.
struct Y4mFrameExtras {
  std::string parameters;     // what followed "FRAME" on its line
  std::vector<uint8_t> spill;  // samples outside the exposed planes
};

// The clip format of a stream: size, frame rate, CS_YV12 or CS_MONO8.
VideoInfo VideoInfoForStream(const y4m::StreamHeader& header);

// The planes of `frame` as the interface exposes them (plane 0 Y, 1 U, 2 V),
// through the write pointers (`writable`) or the read pointers.
void FramePlaneRegions(const PVideoFrame& frame, bool writable, y4m::PlaneRegion regions[3]);

// Writes `frame` with its extras as the next frame of `writer`.
void WriteY4mFrame(y4m::Writer& writer, const PVideoFrame& frame, const Y4mFrameExtras& extras);

class Y4mSourceClip : public IClip {
 public:
  // `reader` has read its header and outlives the clip's reading. Frames are
  // numbered as in the stream: the first one read is frame
  // reader.framesRead() (not 0 when the reader skipped frames before).
  explicit Y4mSourceClip(y4m::Reader& reader);

  // Reads the next frame of the stream and keeps it for GetFrame. Returns
  // its number and extras, or nothing at the clean end of the stream. Throws
  // y4m::Error for a damaged stream (frames read before stay served), or
  // the environment's error when it cannot make a frame. One thread at a
  // time.
  struct ReadFrame {
    int number;
    Y4mFrameExtras extras;
  };
  std::optional<ReadFrame> ReadNextFrame(IScriptEnvironment* env);

  // Frames read and not yet handed out.
  size_t KeptFrames() const;

  // Frame n when it was read and not yet handed out (GetFrame still gives
  // it), else an empty frame. For looking at a frame before filtering it.
  PVideoFrame Peek(int n) const;

  PVideoFrame VELMORAINE_STDCALL GetFrame(int n, IScriptEnvironment* env) override;
  bool VELMORAINE_STDCALL GetParity(int n) override;
  void VELMORAINE_STDCALL GetAudio(void* buf, int64_t start, int64_t count,
                           IScriptEnvironment* env) override;
  void VELMORAINE_STDCALL SetCacheHints(int, int) override {}
  const VideoInfo& VELMORAINE_STDCALL GetVideoInfo() override { return vi_; }

 private:
  y4m::Reader& reader_;
  VideoInfo vi_;
  bool topFieldFirst_;
  int next_ = 0;
  mutable std::mutex mutex_;
  std::map<int, PVideoFrame> kept_;
};

}  // namespace velmoraine::tools
