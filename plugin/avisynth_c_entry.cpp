// The plain-C host entry: avisynth_c_plugin_init2 and avisynth_c_plugin_init
// (one body) register the script function "velmoraine"; its filter hands the
// planes of each frame to the shared plane driver.
//
// Nothing may unwind across this boundary, and nothing here throws: memory is
// taken with the non-throwing new, and every error reaches the host as a value
// of type 'e' (construction) or through fi->error (frames). Every text handed
// to the host is a literal or a copy the host made with avs_save_string.
#include <new>

#include "interface/avisynth_c_interface.h"
#include "plugin/avisynth_c_functions.h"
#include "core/version.h"
#include "plugin/export.h"
#include "plugin/filter_arguments.h"
#include "plugin/plane_driver.h"
#include "plugin/text_builder.h"

namespace velmoraine {
namespace {

const char kDescription[] = "velmoraine " VELMORAINE_VERSION_STRING ": sliding-DCT denoiser";

const char kUnsupportedFormatMessage[] =
    "velmoraine: unsupported clip format; the clip must be planar YUV (YV12, I420, YV16, YV24, "
    "YV411, or 4:2:0, 4:2:2 or 4:4:4 at 10, 12, 14 or 16 bits), luma only (Y8, Y10, Y12, Y14 or "
    "Y16) or planar RGB (RGBP8, RGBP10, RGBP12, RGBP14 or RGBP16); YUVA and planar RGBA of the "
    "same depths are accepted too, their alpha plane passed through unchanged; float samples, "
    "packed RGB and interleaved YUV (YUY2) are not accepted";

// What a refused clip has, for the end of the refusal: "32-bit float YUV
// 4:2:0", "8-bit packed RGBA", or the pixel type in hexadecimal when the
// layout is none the host names.
void DescribePixelType(uint32_t pixelType, TextBuilder& out) {
  static const struct {
    uint32_t type;
    const char* name;
  } kLayouts[] = {
      {AVS_CS_YV12, "YUV 4:2:0"},         {AVS_CS_YV16, "YUV 4:2:2"},
      {AVS_CS_YV24, "YUV 4:4:4"},         {AVS_CS_YV411, "YUV 4:1:1"},
      {AVS_CS_YUV9, "YUV 4:1:0"},         {AVS_CS_Y8, "luma-only Y"},
      {AVS_CS_GENERIC_YUVA420, "YUVA 4:2:0"}, {AVS_CS_GENERIC_YUVA422, "YUVA 4:2:2"},
      {AVS_CS_GENERIC_YUVA444, "YUVA 4:4:4"}, {AVS_CS_GENERIC_RGBP, "planar RGB"},
      {AVS_CS_GENERIC_RGBAP, "planar RGBA"},  {AVS_CS_YUY2, "interleaved YUV 4:2:2 (YUY2)"},
      {AVS_CS_BGR24, "packed RGB"},       {AVS_CS_BGR32, "packed RGBA"},
  };
  const uint32_t layout = pixelType & AVS_CS_LAYOUT_MASK;
  for (const auto& known : kLayouts) {
    if ((known.type & AVS_CS_LAYOUT_MASK) != layout) continue;
    const int bits = AvsBitsPerSample(pixelType);
    if (bits == 0) {
      out.Add(known.name).Add(" with an unused sample size code");
    } else {
      out.Add(static_cast<int64_t>(bits)).Add(bits == 32 ? "-bit float " : "-bit ").Add(known.name);
    }
    return;
  }
  static const char kHex[] = "0123456789ABCDEF";
  out.Add("the pixel type 0x");
  for (int shift = 28; shift >= 0; shift -= 4) out.AddChar(kHex[(pixelType >> shift) & 0xFu]);
}

// The refusal of a clip of `pixelType`, in the host's keeping; a fixed text
// if the host cannot keep it.
const char* FormatRefusal(AVS_ScriptEnvironment* env, const AvisynthCFunctions& host, uint32_t pixelType) {
  char text[640];
  TextBuilder message(text, sizeof text);
  message.Add(kUnsupportedFormatMessage).Add("; it has ");
  DescribePixelType(pixelType, message);
  const char* saved = host.avs_save_string(env, text, -1);
  return saved != nullptr ? saved : kUnsupportedFormatMessage;
}

// The planes the filter takes from a frame: `count` of them (1 or 3; 0 when
// the format is refused), by host id and letter, at `bits` bits per sample.
// Alpha is never among them.
struct CFormat {
  int count;
  int32_t bits;
  const int* ids;
  const char* names;
};

constexpr uint32_t Layout(uint32_t pixelType) { return pixelType & AVS_CS_LAYOUT_MASK; }

// The formats the host itself calls YV12 (and I420), YV16, YV24, YV411 and
// Y8, their 10- to 16-bit forms (no YV411 among them), planar RGB of 8 to 16
// bits, and the same with alpha where the host has them.
CFormat ClassifyFormat(uint32_t pixelType) {
  static const int kYuvIds[3] = {AVS_PLANAR_Y, AVS_PLANAR_U, AVS_PLANAR_V};
  static const int kRgbIds[3] = {AVS_PLANAR_G, AVS_PLANAR_B, AVS_PLANAR_R};
  const CFormat refused = {0, 0, kYuvIds, "YUV"};
  const int32_t bits = AvsBitsPerSample(pixelType);
  if (bits == 0 || bits > 16) return refused;  // unused codes and float
  switch (Layout(pixelType)) {
    case Layout(AVS_CS_GENERIC_Y):
      return CFormat{1, bits, kYuvIds, "YUV"};
    case Layout(AVS_CS_YV411):
      return bits == 8 ? CFormat{3, bits, kYuvIds, "YUV"} : refused;
    case Layout(AVS_CS_GENERIC_YUV420):
    case Layout(AVS_CS_GENERIC_YUV422):
    case Layout(AVS_CS_GENERIC_YUV444):
    case Layout(AVS_CS_GENERIC_YUVA420):
    case Layout(AVS_CS_GENERIC_YUVA422):
    case Layout(AVS_CS_GENERIC_YUVA444):
      return CFormat{3, bits, kYuvIds, "YUV"};
    case Layout(AVS_CS_GENERIC_RGBP):
    case Layout(AVS_CS_GENERIC_RGBAP):
      return CFormat{3, bits, kRgbIds, "GBR"};
    default:
      return refused;
  }
}

// Everything a filter instance needs, filled at construction and only read
// afterwards: the host runs get_frame on one instance from several threads.
struct CFilter {
  const AvisynthCFunctions* host;
  PreparedFilter prepared;  // for format.bits
  CFormat format;
};

AVS_Value ErrorValue(const char* message) {
  AVS_Value value;
  value.type = AVS_TYPE_ERROR;
  value.array_size = 0;
  value.d.string = message;
  return value;
}

// Reads the integer arguments after the clip. An absent argument (or one of
// another type) takes its default; a 64-bit value must fit 32 bits. Returns
// the script error, or null.
const char* ReadArguments(const AVS_Value* values, int count, FilterArguments& arguments) {
  arguments = kDefaultArguments;
  for (int i = 0; i < kIntegerArgumentCount && i + 1 < count; ++i) {
    const AVS_Value& value = values[i + 1];
    if (value.type == AVS_TYPE_INT) {
      SetIntegerArgument(arguments, i, value.d.integer);
    } else if (value.type == AVS_TYPE_LONG) {
      if (!FitsInt32(value.d.longlong)) return kOutOfRangeMessages[i];
      SetIntegerArgument(arguments, i, static_cast<int32_t>(value.d.longlong));
    }
  }
  if (arguments.P < 0) return kNegativePMessage;
  return nullptr;
}

// Hands the frame back to the host with an error: the frame is released, the
// message kept in the host's memory (or a fixed one if even that fails).
AVS_VideoFrame* FailFrame(AVS_FilterInfo* fi, const AvisynthCFunctions& host, AVS_VideoFrame* frame,
                          const char* message) {
  if (frame != nullptr) host.avs_release_video_frame(frame);
  const char* saved = host.avs_save_string(fi->env, message, -1);
  fi->error = saved != nullptr ? saved : "velmoraine: a frame could not be filtered";
  return nullptr;
}

AVS_VideoFrame* VELMORAINE_AVSC_CC GetFrame(AVS_FilterInfo* fi, int n) {
  const CFilter& filter = *static_cast<const CFilter*>(fi->user_data);
  const AvisynthCFunctions& host = *filter.host;
  AVS_VideoFrame* frame = host.avs_get_frame(fi->child, n);
  if (frame == nullptr) {
    // The child's own message, which the host keeps; hosts before 3.7.3 crash
    // on a null frame without an error.
    const char* error = host.avs_clip_get_error(fi->child);
    fi->error = error != nullptr ? error : "velmoraine: the source clip returned no frame";
    return nullptr;
  }
  // A frame that others hold too comes back as a private copy (with the same
  // properties); the shared one is left alone.
  if (host.avs_make_writable(fi->env, &frame) < 0) {
    host.avs_release_video_frame(frame);
    fi->error = "velmoraine: the host could not make the frame writable";
    return nullptr;
  }
  const CFormat& format = filter.format;
  const int bytesPerSample = format.bits == 8 ? 1 : 2;
  FramePlane planes[3];
  for (int i = 0; i < format.count; ++i) {
    const int id = format.ids[i];
    planes[i].view.data = host.avs_get_write_ptr_p(frame, id);
    planes[i].view.pitch = host.avs_get_pitch_p(frame, id);
    planes[i].view.width = host.avs_get_row_size_p(frame, id) / bytesPerSample;  // row size in bytes
    planes[i].view.height = host.avs_get_height_p(frame, id);
    planes[i].name = format.names[i];
    planes[i].bits = format.bits;
  }
  const PlaneDriverResult result = FilterFramePlanes(planes, format.count, filter.prepared);
  if (result.failedPlane >= 0) {
    char message[256];
    DescribePlaneFailure(planes[result.failedPlane], result.failure, n, message, sizeof(message));
    return FailFrame(fi, host, frame, message);
  }
  return frame;
}

int VELMORAINE_AVSC_CC SetCacheHints(AVS_FilterInfo*, int hint, int) {
  return hint == AVS_CACHE_GET_MTMODE ? AVS_MT_NICE_FILTER : 0;
}

void VELMORAINE_AVSC_CC FreeFilter(AVS_FilterInfo* fi) {
  delete static_cast<CFilter*>(fi->user_data);
  fi->user_data = nullptr;
}

AVS_Value VELMORAINE_AVSC_CC Create(AVS_ScriptEnvironment* env, AVS_Value args, void* user_data) {
  const AvisynthCFunctions& host = *static_cast<const AvisynthCFunctions*>(user_data);
  if (host.missing != nullptr) return ErrorValue(host.missing);
  if (args.type != AVS_TYPE_ARRAY || args.array_size < 1 || args.d.array == nullptr ||
      args.d.array[0].type != AVS_TYPE_CLIP) {
    return ErrorValue("velmoraine: the first argument must be a clip");
  }
  FilterArguments arguments;
  const char* error = ReadArguments(args.d.array, args.array_size, arguments);
  if (error != nullptr) return ErrorValue(error);

  AVS_FilterInfo* fi = nullptr;
  AVS_Clip* clip = host.avs_new_c_filter(env, &fi, args.d.array[0], 1);
  if (clip == nullptr || fi == nullptr) {
    // The host's text may belong to this call's temporary environment: the
    // script gets a copy the host keeps.
    const char* hostError = host.avs_get_error(env);
    const char* saved = hostError != nullptr ? host.avs_save_string(env, hostError, -1) : nullptr;
    if (clip != nullptr) host.avs_release_clip(clip);
    return ErrorValue(saved != nullptr ? saved : "velmoraine: the host could not create the filter");
  }
  // Until free_filter is set, releasing the clip frees nothing of ours.
  const uint32_t pixelType = static_cast<uint32_t>(fi->vi.pixel_type);
  const CFormat format = ClassifyFormat(pixelType);
  if (format.count == 0) {
    host.avs_release_clip(clip);
    return ErrorValue(FormatRefusal(env, host, pixelType));
  }
  CFilter* filter = new (std::nothrow) CFilter;
  if (filter == nullptr) {
    host.avs_release_clip(clip);
    return ErrorValue("velmoraine: out of memory creating the filter");
  }
  filter->host = &host;
  filter->format = format;
  PrepareFilter(arguments.T, arguments.P, arguments.lp, arguments.hp, format.bits, kCpuAllFlags,
                filter->prepared);
  fi->user_data = filter;
  fi->get_frame = &GetFrame;
  fi->set_cache_hints = &SetCacheHints;
  fi->free_filter = &FreeFilter;

  AVS_Value result;
  result.type = AVS_TYPE_VOID;
  result.array_size = 0;
  result.d.longlong = 0;
  host.avs_set_to_clip(&result, clip);
  host.avs_release_clip(clip);  // the value holds the reference the host gets
  return result;
}

const char* RegisterFunction(AVS_ScriptEnvironment* env) {
  const AvisynthCFunctions* host = HostFunctions();
  // Without a host library or avs_add_function nothing can be registered.
  if (host == nullptr) return kDescription;
  host->avs_add_function(env, kFunctionName, kFunctionParameters, &Create,
                         const_cast<AvisynthCFunctions*>(host));
  return kDescription;
}

}  // namespace
}  // namespace velmoraine

// Hosts from interface 11 on call this name first and pass 64-bit integer
// arguments through unchanged; older ones call the next.
extern "C" VELMORAINE_EXPORT const char* VELMORAINE_AVSC_CC avisynth_c_plugin_init2(AVS_ScriptEnvironment* env) {
  return velmoraine::RegisterFunction(env);
}

extern "C" VELMORAINE_EXPORT const char* VELMORAINE_AVSC_CC avisynth_c_plugin_init(AVS_ScriptEnvironment* env) {
  return velmoraine::RegisterFunction(env);
}
