// The frame-server binding: the script function "velmoraine", its filter
// object and the frame path that hands each plane of a frame to the plane
// filter. Thin on purpose: argument handling and frames only, nothing numeric.
//
// Built into the Linux library (libvelmoraine.so) beside the other entries,
// and alone into the 32-bit velmoraine.dll; its entry point is
// AvisynthPluginInit2. No C++ standard library here: the same sources build
// the freestanding Windows DLL.
#pragma once

#include <stdint.h>

#include "core/plane_filter.h"
#include "interface/avisynth_interface.h"
#include "plugin/plane_driver.h"

namespace velmoraine {

// The plane pass the frame path runs; FilterPlane in the library, a recording
// stand-in in tests.
typedef PreparedPlaneFunc PlaneFilterFunc;

class SlidingDctFilter : public GenericVideoFilter {
 public:
  // args: the clip, then T, P, lp, hp; an element that is absent or not an
  // integer takes its default (0, 1, 0, 100). Raises a script error for a
  // negative P and for clips whose format the filter cannot handle. Picks the
  // kernels for this processor and prepares the block-stage tables once.
  SlidingDctFilter(const AVSValue& args, IScriptEnvironment* env);

  int VELMORAINE_STDCALL GetVersion() override { return 2; }
  PVideoFrame VELMORAINE_STDCALL GetFrame(int n, IScriptEnvironment* env) override;
  bool VELMORAINE_STDCALL GetParity(int n) override { return child->GetParity(n); }
  void VELMORAINE_STDCALL GetAudio(void* buf, int64_t start, int64_t count,
                           IScriptEnvironment* env) override {
    child->GetAudio(buf, start, count, env);
  }
  void VELMORAINE_STDCALL SetCacheHints(int, int) override {}
  const VideoInfo& VELMORAINE_STDCALL GetVideoInfo() override { return vi; }

  int32_t ThresholdT() const { return T; }
  int32_t ProfileP() const { return P; }
  int32_t BandLow() const { return lp; }
  int32_t BandHigh() const { return hp; }

 private:
  int32_t T;
  int32_t P;
  int32_t lp;
  int32_t hp;
  PreparedFilter prepared;
};

// The create callback registered with the script function.
AVSValue VELMORAINE_CDECL CreateSlidingDct(AVSValue args, void* user_data, IScriptEnvironment* env);

// Runs `filter` over the planes Y, U, V of a writable 2.5 frame, in that
// order, as `prepared`, through the shared plane driver. Empty planes are
// skipped. A plane whose write pointer is null or that the plane filter
// refuses becomes a script error (ThrowError) naming the plane and its size;
// then nothing more is filtered. Frame number n is used in messages only.
void FilterVideoFramePlanes(VideoFrame* frame, int n, const PreparedFilter& prepared, PlaneFilterFunc filter,
                            IScriptEnvironment* env);

}  // namespace velmoraine
