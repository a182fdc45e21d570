// The plain-C plug-in interface of AviSynth+ (interface versions 8 to 11), as
// both sides of the boundary see it: our C-interface entry (plugin/) and the
// stand-in host library that tests load in its place (tests/hosts/avisynth_c/).
//
// Nothing here is a design choice: the layouts, the function signatures and
// the calling convention are the host's binary facts, pinned by the
// static_asserts at the end for Linux x86-64 and Windows x64. Plain C structs
// only: AVS_Value in particular must stay trivially copyable, because a
// user-written copy constructor would change how it is passed to and returned
// from the host's functions, and a stand-in built from this very header would
// not notice.
//
// The host's functions are not declared as functions: a plug-in must not
// refer to them by name (the host may be loaded with local scope, where such a
// reference cannot be bound). They are function-pointer types, to be resolved
// at run time; the VELMORAINE_AVS_FUNCTIONS below names every one the entry uses.
//
// Freestanding: only <stdint.h> and <stddef.h>.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The convention of entries, host functions and callbacks (the host calls it
// AVSC_CC): the platform's C convention, except on 32-bit Windows, where
// hosts built with Microsoft's compiler use stdcall.
#if defined(_WIN32) && !defined(_WIN64)
#define VELMORAINE_AVSC_CC __stdcall
#else
#define VELMORAINE_AVSC_CC
#endif

extern "C" {

// Opaque host objects. AVS_VideoFrame holds `long` fields, so its layout
// differs between Linux and Windows: never looked into, only passed back.
typedef struct AVS_Clip AVS_Clip;
typedef struct AVS_ScriptEnvironment AVS_ScriptEnvironment;
typedef struct AVS_VideoFrame AVS_VideoFrame;

// Value types: the ASCII code in AVS_Value::type.
enum {
  AVS_TYPE_ARRAY = 'a',
  AVS_TYPE_BOOL = 'b',
  AVS_TYPE_CLIP = 'c',
  AVS_TYPE_DOUBLE = 'd',  // interface 11, only through avisynth_c_plugin_init2
  AVS_TYPE_ERROR = 'e',
  AVS_TYPE_FLOAT = 'f',
  AVS_TYPE_INT = 'i',
  AVS_TYPE_LONG = 'l',  // interface 11, only through avisynth_c_plugin_init2
  AVS_TYPE_FUNCTION = 'n',
  AVS_TYPE_STRING = 's',
  AVS_TYPE_VOID = 'v',
};

typedef struct AVS_Value AVS_Value;
struct AVS_Value {
  int16_t type;
  int16_t array_size;  // element count of an array
  union {
    void* clip;             // 'c': the host's clip object
    char boolean;           // 'b'
    int32_t integer;        // 'i'
    float floating_pt;      // 'f'
    const char* string;     // 's', and the message of 'e'
    const AVS_Value* array; // 'a': the first of array_size contiguous values
    int64_t longlong;       // 'l'
    double double_pt;       // 'd'
  } d;
};

typedef struct AVS_VideoInfo {
  int32_t width;
  int32_t height;
  uint32_t fps_numerator;
  uint32_t fps_denominator;
  int32_t num_frames;
  int32_t pixel_type;
  int32_t audio_samples_per_second;
  int32_t sample_type;
  int64_t num_audio_samples;
  int32_t nchannels;
  int32_t image_type;
} AVS_VideoInfo;

typedef struct AVS_FilterInfo AVS_FilterInfo;
struct AVS_FilterInfo {
  AVS_Clip* child;
  AVS_VideoInfo vi;  // copied from the child; the filter may change it
  AVS_ScriptEnvironment* env;  // persists for the filter's life
  // A null get_frame, get_parity or get_audio passes the call to the child.
  AVS_VideoFrame*(VELMORAINE_AVSC_CC* get_frame)(AVS_FilterInfo* fi, int n);
  int(VELMORAINE_AVSC_CC* get_parity)(AVS_FilterInfo* fi, int n);
  int(VELMORAINE_AVSC_CC* get_audio)(AVS_FilterInfo* fi, void* buf, int64_t start, int64_t count);
  int(VELMORAINE_AVSC_CC* set_cache_hints)(AVS_FilterInfo* fi, int cachehints, int frame_range);
  void(VELMORAINE_AVSC_CC* free_filter)(AVS_FilterInfo* fi);  // when the last reference drops
  const char* error;  // a frame error for the host; cleared before every callback
  void* user_data;
};

// Plane ids. Planar RGB frames hold G, B and R; YUVA and planar RGBA add A.
enum {
  AVS_DEFAULT_PLANE = 0,
  AVS_PLANAR_Y = 1,
  AVS_PLANAR_U = 2,
  AVS_PLANAR_V = 4,
  AVS_PLANAR_A = 16,
  AVS_PLANAR_R = 32,
  AVS_PLANAR_G = 64,
  AVS_PLANAR_B = 128,
};

// pixel_type: flag bits, layouts and sample sizes.
enum : uint32_t {
  AVS_CS_PLANAR = 1u << 31,
  AVS_CS_INTERLEAVED = 1u << 30,
  AVS_CS_YUV = 1u << 29,
  AVS_CS_BGR = 1u << 28,
  AVS_CS_YUVA = 1u << 27,
  // The 8-bit formats by their own names.
  AVS_CS_YV12 = 0xA0000008u,
  AVS_CS_I420 = 0xA0000010u,
  AVS_CS_YV16 = 0xA0000308u,
  AVS_CS_YV24 = 0xA000030Bu,
  AVS_CS_YV411 = 0xA0000309u,
  AVS_CS_Y8 = 0xE0000000u,
  // Layouts of every depth: OR one sample size below into them.
  AVS_CS_GENERIC_YUV420 = 0xA0000008u,
  AVS_CS_GENERIC_YUV422 = 0xA0000308u,
  AVS_CS_GENERIC_YUV444 = 0xA000030Bu,
  AVS_CS_GENERIC_Y = 0xE0000000u,
  AVS_CS_GENERIC_RGBP = 0x90000001u,
  AVS_CS_GENERIC_RGBAP = 0x90000002u,
  AVS_CS_GENERIC_YUVA420 = 0x88000008u,
  AVS_CS_GENERIC_YUVA422 = 0x88000308u,
  AVS_CS_GENERIC_YUVA444 = 0x8800030Bu,
  // The sample size field (bits 16-18). Above 8 bits every sample is one
  // 16-bit little-endian word (four bytes for float).
  AVS_CS_SAMPLE_BITS_MASK = 7u << 16,
  AVS_CS_SAMPLE_BITS_8 = 0u << 16,
  AVS_CS_SAMPLE_BITS_10 = 5u << 16,
  AVS_CS_SAMPLE_BITS_12 = 6u << 16,
  AVS_CS_SAMPLE_BITS_14 = 7u << 16,
  AVS_CS_SAMPLE_BITS_16 = 1u << 16,
  AVS_CS_SAMPLE_BITS_32 = 2u << 16,  // float
  // Refused, named here for tests: 4:1:0, packed 4:2:2, packed RGB.
  AVS_CS_YUV9 = 0xA0000109u,
  AVS_CS_YUY2 = 0x60000004u,
  AVS_CS_BGR24 = 0x50000001u,
  AVS_CS_BGR32 = 0x50000002u,
  AVS_CS_BGR48 = 0x50010001u,
  AVS_CS_BGR64 = 0x50010002u,
  // The bits the host's own YV12/YV16/YV24/YV411/Y8 tests look at: the
  // family flags, the sample size and both subsampling fields, but not which
  // of U and V comes first.
  AVS_CS_PLANAR_FAMILY_MASK = 0xF8070707u,
  // The same without the sample size: the layout at any depth.
  AVS_CS_LAYOUT_MASK = 0xF8000707u,
};

// Bits per sample of a pixel_type's sample size field: 8, 10, 12, 14, 16, or
// 32 (float); 0 for the field's unused codes.
inline int AvsBitsPerSample(uint32_t pixelType) {
  static const int kBits[8] = {8, 16, 32, 0, 0, 10, 12, 14};
  return kBits[(pixelType & AVS_CS_SAMPLE_BITS_MASK) >> 16];
}

// The subsampling fields of a planar pixel_type (bits 0-2 across, 8-10 down)
// code the factor as 0 = 2, 1 = 4, 3 = 1. Returns log2 of the factor: the
// chroma plane is (luma size >> shift).
inline int AvsSubsamplingShiftX(uint32_t pixelType) { return static_cast<int>(((pixelType & 7u) + 1u) & 3u); }
inline int AvsSubsamplingShiftY(uint32_t pixelType) {
  return static_cast<int>((((pixelType >> 8) & 7u) + 1u) & 3u);
}

// Cache hints the host asks a filter; a filter answers 0 to every other one.
enum {
  AVS_CACHE_GET_MTMODE = 509,
  AVS_MT_NICE_FILTER = 1,  // one instance may serve several threads at once
};

// The create callback registered with avs_add_function.
typedef AVS_Value(VELMORAINE_AVSC_CC* AVS_ApplyFunc)(AVS_ScriptEnvironment* env, AVS_Value args,
                                                     void* user_data);

// A plug-in entry: avisynth_c_plugin_init and avisynth_c_plugin_init2.
typedef const char*(VELMORAINE_AVSC_CC* AVS_PluginInitFunc)(AVS_ScriptEnvironment* env);

// The host functions the entry uses, as (name, result, parameters).
#define VELMORAINE_AVS_FUNCTIONS(X)                                                                \
  X(avs_add_function, int,                                                                         \
    (AVS_ScriptEnvironment * env, const char* name, const char* params, AVS_ApplyFunc apply,       \
     void* user_data))                                                                             \
  X(avs_get_error, const char*, (AVS_ScriptEnvironment * env))                                     \
  X(avs_new_c_filter, AVS_Clip*,                                                                   \
    (AVS_ScriptEnvironment * env, AVS_FilterInfo * *fi, AVS_Value child, int store_child))         \
  X(avs_set_to_clip, void, (AVS_Value * out, AVS_Clip * clip))                                     \
  X(avs_release_clip, void, (AVS_Clip * clip))                                                     \
  X(avs_get_frame, AVS_VideoFrame*, (AVS_Clip * clip, int n))                                      \
  X(avs_clip_get_error, const char*, (AVS_Clip * clip))                                            \
  X(avs_make_writable, int, (AVS_ScriptEnvironment * env, AVS_VideoFrame * *frame))                \
  X(avs_get_write_ptr_p, uint8_t*, (const AVS_VideoFrame* frame, int plane))                       \
  X(avs_get_pitch_p, int, (const AVS_VideoFrame* frame, int plane))                                \
  X(avs_get_row_size_p, int, (const AVS_VideoFrame* frame, int plane))                             \
  X(avs_get_height_p, int, (const AVS_VideoFrame* frame, int plane))                               \
  X(avs_release_video_frame, void, (AVS_VideoFrame * frame))                                       \
  X(avs_save_string, const char*, (AVS_ScriptEnvironment * env, const char* s, int length))

#define VELMORAINE_AVS_FUNCTION_TYPE(name, result, params) \
  typedef result(VELMORAINE_AVSC_CC* name##_func) params;
VELMORAINE_AVS_FUNCTIONS(VELMORAINE_AVS_FUNCTION_TYPE)
#undef VELMORAINE_AVS_FUNCTION_TYPE

}  // extern "C"

// ---------------------------------------------------------------------------
// The binary facts, for the two 64-bit targets (their layouts are identical).
#if defined(__x86_64__) || defined(_M_X64) || defined(__aarch64__) || defined(_M_ARM64)
static_assert(sizeof(AVS_Value) == 16, "AVS_Value is 16 bytes");
static_assert(offsetof(AVS_Value, type) == 0 && offsetof(AVS_Value, array_size) == 2 &&
                  offsetof(AVS_Value, d) == 8,
              "AVS_Value: type, array_size, then the value at 8");
static_assert(sizeof(AVS_VideoInfo) == 48, "AVS_VideoInfo is 48 bytes");
static_assert(offsetof(AVS_VideoInfo, fps_numerator) == 8 && offsetof(AVS_VideoInfo, num_frames) == 16 &&
                  offsetof(AVS_VideoInfo, pixel_type) == 20 &&
                  offsetof(AVS_VideoInfo, num_audio_samples) == 32 &&
                  offsetof(AVS_VideoInfo, nchannels) == 40 && offsetof(AVS_VideoInfo, image_type) == 44,
              "AVS_VideoInfo field offsets");
static_assert(sizeof(AVS_FilterInfo) == 120, "AVS_FilterInfo is 120 bytes");
static_assert(offsetof(AVS_FilterInfo, child) == 0 && offsetof(AVS_FilterInfo, vi) == 8 &&
                  offsetof(AVS_FilterInfo, env) == 56 && offsetof(AVS_FilterInfo, get_frame) == 64 &&
                  offsetof(AVS_FilterInfo, get_parity) == 72 &&
                  offsetof(AVS_FilterInfo, get_audio) == 80 &&
                  offsetof(AVS_FilterInfo, set_cache_hints) == 88 &&
                  offsetof(AVS_FilterInfo, free_filter) == 96 && offsetof(AVS_FilterInfo, error) == 104 &&
                  offsetof(AVS_FilterInfo, user_data) == 112,
              "AVS_FilterInfo field offsets");
#endif
static_assert(__is_trivially_copyable(AVS_Value) && __is_trivially_copyable(AVS_VideoInfo),
              "plain C values, passed and returned as the C ABI does");
