// The VapourSynth entry: VapourSynthPluginInit2 registers
// velmoraine.Denoise(clip, T, P, lp, hp, planes) under API 4.0, so every host
// from R55 on loads it.
//
// Thin on purpose: arguments, format checks and the frame path; the planes go
// through the shared plane driver. The filter runs in the host's parallel
// mode: the instance is written only at creation (the kernel table and the
// block-stage tables included), so concurrent frame requests only read it.
// No C++ standard library and no exceptions: the same file builds into the
// freestanding 64-bit Windows DLL. API 4 hosts exist for 64-bit processes
// only, so the 32-bit DLL does not list this file.
#include <new>

#include "interface/vapoursynth_interface.h"
#include "core/version.h"
#include "plugin/export.h"
#include "plugin/filter_arguments.h"
#include "plugin/plane_driver.h"
#include "plugin/text_builder.h"

namespace velmoraine {
namespace {

constexpr char kPluginIdentifier[] = "org.velmoraine.velmoraine";
constexpr char kPluginNamespace[] = "velmoraine";
constexpr char kPluginName[] = "velmoraine: DCT-domain video denoiser";
constexpr int kPluginVersion = VELMORAINE_VERSION_NUMBER;
constexpr char kFilterName[] = "Denoise";
constexpr char kFilterArguments[] =
    "clip:vnode;T:int:opt;P:int:opt;lp:int:opt;hp:int:opt;planes:int[]:opt;";
constexpr char kFilterReturnType[] = "clip:vnode;";

constexpr int kMaxPlanes = 3;
// Room for the longest message: a format refusal, at most about 420 characters.
constexpr size_t kMessageCapacity = 512;

// The layouts whose every plane the filter can take at its own size, with
// integer samples of 8 to 16 bits. The bits field of the ids is 0 here.
constexpr uint32_t kAcceptedLayouts[] = {
    VideoFormatId(cfGray, stInteger, 0, 0, 0),  // Gray
    VideoFormatId(cfYUV, stInteger, 0, 1, 1),   // YUV420P
    VideoFormatId(cfYUV, stInteger, 0, 1, 0),   // YUV422P
    VideoFormatId(cfYUV, stInteger, 0, 0, 0),   // YUV444P
    VideoFormatId(cfYUV, stInteger, 0, 2, 2),   // YUV410P
    VideoFormatId(cfYUV, stInteger, 0, 2, 0),   // YUV411P
    VideoFormatId(cfRGB, stInteger, 0, 0, 0),   // RGB, planar
};
constexpr char kAcceptedFormatsText[] =
    "a constant format and size with integer samples of 8 to 16 bits: Gray, YUV420P, YUV422P, "
    "YUV444P, YUV410P, YUV411P or RGB (such as Gray8, YUV420P10, YUV444P16 or RGB48)";

struct DenoiseInstance {
  VSNode* source;
  PreparedFilter filter;  // for `bits`
  int32_t bits;
  int numPlanes;
  bool selected[kMaxPlanes];
  char planeNames[kMaxPlanes];
};

bool IsAcceptedFormat(const VSVideoFormat& f) {
  if (f.sampleType != stInteger || f.bitsPerSample < 8 || f.bitsPerSample > 16) return false;
  if (f.bytesPerSample != (f.bitsPerSample == 8 ? 1 : 2)) return false;
  const int expectedPlanes = f.colorFamily == cfGray ? 1 : 3;
  if (f.numPlanes != expectedPlanes) return false;
  const uint32_t id = VideoFormatId(f.colorFamily, f.sampleType, 0, f.subSamplingW, f.subSamplingH);
  for (uint32_t accepted : kAcceptedLayouts) {
    if (id == accepted) return true;
  }
  return false;
}

// The 16-bit integer format a clip of float samples converts to: the same
// family and subsampling where that is accepted, YUV444P16 otherwise.
const char* ConversionFor(const VSVideoFormat& f) {
  if (f.colorFamily == cfGray) return "vs.GRAY16";
  if (f.colorFamily == cfRGB) return "vs.RGB48";
  if (f.subSamplingW == 1 && f.subSamplingH == 1) return "vs.YUV420P16";
  if (f.subSamplingW == 1 && f.subSamplingH == 0) return "vs.YUV422P16";
  return "vs.YUV444P16";
}

void DescribeFormat(const VSVideoInfo& vi, TextBuilder& out) {
  const VSVideoFormat& f = vi.format;
  if (f.colorFamily == cfUndefined) {
    out.Add("a format that varies from frame to frame");
    return;
  }
  if (vi.width <= 0 || vi.height <= 0) {
    out.Add("a size that varies from frame to frame");
    return;
  }
  static const char* const kFamilies[] = {"undefined", "Gray", "RGB", "YUV"};
  const bool knownFamily = f.colorFamily >= 0 && f.colorFamily <= cfYUV;
  out.Add(knownFamily ? kFamilies[f.colorFamily] : "an unknown colour family");
  out.Add(" with ").Add(static_cast<int64_t>(f.bitsPerSample));
  out.Add(f.sampleType == stFloat ? "-bit float samples" : "-bit integer samples");
  if (f.colorFamily == cfYUV && f.subSamplingW == 0 && f.subSamplingH == 0) {
    out.Add(", no chroma subsampling");
  } else if (f.colorFamily == cfYUV) {
    out.Add(", chroma subsampled 1/").Add(int64_t{1} << (f.subSamplingW & 7));
    out.Add(" across and 1/").Add(int64_t{1} << (f.subSamplingH & 7)).Add(" down");
  }
  if (f.sampleType == stFloat && knownFamily) {
    out.Add("; convert it first, e.g. with core.resize.Point(clip, format=").Add(ConversionFor(f));
    out.Add(")");
  }
}

void Refuse(VSNode* source, VSMap* out, const char* text, const VSAPI* vsapi) {
  vsapi->freeNode(source);
  vsapi->mapSetError(out, text);
}

// Reads the optional integer `name`; false (with `out` holding the error)
// when it is present but beyond 32 bits.
bool ReadIntegerArgument(const VSMap* in, int index, int32_t fallback, int32_t& value,
                         const VSAPI* vsapi) {
  int error = 0;
  const int64_t raw = vsapi->mapGetInt(in, kIntegerArgumentNames[index], 0, &error);
  if (error != peSuccess) {
    value = fallback;
    return true;
  }
  if (!FitsInt32(raw)) return false;
  value = static_cast<int32_t>(raw);
  return true;
}

// Fills instance.selected from `planes`: every plane when it is absent; an
// index outside the clip's planes or listed twice is an error.
bool ReadPlanes(const VSMap* in, DenoiseInstance& instance, TextBuilder& error, const VSAPI* vsapi) {
  const int count = vsapi->mapNumElements(in, "planes");
  for (int p = 0; p < kMaxPlanes; ++p) instance.selected[p] = count < 0 && p < instance.numPlanes;
  for (int i = 0; i < count; ++i) {
    int status = 0;
    const int64_t plane = vsapi->mapGetInt(in, "planes", i, &status);
    if (status != peSuccess || plane < 0 || plane >= instance.numPlanes) {
      error.Add("velmoraine.Denoise: plane index ").Add(plane).Add(" in 'planes' is out of range: ");
      error.Add(instance.numPlanes == 1 ? "the clip has one plane, 0"
                                        : "the clip has three planes, 0 to 2");
      return false;
    }
    if (instance.selected[plane]) {
      error.Add("velmoraine.Denoise: plane ").Add(plane).Add(" is listed twice in 'planes'");
      return false;
    }
    instance.selected[plane] = true;
  }
  return true;
}

const VSFrame* DenoiseGetFrame(int n, int activationReason, void* instanceData, void**,
                               VSFrameContext* frameCtx, VSCore* core, const VSAPI* vsapi) {
  const DenoiseInstance& instance = *static_cast<const DenoiseInstance*>(instanceData);
  if (activationReason == arInitial) {
    vsapi->requestFrameFilter(n, instance.source, frameCtx);
    return nullptr;
  }
  // arError: the source failed and the host reports it; nothing is held.
  if (activationReason != arAllFramesReady) return nullptr;

  const VSFrame* source = vsapi->getFrameFilter(n, instance.source, frameCtx);
  if (source == nullptr) {
    vsapi->setFilterError("velmoraine.Denoise: the source clip gave no frame", frameCtx);
    return nullptr;
  }
  // The copy shares every plane with the source and keeps its properties;
  // asking for a plane's write pointer gives the copy a plane of its own.
  VSFrame* frame = vsapi->copyFrame(source, core);
  vsapi->freeFrame(source);
  if (frame == nullptr) {
    vsapi->setFilterError("velmoraine.Denoise: the host could not copy the source frame", frameCtx);
    return nullptr;
  }

  FramePlane planes[kMaxPlanes];
  int count = 0;
  for (int p = 0; p < instance.numPlanes; ++p) {
    if (!instance.selected[p]) continue;
    FramePlane& plane = planes[count++];
    plane.view.data = vsapi->getWritePtr(frame, p);
    plane.view.pitch = vsapi->getStride(frame, p);
    plane.view.width = vsapi->getFrameWidth(frame, p);
    plane.view.height = vsapi->getFrameHeight(frame, p);
    plane.name = instance.planeNames[p];
    plane.bits = instance.bits;
  }
  const PlaneDriverResult result = FilterFramePlanes(planes, count, instance.filter);
  if (result.failedPlane >= 0) {
    // Some planes may be filtered already: the frame is dropped whole.
    char text[kMessageCapacity];
    DescribePlaneFailure(planes[result.failedPlane], result.failure, n, text, sizeof text);
    vsapi->freeFrame(frame);
    vsapi->setFilterError(text, frameCtx);
    return nullptr;
  }
  return frame;
}

void DenoiseFree(void* instanceData, VSCore*, const VSAPI* vsapi) {
  DenoiseInstance* instance = static_cast<DenoiseInstance*>(instanceData);
  vsapi->freeNode(instance->source);
  delete instance;
}

void DenoiseCreate(const VSMap* in, VSMap* out, void*, VSCore* core, const VSAPI* vsapi) {
  int error = 0;
  VSNode* source = vsapi->mapGetNode(in, "clip", 0, &error);
  if (error != peSuccess || source == nullptr) {
    Refuse(source, out, "velmoraine.Denoise: a video clip is required", vsapi);
    return;
  }
  const VSVideoInfo* vi = vsapi->getVideoInfo(source);
  if (vi == nullptr || vi->format.colorFamily == cfUndefined || vi->width <= 0 ||
      vi->height <= 0 || !IsAcceptedFormat(vi->format)) {
    char text[kMessageCapacity];
    TextBuilder message(text, sizeof text);
    message.Add("velmoraine.Denoise: the clip must have ").Add(kAcceptedFormatsText);
    if (vi != nullptr) DescribeFormat(*vi, message.Add("; it has "));
    Refuse(source, out, text, vsapi);
    return;
  }

  FilterArguments arguments = kDefaultArguments;
  const int32_t defaults[kIntegerArgumentCount] = {kDefaultArguments.T, kDefaultArguments.P,
                                                   kDefaultArguments.lp, kDefaultArguments.hp};
  for (int i = 0; i < kIntegerArgumentCount; ++i) {
    int32_t value = 0;
    if (!ReadIntegerArgument(in, i, defaults[i], value, vsapi)) {
      Refuse(source, out, kOutOfRangeMessages[i], vsapi);
      return;
    }
    SetIntegerArgument(arguments, i, value);
  }
  if (arguments.P < 0) {
    Refuse(source, out, kNegativePMessage, vsapi);
    return;
  }

  DenoiseInstance* instance = new (std::nothrow) DenoiseInstance;
  if (instance == nullptr) {
    Refuse(source, out, "velmoraine.Denoise: out of memory creating the filter", vsapi);
    return;
  }
  instance->source = source;
  instance->bits = vi->format.bitsPerSample;
  instance->numPlanes = vi->format.numPlanes;
  const char* names = vi->format.colorFamily == cfRGB ? "RGB" : "YUV";
  for (int p = 0; p < kMaxPlanes; ++p) instance->planeNames[p] = names[p];
  char planesText[kMessageCapacity];
  TextBuilder planesError(planesText, sizeof planesText);
  if (!ReadPlanes(in, *instance, planesError, vsapi)) {
    delete instance;
    Refuse(source, out, planesText, vsapi);
    return;
  }
  PrepareFilter(arguments.T, arguments.P, arguments.lp, arguments.hp, instance->bits, kCpuAllFlags,
                instance->filter);

  // Frame n needs source frame n only.
  const VSFilterDependency dependency = {source, rpStrictSpatial};
  vsapi->createVideoFilter(out, kFilterName, vi, DenoiseGetFrame, DenoiseFree, fmParallel,
                           &dependency, 1, instance, core);
  // When the host refuses the filter it never calls DenoiseFree: release here.
  if (vsapi->mapGetError(out) != nullptr) {
    vsapi->freeNode(source);
    delete instance;
  }
}

}  // namespace
}  // namespace velmoraine

extern "C" VELMORAINE_EXPORT void VapourSynthPluginInit2(VSPlugin* plugin,
                                                         const VSPLUGINAPI* vspapi) {
  using namespace velmoraine;
  vspapi->configPlugin(kPluginIdentifier, kPluginNamespace, kPluginName, kPluginVersion,
                       kVapourSynthApi40, 0, plugin);
  vspapi->registerFunction(kFilterName, kFilterArguments, kFilterReturnType, DenoiseCreate,
                           nullptr, plugin);
}
