#include "plugin/avisynth25_filter.h"

#include <new>

#include "plugin/filter_arguments.h"
#include "plugin/plane_driver.h"

namespace velmoraine {

namespace {

int32_t IntArg(const AVSValue& args, int index, int32_t fallback) {
  if (!args.IsArray() || index >= args.ArraySize()) return fallback;
  const AVSValue& value = args[index];
  return value.IsInt() ? value.AsInt() : fallback;
}

PClip ClipArg(const AVSValue& args) { return args.IsArray() ? args[0].AsClip() : args.AsClip(); }

}  // namespace

SlidingDctFilter::SlidingDctFilter(const AVSValue& args, IScriptEnvironment* env)
    : GenericVideoFilter(ClipArg(args)),
      T(kDefaultArguments.T),
      P(kDefaultArguments.P),
      lp(kDefaultArguments.lp),
      hp(kDefaultArguments.hp) {
  T = IntArg(args, 1, kDefaultArguments.T);
  P = IntArg(args, 2, kDefaultArguments.P);
  if (P < 0) env->ThrowError("%s", kNegativePMessage);
  lp = IntArg(args, 3, kDefaultArguments.lp);
  hp = IntArg(args, 4, kDefaultArguments.hp);
  // Interleaved pictures (YUY2, RGB) would reach the plane filter as one
  // plane of mixed colour channels, and other planar layouts would have
  // only part of their chroma filtered: refuse them. The message offers
  // 4:2:0 alone: a real host's luma-only clip (Y8) is one of the refused
  // layouts; only the stand-in host's own mono type gets through.
  if (!vi.IsYV12() && !vi.IsMono8()) {
    env->ThrowError(
        "velmoraine: unsupported clip format; the clip must be planar 8-bit 4:2:0 (YV12 or "
        "I420); interleaved formats (YUY2, RGB) and other planar ones (Y8, YV16, YV24, YV411) "
        "are not accepted, convert with ConvertToYV12()");
  }
  PrepareFilter(T, P, lp, hp, kCpuAllFlags, prepared);
}

PVideoFrame SlidingDctFilter::GetFrame(int n, IScriptEnvironment* env) {
  // The handle is the result; if anything below throws, its destructor
  // releases it on the way out.
  PVideoFrame frame = child->GetFrame(n, env);
  if (!frame) env->ThrowError("velmoraine: the source clip returned no frame %d", n);
  env->MakeWritable(&frame);
  FilterVideoFramePlanes(frame.Get(), n, prepared, &FilterPlane, env);
  return frame;
}

void FilterVideoFramePlanes(VideoFrame* frame, int n, const PreparedFilter& prepared, PlaneFilterFunc filter,
                            IScriptEnvironment* env) {
  static const int kPlanes[3] = {PLANAR_Y, PLANAR_U, PLANAR_V};
  static const char kNames[3] = {'Y', 'U', 'V'};
  FramePlane planes[3];
  for (int i = 0; i < 3; ++i) {
    const int code = kPlanes[i];
    planes[i].view = PlaneView{frame->GetWritePtr(code), frame->GetPitch(code), frame->GetRowSize(code),
                               frame->GetHeight(code)};
    planes[i].name = kNames[i];
  }
  const PlaneDriverResult result = FilterFramePlanes(planes, 3, prepared, filter);
  if (result.failedPlane >= 0) {
    char message[256];
    DescribePlaneFailure(planes[result.failedPlane], result.failure, n, message, sizeof(message));
    env->ThrowError("%s", message);
  }
}

AVSValue VELMORAINE_CDECL CreateSlidingDct(AVSValue args, void*, IScriptEnvironment* env) {
  SlidingDctFilter* filter = new (std::nothrow) SlidingDctFilter(args, env);
  if (filter == nullptr) env->ThrowError("velmoraine: out of memory creating the filter");
  return AVSValue(static_cast<IClip*>(filter));
}

}  // namespace velmoraine
