// A stand-in plug-in for the tests of failures in the middle of a stream:
// it registers "velmoraine" with the real parameter string, passes frames
// through unchanged, and fails on one frame. T is the frame that fails, P how:
//   0: a script error through the host's ThrowError;
//   1: a C++ exception of another kind;
//   2: no frame at all (a null handle);
//   3: an exception that is no std::exception.
// The program loads it with --plugin, like any plug-in library.
#include <stdexcept>

#include "interface/avisynth_interface.h"

namespace {

class FailingFilter : public GenericVideoFilter {
 public:
  FailingFilter(const PClip& child, int failing, int mode)
      : GenericVideoFilter(child), failing_(failing), mode_(mode) {}

  PVideoFrame VELMORAINE_STDCALL GetFrame(int n, IScriptEnvironment* env) override {
    PVideoFrame frame = child->GetFrame(n, env);
    if (n != failing_) return frame;
    if (mode_ == 0) env->ThrowError("failing plug-in: frame %d refused", n);
    if (mode_ == 1) throw std::runtime_error("failing plug-in: an exception on frame " + std::to_string(n));
    if (mode_ == 3) throw 42;
    return PVideoFrame();
  }

 private:
  int failing_;
  int mode_;
};

AVSValue VELMORAINE_CDECL Create(AVSValue args, void*, IScriptEnvironment*) {
  return AVSValue(static_cast<IClip*>(new FailingFilter(args[0].AsClip(), args[1].AsInt(), args[2].AsInt())));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const char* VELMORAINE_STDCALL AvisynthPluginInit2(
    IScriptEnvironment* env) {
  env->AddFunction("velmoraine", "c[T]i[P]i[lp]i[hp]i", &Create, nullptr);
  return "failing plug-in";
}
