#include "plugin/sliding_dct.h"

#include <new>

namespace velmoraine {

namespace {

const char kNegativePMessage[] =
    "velmoraine : 'P' incorrect. P=0 -> flat / P=1 -> 1/(1-z) / P=2 -> z/(1-z) / P=3 1+z / "
    "P>10 (z > P) ? 1 : 0";

int32_t IntArg(const AVSValue& args, int index, int32_t fallback) {
  if (!args.IsArray() || index >= args.ArraySize()) return fallback;
  const AVSValue& value = args[index];
  return value.IsInt() ? value.AsInt() : fallback;
}

PClip ClipArg(const AVSValue& args) { return args.IsArray() ? args[0].AsClip() : args.AsClip(); }

}  // namespace

SlidingDctFilter::SlidingDctFilter(const AVSValue& args, IScriptEnvironment* env)
    : GenericVideoFilter(ClipArg(args)), T(0), P(1), lp(0), hp(100) {
  T = IntArg(args, 1, 0);
  P = IntArg(args, 2, 1);
  if (P < 0) env->ThrowError(kNegativePMessage);
  lp = IntArg(args, 3, 0);
  hp = IntArg(args, 4, 100);
  // Interleaved pictures (YUY2, RGB) would reach the plane filter as one
  // plane of mixed colour channels, and other planar layouts would have
  // only part of their chroma filtered: refuse them.
  if (!vi.IsYV12() && !vi.IsMono8()) {
    env->ThrowError(
        "velmoraine: unsupported clip format; the clip must be planar 8-bit 4:2:0 (YV12 or "
        "I420) or luma only; interleaved formats such as YUY2 and RGB are not accepted");
  }
  PrepareFilter(T, P, lp, hp, kCpuAllFlags, prepared);
}

PVideoFrame SlidingDctFilter::GetFrame(int n, IScriptEnvironment* env) {
  // The handle is the result; if anything below throws, its destructor
  // releases it on the way out.
  PVideoFrame frame = child->GetFrame(n, env);
  if (!frame) env->ThrowError("velmoraine: the source clip returned no frame %d", n);
  env->MakeWritable(&frame);
  FilterFramePlanes(frame.Get(), n, prepared, &FilterPlane, env);
  return frame;
}

void FilterFramePlanes(VideoFrame* frame, int n, const PreparedFilter& prepared, PlaneFilterFunc filter,
                       IScriptEnvironment* env) {
  static const int kPlanes[3] = {PLANAR_Y, PLANAR_U, PLANAR_V};
  static const char kNames[3] = {'Y', 'U', 'V'};
  for (int i = 0; i < 3; ++i) {
    const int code = kPlanes[i];
    const int width = frame->GetRowSize(code);
    const int height = frame->GetHeight(code);
    uint8_t* data = frame->GetWritePtr(code);
    const int pitch = frame->GetPitch(code);
    if (width <= 0 || height <= 0) continue;  // no such plane (mono frames)
    if (data == nullptr) {
      env->ThrowError("velmoraine: frame %d: the host did not make the %c plane (%dx%d) writable",
                      n, kNames[i], width, height);
      return;
    }
    const PlaneView view = {data, pitch, width, height};
    if (!filter(view, prepared)) {
      env->ThrowError(
          "velmoraine: frame %d: the %c plane (%dx%d, pitch %d) could not be filtered: its work "
          "buffers could not be allocated or its layout is invalid",
          n, kNames[i], width, height, pitch);
      return;
    }
  }
}

AVSValue VELMORAINE_CDECL CreateSlidingDct(AVSValue args, void*, IScriptEnvironment* env) {
  SlidingDctFilter* filter = new (std::nothrow) SlidingDctFilter(args, env);
  if (filter == nullptr) env->ThrowError("velmoraine: out of memory creating the filter");
  return AVSValue(static_cast<IClip*>(filter));
}

}  // namespace velmoraine
