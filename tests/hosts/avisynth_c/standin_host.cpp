// The stand-in plain-C host: just the avs_* functions the plug-in's C entry
// uses, behaving as the host's binary facts describe, and stricter wherever
// the host is lenient (see standin_api.h). Built as libavisynth.so.11 (its
// SONAME) for the Linux tests and as AviSynth.dll for the Windows ones.
//
// Freestanding C++: fixed-size integers, malloc/free, a few string functions
// and the compiler's atomic builtins, so that the same file builds the
// Windows stand-in without a C++ standard library.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "tests/hosts/avisynth_c/standin_api.h"
#include "interface/avisynth_c_interface.h"

#if defined(_WIN32)
#define VELMORAINE_STANDIN_EXPORT __declspec(dllexport)
extern "C" __declspec(dllimport) void* __stdcall LoadLibraryA(const char* path);
extern "C" __declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
extern "C" __declspec(dllimport) int __stdcall GetModuleHandleExA(unsigned long flags, const char* name,
                                                                  void** module);
#else
#define VELMORAINE_STANDIN_EXPORT __attribute__((visibility("default")))
#include <dlfcn.h>
#endif

namespace {

// ---- Atomics and fault records ------------------------------------------------

int64_t AtomicAdd(int64_t* p, int64_t v) { return __atomic_add_fetch(p, v, __ATOMIC_ACQ_REL); }
int64_t AtomicLoad(const int64_t* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }

int64_t violationCount = 0;
const char* firstViolation = nullptr;

void Violation(const char* what) {
  AtomicAdd(&violationCount, 1);
  const char* expected = nullptr;
  __atomic_compare_exchange_n(&firstViolation, &expected, what, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

// The control bits of the SSE control register (exception masks, rounding,
// flush-to-zero, denormals-are-zero) belong to the host: a plug-in that
// changes them changes every later floating-point result of the process.
// Checked around every call into the plug-in. The six exception flags below
// them are sticky status that any arithmetic may set.
unsigned ControlRegister() {
#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || defined(_M_IX86)
  return __builtin_ia32_stmxcsr() & ~0x3Fu;
#else
  return 0;
#endif
}

class ControlRegisterKept {
 public:
  explicit ControlRegisterKept(const char* violation) : before_(ControlRegister()), violation_(violation) {}
  ~ControlRegisterKept() {
    if (ControlRegister() != before_) Violation(violation_);
  }

 private:
  unsigned before_;
  const char* violation_;
};

// Objects are not freed when released (only their pixels are), so that a
// second release or a late use is seen as such instead of being a
// use-after-free. They stay reachable from this list until a script's end.
struct Node {
  Node* nextNode;
};
Node* allObjects = nullptr;

void Keep(Node* node) {
  Node* head = __atomic_load_n(&allObjects, __ATOMIC_ACQUIRE);
  do {
    node->nextNode = head;
  } while (!__atomic_compare_exchange_n(&allObjects, &head, node, true, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
}

template <typename T>
T* NewObject() {
  static_assert(offsetof(T, node) == 0, "an object's address is its node's");
  T* object = static_cast<T*>(malloc(sizeof(T)));
  if (object == nullptr) abort();
  memset(static_cast<void*>(object), 0, sizeof(T));
  Keep(&object->node);
  return object;
}

int Length(const char* s) {
  int n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const char* a, const char* b) {
  while (*a != '\0' && Lower(*a) == Lower(*b)) ++a, ++b;
  return Lower(*a) == Lower(*b);
}

void Copy(char* out, int capacity, const char* a, const char* b = "") {
  int n = 0;
  while (*a != '\0' && n + 1 < capacity) out[n++] = *a++;
  while (*b != '\0' && n + 1 < capacity) out[n++] = *b++;
  out[n] = '\0';
}

// ---- Environments ---------------------------------------------------------------
// The persistent environment (fi->env) and temporary ones, lent to one entry
// or create call and poisoned afterwards.
const uint32_t kEnvMagic = 0x454E5649u;

}  // namespace

struct AVS_ScriptEnvironment {
  Node node;
  uint32_t magic;
  int32_t alive;
  const char* error;
  char errorText[64];  // a temporary environment's own error, gone with it
};

namespace {

AVS_ScriptEnvironment persistentEnv = {{nullptr}, kEnvMagic, 1, nullptr, {}};

bool CheckEnv(AVS_ScriptEnvironment* env) {
  if (env == nullptr || env->magic != kEnvMagic) {
    Violation("a host function was given something that is not an environment");
    return false;
  }
  if (!__atomic_load_n(&env->alive, __ATOMIC_ACQUIRE)) {
    Violation("a temporary environment was used after the call it was lent for");
    return false;
  }
  return true;
}

AVS_ScriptEnvironment* LendEnv() {
  AVS_ScriptEnvironment* env = NewObject<AVS_ScriptEnvironment>();
  env->magic = kEnvMagic;
  env->alive = 1;
  return env;
}

void Poison(AVS_ScriptEnvironment* env) {
  __atomic_store_n(&env->alive, 0, __ATOMIC_RELEASE);
  memset(env->errorText, 'x', sizeof(env->errorText) - 1);
}

// Strings saved for the environment; freed by reset.
struct SavedString {
  SavedString* next;
  char text[1];
};
SavedString* savedStrings = nullptr;

const char* SaveString(const char* s, int length) {
  if (length < 0) length = Length(s);
  SavedString* saved = static_cast<SavedString*>(malloc(sizeof(SavedString) + static_cast<size_t>(length)));
  if (saved == nullptr) return nullptr;
  memcpy(saved->text, s, static_cast<size_t>(length));
  saved->text[length] = '\0';
  SavedString* head = __atomic_load_n(&savedStrings, __ATOMIC_ACQUIRE);
  do {
    saved->next = head;
  } while (!__atomic_compare_exchange_n(&savedStrings, &head, saved, true, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
  return saved->text;
}

// Whether an error text a plug-in hands over outlives the call, as the host
// needs it to: a string saved with avs_save_string, or one inside a loaded
// module (a literal). A buffer on the plug-in's stack or heap is neither.
bool IsSavedString(const char* s) {
  for (const SavedString* saved = __atomic_load_n(&savedStrings, __ATOMIC_ACQUIRE); saved != nullptr;
       saved = saved->next) {
    if (s == saved->text) return true;
  }
  return false;
}

bool IsInsideLoadedModule(const char* s) {
#if defined(_WIN32)
  const unsigned long kFromAddress = 4, kUnchangedRefcount = 2;
  void* module = nullptr;
  return GetModuleHandleExA(kFromAddress | kUnchangedRefcount, s, &module) != 0;
#else
  Dl_info info;
  return dladdr(s, &info) != 0;
#endif
}

bool OutlivesTheCall(const char* s) { return IsSavedString(s) || IsInsideLoadedModule(s); }

// ---- Frames ---------------------------------------------------------------------------
const uint32_t kFrameMagic = 0x46524D45u;
const uint8_t kGuardByte = 0xA5;
const int kGuardBytes = 32;  // at least this many after every row

}  // namespace

struct AVS_VideoFrame {
  Node node;
  uint32_t magic;
  int64_t refcount;
  uint32_t pixelType;
  // Planes in the host's order: Y, U, V, A or G, B, R, A; each allocated on
  // its own, so that a write past a plane's last row is one past its block.
  uint8_t* plane[4];
  int32_t pitch[4];
  int32_t rowSize[4];
  int32_t height[4];
  int64_t property;
};

namespace {

const int kMaxPlanes = 4;
int64_t liveFrames = 0;

int32_t BytesPerSample(uint32_t type) {
  const int bits = StandinSampleBits(type);
  return bits == 8 ? 1 : bits == 32 ? 4 : 2;
}

bool HasAlpha(uint32_t type) {
  return (type & AVS_CS_PLANAR) && ((type & AVS_CS_YUVA) || (type & AVS_CS_LAYOUT_MASK) == AVS_CS_GENERIC_RGBAP);
}

bool IsPlanarRgb(uint32_t type) { return (type & AVS_CS_PLANAR) && (type & AVS_CS_BGR); }

// The byte layout of each plane of a format: planar YUV has Y, U, V (Y only
// for the luma-only formats), planar RGB full-size G, B, R, and either adds a
// full-size alpha plane; interleaved formats have one plane of packed pixels.
void PlaneSizes(const AVS_VideoInfo& vi, int32_t rowSize[kMaxPlanes], int32_t height[kMaxPlanes]) {
  const uint32_t type = static_cast<uint32_t>(vi.pixel_type);
  for (int p = 0; p < kMaxPlanes; ++p) rowSize[p] = height[p] = 0;
  if (!(type & AVS_CS_PLANAR)) {
    const int32_t bytesPerPixel = (type & AVS_CS_BGR) ? ((type & 7u) == 1u ? 3 : 4) : 2;
    rowSize[0] = vi.width * bytesPerPixel * (StandinSampleBits(type) == 16 ? 2 : 1);
    height[0] = vi.height;
    return;
  }
  const int32_t bytesPerSample = BytesPerSample(type);
  rowSize[0] = vi.width * bytesPerSample;
  height[0] = vi.height;
  if ((type & AVS_CS_LAYOUT_MASK) == AVS_CS_GENERIC_Y) return;
  const bool rgb = IsPlanarRgb(type);
  const int subWidth = rgb ? 0 : AvsSubsamplingShiftX(type), subHeight = rgb ? 0 : AvsSubsamplingShiftY(type);
  for (int p = 1; p < 3; ++p) {
    rowSize[p] = (vi.width >> subWidth) * bytesPerSample;
    height[p] = vi.height >> subHeight;
  }
  if (HasAlpha(type)) {
    rowSize[3] = rowSize[0];
    height[3] = height[0];
  }
}

// Each plane's own block, filled with guard bytes: rows padded to a multiple
// of 32 plus the guard, so that the pitch never equals the row size.
void AllocatePlanes(AVS_VideoFrame* frame) {
  for (int p = 0; p < kMaxPlanes; ++p) {
    frame->pitch[p] = frame->rowSize[p] > 0 ? ((frame->rowSize[p] + 31) & ~31) + kGuardBytes : 0;
    frame->plane[p] = nullptr;
    if (frame->rowSize[p] <= 0) continue;
    const size_t size = static_cast<size_t>(frame->pitch[p]) * static_cast<size_t>(frame->height[p]);
    frame->plane[p] = static_cast<uint8_t*>(malloc(size));
    if (frame->plane[p] == nullptr) abort();
    memset(frame->plane[p], kGuardByte, size);
  }
}

AVS_VideoFrame* NewFrame(const AVS_VideoInfo& vi, int64_t property) {
  AVS_VideoFrame* frame = NewObject<AVS_VideoFrame>();
  frame->magic = kFrameMagic;
  frame->refcount = 1;
  frame->property = property;
  frame->pixelType = static_cast<uint32_t>(vi.pixel_type);
  PlaneSizes(vi, frame->rowSize, frame->height);
  AllocatePlanes(frame);
  AtomicAdd(&liveFrames, 1);
  return frame;
}

bool GuardsIntact(const AVS_VideoFrame* frame) {
  for (int p = 0; p < kMaxPlanes; ++p) {
    for (int32_t y = 0; y < frame->height[p]; ++y) {
      const uint8_t* row = frame->plane[p] + static_cast<ptrdiff_t>(y) * frame->pitch[p];
      for (int32_t x = frame->rowSize[p]; x < frame->pitch[p]; ++x)
        if (row[x] != kGuardByte) return false;
    }
  }
  return true;
}

bool CheckFrame(const AVS_VideoFrame* frame) {
  if (frame == nullptr || frame->magic != kFrameMagic) {
    Violation("a host function was given something that is not a frame");
    return false;
  }
  if (__atomic_load_n(&frame->refcount, __ATOMIC_ACQUIRE) <= 0) {
    Violation("a released frame was used");
    return false;
  }
  return true;
}

void ReleaseFrame(AVS_VideoFrame* frame) {
  if (frame == nullptr || frame->magic != kFrameMagic) {
    Violation("avs_release_video_frame was given something that is not a frame");
    return;
  }
  const int64_t left = AtomicAdd(&frame->refcount, -1);
  if (left < 0) {
    Violation("a frame reference was released twice");
    return;
  }
  if (left > 0) return;
  if (!GuardsIntact(frame)) Violation("bytes past the end of a row were overwritten");
  for (int p = 0; p < kMaxPlanes; ++p) {
    free(frame->plane[p]);
    frame->plane[p] = nullptr;
  }
  AtomicAdd(&liveFrames, -1);
}

// Where a plane id is in a frame of its format, or -1 when the format has no
// such plane. Stricter than the host: Y, U and V are not planes of planar
// RGB, nor R, G and B of YUV.
int PlaneIndex(const AVS_VideoFrame* frame, int plane) {
  const uint32_t type = frame->pixelType;
  if (plane == AVS_DEFAULT_PLANE) return 0;
  if (plane == AVS_PLANAR_A) return HasAlpha(type) ? 3 : -1;
  if (!(type & AVS_CS_PLANAR)) return plane == AVS_PLANAR_Y ? 0 : -1;
  const bool rgb = IsPlanarRgb(type);
  int p = -1;
  switch (plane) {
    case AVS_PLANAR_Y: p = rgb ? -1 : 0; break;
    case AVS_PLANAR_U: p = rgb ? -1 : 1; break;
    case AVS_PLANAR_V: p = rgb ? -1 : 2; break;
    case AVS_PLANAR_G: p = rgb ? 0 : -1; break;
    case AVS_PLANAR_B: p = rgb ? 1 : -1; break;
    case AVS_PLANAR_R: p = rgb ? 2 : -1; break;
    default: break;
  }
  return p >= 0 && frame->rowSize[p] > 0 ? p : -1;
}

// ---- Clips ------------------------------------------------------------------------------
const uint32_t kClipMagic = 0x434C4950u;

}  // namespace

struct AVS_Clip {
  Node node;
  uint32_t magic;
  int64_t refcount;
  bool isFilter;
  AVS_VideoInfo vi;
  // A source clip.
  StandinSourceSettings settings;
  AVS_VideoFrame** held;  // settings.hold_frames: one reference per frame
  // A filter.
  AVS_FilterInfo fi;
  bool storesChild;
  int32_t mtMode;
  const char* error;  // the last frame error
};

namespace {

int64_t liveClips = 0;

bool CheckClip(const AVS_Clip* clip) {
  if (clip == nullptr || clip->magic != kClipMagic) {
    Violation("a host function was given something that is not a clip");
    return false;
  }
  if (__atomic_load_n(&clip->refcount, __ATOMIC_ACQUIRE) <= 0) {
    Violation("a released clip was used");
    return false;
  }
  return true;
}

AVS_Clip* NewClip() {
  AVS_Clip* clip = NewObject<AVS_Clip>();
  clip->magic = kClipMagic;
  clip->refcount = 1;
  AtomicAdd(&liveClips, 1);
  return clip;
}

// The samples of a source frame: StandinSample bytes at 8 bits (and in the
// bytes of float or packed formats), StandinSample16 words at 10 to 16 bits.
AVS_VideoFrame* SourceFrame(AVS_Clip* clip, int n) {
  const StandinSourceSettings& settings = clip->settings;
  AVS_VideoFrame* frame = NewFrame(clip->vi, settings.property_base + n);
  const int bits = StandinSampleBits(frame->pixelType);
  const bool words = (frame->pixelType & AVS_CS_PLANAR) && bits > 8 && bits <= 16;
  for (int p = 0; p < kMaxPlanes; ++p) {
    for (int32_t y = 0; y < frame->height[p]; ++y) {
      uint8_t* row = frame->plane[p] + static_cast<ptrdiff_t>(y) * frame->pitch[p];
      if (!words) {
        for (int32_t x = 0; x < frame->rowSize[p]; ++x) row[x] = StandinSample(settings.seed, n, p, x, y);
        continue;
      }
      for (int32_t x = 0; x < frame->rowSize[p] / 2; ++x) {
        const uint16_t word = StandinSample16(settings.seed, n, p, x, y, bits);
        memcpy(row + 2 * x, &word, 2);
      }
    }
  }
  return frame;
}

}  // namespace

// ---- The host's functions ----------------------------------------------------------------

extern "C" {

VELMORAINE_STANDIN_EXPORT void VELMORAINE_AVSC_CC avs_release_clip(AVS_Clip* clip) {
  if (clip == nullptr || clip->magic != kClipMagic) {
    Violation("avs_release_clip was given something that is not a clip");
    return;
  }
  const int64_t left = AtomicAdd(&clip->refcount, -1);
  if (left < 0) {
    Violation("a clip reference was released twice");
    return;
  }
  if (left > 0) return;
  if (clip->isFilter) {
    // Runs while the child is still valid, as the host does.
    if (clip->fi.free_filter != nullptr) {
      ControlRegisterKept kept("free_filter changed the SSE control register");
      clip->fi.free_filter(&clip->fi);
    }
    if (clip->storesChild) avs_release_clip(clip->fi.child);
  } else if (clip->held != nullptr) {
    for (int32_t n = 0; n < clip->settings.num_frames; ++n) ReleaseFrame(clip->held[n]);
    free(clip->held);
    clip->held = nullptr;
  }
  AtomicAdd(&liveClips, -1);
}

VELMORAINE_STANDIN_EXPORT void VELMORAINE_AVSC_CC avs_set_to_clip(AVS_Value* out, AVS_Clip* clip) {
  if (!CheckClip(clip)) return;
  AtomicAdd(&clip->refcount, 1);
  out->type = AVS_TYPE_CLIP;
  out->array_size = 0;
  out->d.clip = clip;
}

VELMORAINE_STANDIN_EXPORT const char* VELMORAINE_AVSC_CC avs_clip_get_error(AVS_Clip* clip) {
  if (!CheckClip(clip)) return nullptr;
  return __atomic_load_n(&clip->error, __ATOMIC_ACQUIRE);
}

VELMORAINE_STANDIN_EXPORT AVS_VideoFrame* VELMORAINE_AVSC_CC avs_get_frame(AVS_Clip* clip, int n) {
  if (!CheckClip(clip)) return nullptr;
  // The host clamps frame numbers into the clip.
  if (n >= clip->vi.num_frames) n = clip->vi.num_frames - 1;
  if (n < 0) n = 0;
  if (!clip->isFilter) {
    if (n == clip->settings.failing_frame) {
      static const char kUndeliverable[] = "stand-in source: this frame cannot be delivered";
      __atomic_store_n(&clip->error, static_cast<const char*>(kUndeliverable), __ATOMIC_RELEASE);
      return nullptr;
    }
    if (clip->held == nullptr) return SourceFrame(clip, n);
    AtomicAdd(&clip->held[n]->refcount, 1);
    return clip->held[n];
  }
  AVS_FilterInfo* fi = &clip->fi;
  if (fi->get_frame == nullptr) return avs_get_frame(fi->child, n);
  __atomic_store_n(&fi->error, static_cast<const char*>(nullptr), __ATOMIC_RELEASE);
  AVS_VideoFrame* frame;
  {
    ControlRegisterKept kept("get_frame changed the SSE control register");
    frame = fi->get_frame(fi, n);
  }
  const char* error = __atomic_load_n(&fi->error, __ATOMIC_ACQUIRE);
  if (frame != nullptr && error != nullptr) {
    Violation("a frame was returned along with an error (it leaks in the host)");
  }
  if (frame == nullptr) {
    if (error == nullptr) Violation("get_frame returned no frame and no error");
    else if (!OutlivesTheCall(error)) Violation("a frame error is neither a literal nor a saved string");
    __atomic_store_n(&clip->error, error, __ATOMIC_RELEASE);
    return nullptr;
  }
  if (!CheckFrame(frame)) return nullptr;
  return frame;
}

VELMORAINE_STANDIN_EXPORT void VELMORAINE_AVSC_CC avs_release_video_frame(AVS_VideoFrame* frame) { ReleaseFrame(frame); }

#if !defined(VELMORAINE_STANDIN_WITHOUT_MAKE_WRITABLE)
VELMORAINE_STANDIN_EXPORT int VELMORAINE_AVSC_CC avs_make_writable(AVS_ScriptEnvironment* env, AVS_VideoFrame** frame) {
  if (!CheckEnv(env) || frame == nullptr || !CheckFrame(*frame)) return -1;
  AVS_VideoFrame* shared = *frame;
  if (__atomic_load_n(&shared->refcount, __ATOMIC_ACQUIRE) == 1) return 0;
  // A private copy with the same properties; the caller's reference to the
  // shared frame is dropped.
  AVS_VideoFrame* copy = NewObject<AVS_VideoFrame>();
  const Node kept = copy->node;  // its place in the list of all objects
  memcpy(static_cast<void*>(copy), shared, sizeof(AVS_VideoFrame));
  copy->node = kept;
  copy->refcount = 1;
  AllocatePlanes(copy);
  for (int p = 0; p < kMaxPlanes; ++p) {
    if (copy->plane[p] == nullptr || copy->rowSize[p] <= 0) continue;  // an empty plane: nothing to copy
    for (int32_t y = 0; y < copy->height[p]; ++y)
      memcpy(copy->plane[p] + static_cast<ptrdiff_t>(y) * copy->pitch[p],
             shared->plane[p] + static_cast<ptrdiff_t>(y) * shared->pitch[p], static_cast<size_t>(copy->rowSize[p]));
  }
  AtomicAdd(&liveFrames, 1);
  ReleaseFrame(shared);
  *frame = copy;
  return 1;
}
#endif

VELMORAINE_STANDIN_EXPORT uint8_t* VELMORAINE_AVSC_CC avs_get_write_ptr_p(const AVS_VideoFrame* frame, int plane) {
  if (!CheckFrame(frame)) return nullptr;
  const int p = PlaneIndex(frame, plane);
  // Stricter than the host, which checks the Y plane only: no plane of a
  // shared frame is writable.
  if (p < 0 || __atomic_load_n(&frame->refcount, __ATOMIC_ACQUIRE) != 1) return nullptr;
  return frame->plane[p];
}

VELMORAINE_STANDIN_EXPORT const uint8_t* VELMORAINE_AVSC_CC avs_get_read_ptr_p(const AVS_VideoFrame* frame, int plane) {
  if (!CheckFrame(frame)) return nullptr;
  const int p = PlaneIndex(frame, plane);
  return p < 0 ? nullptr : frame->plane[p];
}

VELMORAINE_STANDIN_EXPORT int VELMORAINE_AVSC_CC avs_get_pitch_p(const AVS_VideoFrame* frame, int plane) {
  if (!CheckFrame(frame)) return 0;
  const int p = PlaneIndex(frame, plane);
  return p < 0 ? 0 : frame->pitch[p];
}

VELMORAINE_STANDIN_EXPORT int VELMORAINE_AVSC_CC avs_get_row_size_p(const AVS_VideoFrame* frame, int plane) {
  if (!CheckFrame(frame)) return 0;
  const int p = PlaneIndex(frame, plane);
  return p < 0 ? 0 : frame->rowSize[p];
}

VELMORAINE_STANDIN_EXPORT int VELMORAINE_AVSC_CC avs_get_height_p(const AVS_VideoFrame* frame, int plane) {
  if (!CheckFrame(frame)) return 0;
  const int p = PlaneIndex(frame, plane);
  return p < 0 ? 0 : frame->height[p];
}

VELMORAINE_STANDIN_EXPORT const char* VELMORAINE_AVSC_CC avs_save_string(AVS_ScriptEnvironment* env, const char* s, int length) {
  if (!CheckEnv(env) || s == nullptr) return nullptr;
  return SaveString(s, length);
}

VELMORAINE_STANDIN_EXPORT const char* VELMORAINE_AVSC_CC avs_get_error(AVS_ScriptEnvironment* env) {
  if (!CheckEnv(env)) return nullptr;
  return env->error;
}

VELMORAINE_STANDIN_EXPORT AVS_Clip* VELMORAINE_AVSC_CC avs_new_c_filter(AVS_ScriptEnvironment* env, AVS_FilterInfo** fi,
                                                  AVS_Value child, int store_child) {
  if (!CheckEnv(env) || fi == nullptr) return nullptr;
  if (child.type != AVS_TYPE_CLIP) {
    env->error = "avs_new_c_filter: the child is not a clip";
    return nullptr;
  }
  AVS_Clip* source = static_cast<AVS_Clip*>(child.d.clip);
  if (!CheckClip(source)) return nullptr;
  if (!source->isFilter && source->settings.refuse_as_child) {
    Copy(env->errorText, sizeof(env->errorText), "stand-in host: this clip cannot be a child");
    env->error = env->errorText;
    return nullptr;
  }
  AVS_Clip* clip = NewClip();
  clip->isFilter = true;
  clip->vi = source->vi;
  clip->fi.child = source;
  clip->fi.vi = source->vi;
  clip->fi.env = &persistentEnv;
  clip->storesChild = store_child != 0;
  if (clip->storesChild) AtomicAdd(&source->refcount, 1);
  *fi = &clip->fi;
  return clip;
}

}  // extern "C"

// ---- The test side ----------------------------------------------------------------------------

namespace {

struct Function {
  char name[128];
  char params[64];
  AVS_ApplyFunc apply;
  void* userData;
  int entry;  // which entry registered it
};
Function functions[64];
int functionCount = 0;
int loadingEntry = 0;
const char* lastError = nullptr;
char pluginBaseName[128];

}  // namespace

extern "C" VELMORAINE_STANDIN_EXPORT int VELMORAINE_AVSC_CC avs_add_function(AVS_ScriptEnvironment* env, const char* name,
                                                       const char* params, AVS_ApplyFunc apply,
                                                       void* user_data) {
  if (!CheckEnv(env)) return -1;
  // Registered under its own name and under "<library base name>_<name>".
  for (int alias = 0; alias < 2; ++alias) {
    if (functionCount == 64) {
      env->error = "avs_add_function: too many functions";
      return -1;
    }
    Function& f = functions[functionCount++];
    if (alias == 0) {
      Copy(f.name, sizeof(f.name), name);
    } else {
      char prefix[130];
      Copy(prefix, sizeof(prefix), pluginBaseName, "_");
      Copy(f.name, sizeof(f.name), prefix, name);
    }
    Copy(f.params, sizeof(f.params), params);
    f.apply = apply;
    f.userData = user_data;
    f.entry = loadingEntry;
  }
  return 0;
}

namespace {

const char* StandinLoadPlugin(const char* path, int entry) {
  // The file's base name without the extension, as the host prefixes it.
  const char* base = path;
  for (const char* s = path; *s != '\0'; ++s)
    if (*s == '/' || *s == '\\') base = s + 1;
  int n = 0;
  while (base[n] != '\0' && base[n] != '.' && n + 1 < static_cast<int>(sizeof(pluginBaseName))) {
    pluginBaseName[n] = base[n];
    ++n;
  }
  pluginBaseName[n] = '\0';
#if defined(_WIN32)
  void* library = LoadLibraryA(path);
  auto find = [&](const char* name) { return GetProcAddress(library, name); };
#else
  void* library = dlopen(path, RTLD_LAZY | RTLD_LOCAL);
  auto find = [&](const char* name) { return dlsym(library, name); };
#endif
  if (library == nullptr) {
    lastError = "the plug-in library could not be loaded";
    return nullptr;
  }
  const char* name = entry == STANDIN_ENTRY_INIT2 ? "avisynth_c_plugin_init2" : "avisynth_c_plugin_init";
  AVS_PluginInitFunc init = reinterpret_cast<AVS_PluginInitFunc>(find(name));
  if (init == nullptr) {
    lastError = "the plug-in library lacks the entry";
    return nullptr;
  }
  AVS_ScriptEnvironment* env = LendEnv();
  loadingEntry = entry;
  const char* description;
  {
    ControlRegisterKept kept("the plug-in's entry changed the SSE control register");
    description = init(env);
  }
  loadingEntry = 0;
  Poison(env);
  return description;
}

const char* StandinLastError() { return lastError; }

const Function* FindFunction(const char* name) {
  for (int i = 0; i < functionCount; ++i)
    if (SameName(functions[i].name, name)) return &functions[i];
  return nullptr;
}

int StandinFunctionExists(const char* name) { return FindFunction(name) != nullptr; }

AVS_Clip* StandinNewSource(const StandinSourceSettings* settings) {
  AVS_Clip* clip = NewClip();
  clip->settings = *settings;
  clip->vi.width = settings->width;
  clip->vi.height = settings->height;
  clip->vi.fps_numerator = 25;
  clip->vi.fps_denominator = 1;
  clip->vi.num_frames = settings->num_frames;
  clip->vi.pixel_type = settings->pixel_type;
  if (settings->hold_frames) {
    clip->held = static_cast<AVS_VideoFrame**>(malloc(sizeof(AVS_VideoFrame*) * static_cast<size_t>(settings->num_frames)));
    if (clip->held == nullptr) abort();
    for (int32_t n = 0; n < settings->num_frames; ++n) clip->held[n] = SourceFrame(clip, n);
  }
  return clip;
}

AVS_Value ErrorValue(const char* message) {
  AVS_Value value = {};
  value.type = AVS_TYPE_ERROR;
  value.d.string = message;
  return value;
}

// One parameter of a parameter string: "[name]t" or "t".
struct Parameter {
  char name[32];
  char type;
};

int ParseParameters(const char* params, Parameter* out, int capacity) {
  int count = 0;
  while (*params != '\0' && count < capacity) {
    Parameter& p = out[count];
    p.name[0] = '\0';
    if (*params == '[') {
      int n = 0;
      ++params;
      while (*params != '\0' && *params != ']') {
        if (n + 1 < static_cast<int>(sizeof(p.name))) p.name[n++] = *params;
        ++params;
      }
      p.name[n] = '\0';
      if (*params == ']') ++params;
    }
    p.type = *params != '\0' ? *params++ : 'v';
    while (*params == '+' || *params == '*') ++params;
    ++count;
  }
  return count;
}

// Whether a value fits a parameter type, and the value the function gets:
// through avisynth_c_plugin_init a 64-bit integer arrives narrowed.
bool Convert(char type, const AVS_Value& in, int entry, AVS_Value& out) {
  out = in;
  switch (type) {
    case 'i':
      if (in.type == AVS_TYPE_INT) return true;
      if (in.type != AVS_TYPE_LONG) return false;
      if (entry == STANDIN_ENTRY_INIT) {
        out.type = AVS_TYPE_INT;
        out.d.longlong = 0;
        out.d.integer = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(in.d.longlong)));
      }
      return true;
    case 'f': return in.type == AVS_TYPE_FLOAT || in.type == AVS_TYPE_INT;
    case 'b': return in.type == AVS_TYPE_BOOL;
    case 's': return in.type == AVS_TYPE_STRING;
    case 'c': return in.type == AVS_TYPE_CLIP;
    default: return true;
  }
}

AVS_Value StandinInvoke(const char* name, AVS_Clip* clip, const StandinArgument* arguments, int count) {
  const Function* function = FindFunction(name);
  if (function == nullptr) return ErrorValue("there is no function of that name");
  Parameter params[16];
  const int paramCount = ParseParameters(function->params, params, 16);
  AVS_Value values[16];
  for (int i = 0; i < 16; ++i) values[i] = AVS_Value{AVS_TYPE_VOID, 0, {nullptr}};
  if (paramCount < 1 || params[0].type != 'c' || !CheckClip(clip)) return ErrorValue("invalid arguments");
  int positional = 1;
  for (int a = 0; a < count; ++a) {
    int slot = -1;
    if (arguments[a].name == nullptr) {
      slot = positional++;
    } else {
      for (int p = 1; p < paramCount; ++p)
        if (params[p].name[0] != '\0' && SameName(params[p].name, arguments[a].name)) slot = p;
    }
    if (slot < 0 || slot >= paramCount) return ErrorValue("invalid arguments");
    if (!Convert(params[slot].type, arguments[a].value, function->entry, values[slot]))
      return ErrorValue("invalid arguments");
  }
  avs_set_to_clip(&values[0], clip);
  AVS_Value args = {};
  args.type = AVS_TYPE_ARRAY;
  args.array_size = static_cast<int16_t>(paramCount);
  args.d.array = values;
  AVS_ScriptEnvironment* env = LendEnv();
  AVS_Value result;
  {
    ControlRegisterKept kept("the create callback changed the SSE control register");
    result = function->apply(env, args, function->userData);
  }
  Poison(env);
  avs_release_clip(static_cast<AVS_Clip*>(values[0].d.clip));
  if (result.type == AVS_TYPE_CLIP) {
    // The questions the host asks a new filter: the MT mode, then hints that
    // every filter must answer with 0 (1000 makes the host warn).
    AVS_Clip* made = static_cast<AVS_Clip*>(result.d.clip);
    if (CheckClip(made) && made->isFilter && made->fi.set_cache_hints != nullptr) {
      ControlRegisterKept kept("set_cache_hints changed the SSE control register");
      made->mtMode = made->fi.set_cache_hints(&made->fi, AVS_CACHE_GET_MTMODE, 0);
      static const int kOtherHints[] = {501, 601, 1000};
      for (int hint : kOtherHints)
        if (made->fi.set_cache_hints(&made->fi, hint, 0) != 0)
          Violation("the filter answered a cache hint other than the MT-mode query with non-zero");
    }
  } else if (result.type == AVS_TYPE_ERROR) {
    if (result.d.string == nullptr) Violation("an error value without a message");
    else if (!OutlivesTheCall(result.d.string))
      Violation("a create error is neither a literal nor a saved string");
  } else {
    Violation("the create callback returned neither a clip nor an error");
  }
  return result;
}

void StandinReleaseValue(AVS_Value* value) {
  if (value->type == AVS_TYPE_CLIP) avs_release_clip(static_cast<AVS_Clip*>(value->d.clip));
  value->type = AVS_TYPE_VOID;
}

AVS_Clip* StandinValueClip(const AVS_Value* value) {
  return value->type == AVS_TYPE_CLIP ? static_cast<AVS_Clip*>(value->d.clip) : nullptr;
}

int StandinMtMode(AVS_Clip* clip) { return CheckClip(clip) ? clip->mtMode : -1; }

int64_t StandinFrameProperty(const AVS_VideoFrame* frame) { return CheckFrame(frame) ? frame->property : -1; }

int64_t StandinLiveClips() { return AtomicLoad(&liveClips); }
int64_t StandinLiveFrames() { return AtomicLoad(&liveFrames); }
int64_t StandinViolations() { return AtomicLoad(&violationCount); }
const char* StandinFirstViolation() { return __atomic_load_n(&firstViolation, __ATOMIC_ACQUIRE); }

// Takes the whole list from `head` and frees every item of it.
template <typename T>
void FreeList(T** head, T* T::*next) {
  T* item = __atomic_exchange_n(head, static_cast<T*>(nullptr), __ATOMIC_ACQ_REL);
  while (item != nullptr) {
    T* following = item->*next;
    free(item);
    item = following;
  }
}

void StandinEndScript() {
  FreeList(&savedStrings, &SavedString::next);
  if (AtomicLoad(&liveClips) != 0 || AtomicLoad(&liveFrames) != 0) return;
  FreeList(&allObjects, &Node::nextNode);
}

void StandinReset() {
  functionCount = 0;
  lastError = nullptr;
  __atomic_store_n(&violationCount, 0, __ATOMIC_RELEASE);
  __atomic_store_n(&firstViolation, static_cast<const char*>(nullptr), __ATOMIC_RELEASE);
  FreeList(&savedStrings, &SavedString::next);
}

const StandinApi kApi = {
    StandinLoadPlugin, StandinLastError, StandinFunctionExists, StandinNewSource,
    StandinInvoke,     StandinReleaseValue, StandinValueClip,  StandinMtMode,
    StandinFrameProperty, StandinLiveClips, StandinLiveFrames, StandinViolations,
    StandinFirstViolation, StandinReset, StandinEndScript,
};

}  // namespace

extern "C" VELMORAINE_STANDIN_EXPORT const StandinApi* velmoraine_standin_api(void) { return &kApi; }
