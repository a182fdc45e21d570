// Fuzz target: the plain-C entry's argument array, through the strict
// stand-in host (tests/hosts/avisynth_c/), which loads the real plug-in
// library by path through avisynth_c_plugin_init2 once per process.
//
// From the input: a source clip (a pixel type from those hosts make, or any
// 32-bit value; 0..40 x 0..40; frames held by the host's cache or not; a
// frame that fails; refused as a child) and up to six arguments, positional
// or named (the filter's names, a case variant, an unknown name), of every
// value type (int, 64-bit int, float, bool, string, void). The host checks
// them against the parameter string as a real host does; what passes
// reaches the plug-in. An accepted filter serves a frame from the input's
// choice of numbers (negative, past the end, a failing one). Checked:
//   - the answer is a clip or an error with a message;
//   - the stand-in saw no fault (reference counts, guard bytes, error texts
//     that outlive their call, the SSE control register, ...);
//   - no clip or frame reference is left once the caller released its own.
#include <dlfcn.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "interface/avisynth_c_interface.h"
#include "tests/hosts/avisynth_c/standin_api.h"

namespace {

struct Host {
  const StandinApi* api = nullptr;
  avs_get_frame_func get_frame = nullptr;
  avs_release_video_frame_func release_frame = nullptr;
  avs_release_clip_func release_clip = nullptr;
  avs_clip_get_error_func clip_get_error = nullptr;
};

[[noreturn]] void Fault(const char* what, const char* detail = "") {
  std::fprintf(stderr, "fuzz_c_entry: %s %s\n", what, detail ? detail : "");
  std::abort();
}

const Host& OpenHost() {
  static Host host;
  if (host.api != nullptr) return host;
  void* library = dlopen(VELMORAINE_STANDIN_HOST, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) Fault("cannot open the stand-in host:", dlerror());
  auto find = [&](const char* name) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) Fault("the stand-in host lacks", name);
    return symbol;
  };
  host.get_frame = reinterpret_cast<avs_get_frame_func>(find("avs_get_frame"));
  host.release_frame = reinterpret_cast<avs_release_video_frame_func>(find("avs_release_video_frame"));
  host.release_clip = reinterpret_cast<avs_release_clip_func>(find("avs_release_clip"));
  host.clip_get_error = reinterpret_cast<avs_clip_get_error_func>(find("avs_clip_get_error"));
  const StandinApi* api = reinterpret_cast<StandinApiFunc>(find("velmoraine_standin_api"))();
  if (api->load_plugin(VELMORAINE_PLUGIN_PATH, STANDIN_ENTRY_INIT2) == nullptr)
    Fault("the plug-in did not load:", api->last_error());
  host.api = api;
  return host;
}

// The 8-bit layouts the filter takes, and others a host makes: interleaved,
// 4:1:0, deeper samples, planar RGB and alpha.
constexpr uint32_t kPixelTypes[] = {0xA0000008, 0xA0000010, 0xA0000308, 0xA000030B, 0xA0000309, 0xE0000000,
                                    0x60000004, 0x50000001, 0x50000002, 0xA0000109, 0xA0010008, 0xA0020308,
                                    0xE0010000, 0x90000000, 0x80000000};

StandinSourceSettings MakeSource(FuzzedDataProvider& in) {
  StandinSourceSettings settings{};
  settings.width = in.ConsumeIntegralInRange<int32_t>(0, 40);
  settings.height = in.ConsumeIntegralInRange<int32_t>(0, 40);
  settings.pixel_type = static_cast<int32_t>(in.ConsumeBool() ? in.PickValueInArray(kPixelTypes)
                                                              : in.ConsumeIntegral<uint32_t>());
  settings.num_frames = in.ConsumeIntegralInRange<int32_t>(1, 3);
  settings.seed = in.ConsumeIntegral<uint8_t>();
  settings.hold_frames = in.ConsumeBool();
  settings.failing_frame = in.ConsumeIntegralInRange<int32_t>(-1, 2);
  settings.property_base = 1000;
  settings.refuse_as_child = in.ConsumeIntegralInRange<int>(0, 15) == 0;
  return settings;
}

const char* const kNames[] = {nullptr, nullptr, "T", "P", "lp", "hp", "t", "HP", "threads", ""};

// Arguments with the strings they point to; `texts` is never resized after
// the values point into it.
struct ArgumentList {
  std::vector<std::string> texts;
  std::vector<StandinArgument> arguments;
};

void MakeArguments(FuzzedDataProvider& in, ArgumentList& list) {
  const int count = in.ConsumeIntegralInRange<int>(0, 6);
  list.texts.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    StandinArgument argument{};
    argument.name = in.PickValueInArray(kNames);
    AVS_Value& v = argument.value;
    switch (in.ConsumeIntegralInRange<int>(0, 6)) {
      case 0: v.type = AVS_TYPE_INT; v.d.integer = in.ConsumeIntegral<int32_t>(); break;
      case 1: v.type = AVS_TYPE_INT; v.d.integer = in.ConsumeIntegralInRange<int32_t>(-3, 120); break;
      case 2: v.type = AVS_TYPE_LONG; v.d.longlong = in.ConsumeIntegral<int64_t>(); break;
      case 3: v.type = AVS_TYPE_FLOAT; v.d.floating_pt = in.ConsumeFloatingPoint<float>(); break;
      case 4: v.type = AVS_TYPE_BOOL; v.d.boolean = in.ConsumeBool(); break;
      case 5:
        v.type = AVS_TYPE_STRING;
        list.texts[static_cast<size_t>(i)] = in.ConsumeRandomLengthString(16);
        v.d.string = list.texts[static_cast<size_t>(i)].c_str();
        break;
      default: v.type = AVS_TYPE_VOID; break;
    }
    list.arguments.push_back(argument);
  }
}

void CheckHost(const Host& host) {
  if (host.api->violations() != 0) Fault("the stand-in host saw a fault:", host.api->first_violation());
  if (host.api->live_clips() != 0 || host.api->live_frames() != 0) Fault("a clip or frame reference was left");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Host& host = OpenHost();
  FuzzedDataProvider in(data, size);
  const StandinSourceSettings settings = MakeSource(in);
  ArgumentList list;
  MakeArguments(in, list);
  const int frame = in.ConsumeIntegralInRange<int>(-1, 3);

  AVS_Clip* source = host.api->new_source(&settings);
  AVS_Value result = host.api->invoke("velmoraine", source, list.arguments.data(),
                                      static_cast<int>(list.arguments.size()));
  host.release_clip(source);
  if (result.type == AVS_TYPE_CLIP) {
    AVS_Clip* clip = host.api->value_clip(&result);
    AVS_VideoFrame* got = host.get_frame(clip, frame);
    if (got != nullptr) {
      host.release_frame(got);
    } else {
      const char* error = host.clip_get_error(clip);
      if (error == nullptr || *error == '\0') Fault("a frame failed without a message");
    }
    host.api->release_value(&result);
  } else if (result.type == AVS_TYPE_ERROR) {
    if (result.d.string == nullptr || *result.d.string == '\0') Fault("an error without a message");
  } else {
    Fault("neither a clip nor an error");
  }
  CheckHost(host);
  // Each input is a script of its own: without this the released objects and
  // saved error texts pile up over millions of runs (past the fuzzer's memory
  // limit), and each check of an error text walks them all.
  host.api->end_script();
  return 0;
}
