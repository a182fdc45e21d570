// A plug-in that breaks one rule of the VapourSynth interface on request:
// misbehave.Pass(clip, fault) passes frames through and commits fault number
// `fault` (0: none). The stand-in must abort on each.
#include <xmmintrin.h>

#include "interface/vapoursynth_interface.h"

namespace {

enum Fault {
  kNone,
  kFrameAndError,
  kWritePastRow,
  kWriteThroughReadPointer,
  kKeepSourceFrame,
  kNothingAtAll,
  kChangeControlRegister,
  kRequestAnotherFrame,
  kReadMissingArgumentWithoutErrorPointer,
};

struct Instance {
  VSNode* source;
  int fault;
};

const VSFrame* PassGetFrame(int n, int reason, void* data, void**, VSFrameContext* ctx,
                            VSCore* core, const VSAPI* api) {
  const Instance& instance = *static_cast<Instance*>(data);
  if (reason == arInitial) {
    if (instance.fault == kNothingAtAll) return nullptr;
    api->requestFrameFilter(instance.fault == kRequestAnotherFrame ? n + 1 : n, instance.source, ctx);
    return nullptr;
  }
  if (reason != arAllFramesReady) return nullptr;
  const VSFrame* source = api->getFrameFilter(n, instance.source, ctx);
  VSFrame* frame = api->copyFrame(source, core);
  switch (instance.fault) {
    case kFrameAndError:
      api->setFilterError("misbehave: an error and a frame", ctx);
      break;
    case kWritePastRow:
      api->getWritePtr(frame, 0)[api->getFrameWidth(frame, 0)] = 0;
      break;
    case kWriteThroughReadPointer:
      const_cast<uint8_t*>(api->getReadPtr(frame, 0))[0] ^= 1;
      break;
    case kChangeControlRegister:
      _mm_setcsr(_mm_getcsr() | 0x6000);  // round toward zero
      break;
    default:
      break;
  }
  if (instance.fault != kKeepSourceFrame) api->freeFrame(source);
  return frame;
}

void PassFree(void* data, VSCore*, const VSAPI* api) {
  Instance* instance = static_cast<Instance*>(data);
  api->freeNode(instance->source);
  delete instance;
}

void PassCreate(const VSMap* in, VSMap* out, void*, VSCore* core, const VSAPI* api) {
  Instance* instance = new Instance;
  instance->source = api->mapGetNode(in, "clip", 0, nullptr);
  instance->fault = static_cast<int>(api->mapGetInt(in, "fault", 0, nullptr));
  if (instance->fault == kReadMissingArgumentWithoutErrorPointer)
    api->mapGetInt(in, "missing", 0, nullptr);
  const VSFilterDependency dependency = {instance->source, rpStrictSpatial};
  api->createVideoFilter(out, "Pass", api->getVideoInfo(instance->source), PassGetFrame, PassFree,
                         fmParallel, &dependency, 1, instance, core);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void VapourSynthPluginInit2(
    VSPlugin* plugin, const VSPLUGINAPI* api) {
  api->configPlugin("org.velmoraine.misbehave", "misbehave", "rule breaker for tests", 1,
                    kVapourSynthApi40, 0, plugin);
  api->registerFunction("Pass", "clip:vnode;fault:int;missing:int:opt;", "clip:vnode;", PassCreate,
                        nullptr, plugin);
}
