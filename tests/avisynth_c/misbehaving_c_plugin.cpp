// A plain-C plug-in that breaks one rule of the interface on request:
// misbehave(clip, fault) passes frames through and commits fault number
// `fault` (0: none). The stand-in host must report each as a fault, or the
// checks the entry's tests rely on could never fail.
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include "interface/avisynth_c_interface.h"

namespace {

enum Fault {
  kNone,
  kFrameErrorInABuffer,   // fi->error points into the plug-in's heap
  kCreateErrorInABuffer,  // so does the message of an error value
  kAnswerEveryHint,       // non-zero for hints other than the MT-mode query
  kChangeControlRegister, // get_frame leaves MXCSR rounding toward zero
};

struct Functions {
  avs_add_function_func add_function;
  avs_new_c_filter_func new_c_filter;
  avs_set_to_clip_func set_to_clip;
  avs_release_clip_func release_clip;
  avs_get_frame_func get_frame;
  avs_release_video_frame_func release_frame;
} host;

// A copy of `text` in a buffer of the plug-in (the last copy stays reachable).
const char* HeapText(const char* text) {
  static char* buffer = nullptr;
  free(buffer);
  buffer = strdup(text);
  return buffer;
}

AVS_VideoFrame* GetFrame(AVS_FilterInfo* fi, int n) {
  AVS_VideoFrame* frame = host.get_frame(fi->child, n);
  const intptr_t fault = reinterpret_cast<intptr_t>(fi->user_data);
#if defined(__x86_64__) || defined(__i386__)
  if (fault == kChangeControlRegister) _mm_setcsr(_mm_getcsr() | 0x6000u);
#endif
  if (fault != kFrameErrorInABuffer) return frame;
  host.release_frame(frame);
  fi->error = HeapText("misbehave: an error in a buffer of the plug-in");
  return nullptr;
}

int SetCacheHints(AVS_FilterInfo* fi, int hint, int) {
  if (reinterpret_cast<intptr_t>(fi->user_data) == kAnswerEveryHint) return 1;
  return hint == AVS_CACHE_GET_MTMODE ? AVS_MT_NICE_FILTER : 0;
}

AVS_Value Create(AVS_ScriptEnvironment* env, AVS_Value args, void*) {
  const intptr_t fault = args.d.array[1].type == AVS_TYPE_INT ? args.d.array[1].d.integer : 0;
  AVS_Value result = {};
  if (fault == kCreateErrorInABuffer) {
    result.type = AVS_TYPE_ERROR;
    result.d.string = HeapText("misbehave: a create error in a buffer of the plug-in");
    return result;
  }
  AVS_FilterInfo* fi = nullptr;
  AVS_Clip* clip = host.new_c_filter(env, &fi, args.d.array[0], 1);
  fi->user_data = reinterpret_cast<void*>(fault);
  fi->get_frame = &GetFrame;
  fi->set_cache_hints = &SetCacheHints;
  host.set_to_clip(&result, clip);
  host.release_clip(clip);
  return result;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const char* avisynth_c_plugin_init2(AVS_ScriptEnvironment* env) {
  void* library = dlopen("libavisynth.so.11", RTLD_LAZY | RTLD_NOLOAD);
  if (library == nullptr) return "misbehave: no host";
  host.add_function = reinterpret_cast<avs_add_function_func>(dlsym(library, "avs_add_function"));
  host.new_c_filter = reinterpret_cast<avs_new_c_filter_func>(dlsym(library, "avs_new_c_filter"));
  host.set_to_clip = reinterpret_cast<avs_set_to_clip_func>(dlsym(library, "avs_set_to_clip"));
  host.release_clip = reinterpret_cast<avs_release_clip_func>(dlsym(library, "avs_release_clip"));
  host.get_frame = reinterpret_cast<avs_get_frame_func>(dlsym(library, "avs_get_frame"));
  host.release_frame = reinterpret_cast<avs_release_video_frame_func>(dlsym(library, "avs_release_video_frame"));
  dlclose(library);
  host.add_function(env, "misbehave", "c[fault]i", &Create, nullptr);
  return "misbehave: breaks one rule at a time";
}
