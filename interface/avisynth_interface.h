// The 2.5 frame-server plug-in interface, as both sides of the boundary see it.
//
// One header serves the plug-in (plugin/) and our stand-in frame server
// (tests/hosts/avisynth25/). A plug-in of this interface compiles the
// inline code below into itself: the handles' reference counting and the
// frame accessors read and change the host's memory directly, and every
// other call goes through the host's vtables. So the layouts, the vtable
// order and the calling conventions here are binary facts, not design
// choices: they must match the hosts exactly on Linux x86-64 and on 32-bit
// Windows. The static_asserts at the end pin the sizes and offsets.
//
// Rules that keep the binary contract:
//  - Reference counts are C `long` (8 bytes on Linux x86-64, 4 on Win32).
//  - Never overload a name in IClip or IScriptEnvironment: one compiler groups
//    overloads together in the vtable. Default arguments instead.
//  - AVSValue, PClip and PVideoFrame keep user-written copy constructors and
//    destructors, so by-value arguments and class returns travel through
//    hidden pointers as the hosts expect.
//  - Every reference-count change is atomic: hosts touch the same counters
//    from several threads.
//  - Freestanding: only <stddef.h>, <stdint.h> and <stdarg.h>, so the same
//    header builds the Windows DLL, which has no C++ standard library.
//
// Pixel types: YV12 and I420 (planar 4:2:0) are what the filter works on.
// CS_MONO8 is our stand-in host's own planar 8-bit type without chroma (the
// command-line program uses it for mono streams): its frames have pitchUV 0,
// so their U and V planes are empty. Real 2.5 hosts never produce it.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------------------
// Calling conventions. 32-bit Windows: non-variadic interface methods and the
// entry point are stdcall; variadic methods and the create callback cdecl.
// Everywhere else there is one convention and the markers vanish.
#if defined(_WIN32) && !defined(_WIN64)
#define VELMORAINE_STDCALL __stdcall
#define VELMORAINE_CDECL __cdecl
#else
#define VELMORAINE_STDCALL
#define VELMORAINE_CDECL
#endif

// ---------------------------------------------------------------------------
// Atomic reference counts on `long`.
#if defined(_MSC_VER)
extern "C" long _InterlockedIncrement(long volatile* addend);
extern "C" long _InterlockedDecrement(long volatile* addend);
extern "C" long _InterlockedCompareExchange(long volatile* dest, long exchange, long comparand);
#endif

namespace vm_atomic {

// Adds one and returns the new value.
inline long Increment(long* p) {
#if defined(_MSC_VER)
  return _InterlockedIncrement(p);
#elif defined(__GNUC__) || defined(__clang__)
  return __atomic_add_fetch(p, 1L, __ATOMIC_ACQ_REL);
#else
  return ++*(volatile long*)p;  // portable fallback: not thread safe
#endif
}

// Subtracts one and returns the new value.
inline long Decrement(long* p) {
#if defined(_MSC_VER)
  return _InterlockedDecrement(p);
#elif defined(__GNUC__) || defined(__clang__)
  return __atomic_sub_fetch(p, 1L, __ATOMIC_ACQ_REL);
#else
  return --*(volatile long*)p;
#endif
}

inline long Load(const long* p) {
#if defined(_MSC_VER)
  return _InterlockedCompareExchange(const_cast<long volatile*>(p), 0, 0);
#elif defined(__GNUC__) || defined(__clang__)
  return __atomic_load_n(p, __ATOMIC_ACQUIRE);
#else
  return *(const volatile long*)p;
#endif
}

}  // namespace vm_atomic

// ---------------------------------------------------------------------------
// Constants.

enum { PLANAR_Y = 1, PLANAR_U = 2, PLANAR_V = 4 };

enum : unsigned {
  CS_BGR = 1u << 28,
  CS_YUV = 1u << 29,
  CS_INTERLEAVED = 1u << 30,
  CS_PLANAR = 1u << 31,
};

enum : int {
  CS_UNKNOWN = 0,
  CS_BGR24 = static_cast<int>(0x1u | CS_BGR | CS_INTERLEAVED),
  CS_BGR32 = static_cast<int>(0x2u | CS_BGR | CS_INTERLEAVED),
  CS_YUY2 = static_cast<int>(0x4u | CS_YUV | CS_INTERLEAVED),
  CS_YV12 = static_cast<int>(0x8u | CS_YUV | CS_PLANAR),   // 0xA0000008
  CS_I420 = static_cast<int>(0x10u | CS_YUV | CS_PLANAR),  // 0xA0000010
  CS_MONO8 = static_cast<int>(0x40u | CS_YUV | CS_PLANAR), // ours: luma only
};

// Frame alignment that NewVideoFrame uses when the caller does not say.
enum { FRAME_ALIGN = 16 };

// ---------------------------------------------------------------------------
struct VideoInfo {
  int width;
  int height;
  unsigned fps_numerator;
  unsigned fps_denominator;
  int num_frames;
  int pixel_type;
  int audio_samples_per_second;
  int sample_type;
  int64_t num_audio_samples;
  int nchannels;
  int image_type;

  bool HasVideo() const { return width != 0; }
  bool HasAudio() const { return audio_samples_per_second != 0; }
  bool IsPlanar() const { return (static_cast<unsigned>(pixel_type) & CS_PLANAR) != 0; }
  bool IsYUV() const { return (static_cast<unsigned>(pixel_type) & CS_YUV) != 0; }
  bool IsRGB() const { return (static_cast<unsigned>(pixel_type) & CS_BGR) != 0; }
  bool IsYUY2() const { return pixel_type == CS_YUY2; }
  // Planar 4:2:0 in either chroma order.
  bool IsYV12() const { return pixel_type == CS_YV12 || pixel_type == CS_I420; }
  bool IsMono8() const { return pixel_type == CS_MONO8; }
  bool IsSameColorspace(const VideoInfo& o) const { return o.pixel_type == pixel_type; }
};

// ---------------------------------------------------------------------------
// A frame's memory. Hosts may append members after these; the plug-in never
// touches them. `refcount` counts the VideoFrames that use the buffer.
class VideoFrameBuffer {
 public:
  uint8_t* data;
  int data_size;
  long sequence_number;  // bumped whenever a write pointer is handed out
  long refcount;
};

// One frame: where its planes lie inside a buffer. Hosts may append members.
// `refcount` counts the PVideoFrame handles; when it falls to zero the frame
// drops its reference on the buffer and belongs to the host again (the host
// reclaims it: releasing never frees memory).
class VideoFrame {
 public:
  long refcount;
  VideoFrameBuffer* vfb;
  int offset;    // Y (or the whole interleaved picture)
  int pitch;
  int row_size;  // bytes
  int height;
  int offsetU;
  int offsetV;
  int pitchUV;   // 0 when the frame has no chroma planes

  int GetPitch(int plane = 0) const {
    return (plane == PLANAR_U || plane == PLANAR_V) ? pitchUV : pitch;
  }
  // U and V are half the luma size, rounded down: right for 4:2:0 only.
  int GetRowSize(int plane = 0) const {
    if (plane == PLANAR_U || plane == PLANAR_V) return pitchUV ? row_size / 2 : 0;
    return row_size;
  }
  int GetHeight(int plane = 0) const {
    if (plane == PLANAR_U || plane == PLANAR_V) return pitchUV ? height / 2 : 0;
    return height;
  }
  const uint8_t* GetReadPtr(int plane = 0) const {
    if (plane == PLANAR_U) return vfb->data + offsetU;
    if (plane == PLANAR_V) return vfb->data + offsetV;
    return vfb->data + offset;
  }
  // Y: only a frame that nobody else sees is writable (frame and buffer both
  // held once); otherwise null. U and V are handed out without a check.
  uint8_t* GetWritePtr(int plane = 0) const {
    if (plane == PLANAR_U) return vfb->data + offsetU;
    if (plane == PLANAR_V) return vfb->data + offsetV;
    if (IsWritable()) {
      vm_atomic::Increment(&vfb->sequence_number);
      return vfb->data + offset;
    }
    return nullptr;
  }
  bool IsWritable() const {
    return vm_atomic::Load(&refcount) == 1 && vm_atomic::Load(&vfb->refcount) == 1;
  }
  VideoFrameBuffer* GetFrameBuffer() const { return vfb; }

  void AddRef() { vm_atomic::Increment(&refcount); }
  // Reads the buffer first: once the count reaches zero the host may reuse
  // this frame at any moment.
  void Release() {
    VideoFrameBuffer* buffer = vfb;
    if (vm_atomic::Decrement(&refcount) == 0) vm_atomic::Decrement(&buffer->refcount);
  }
};

class IClip;
class IScriptEnvironment;

// ---------------------------------------------------------------------------
// Reference-counted frame handle: one pointer. Wrapping a raw frame takes a
// reference (fresh host frames start at count 0).
class PVideoFrame {
  VideoFrame* p;

  void Acquire() const {
    if (p) p->AddRef();
  }
  void Drop() const {
    if (p) p->Release();
  }

 public:
  PVideoFrame() : p(nullptr) {}
  PVideoFrame(VideoFrame* frame) : p(frame) { Acquire(); }
  PVideoFrame(const PVideoFrame& o) : p(o.p) { Acquire(); }
  ~PVideoFrame() { Drop(); }
  PVideoFrame& operator=(const PVideoFrame& o) {
    VideoFrame* old = p;
    p = o.p;
    Acquire();
    if (old) old->Release();
    return *this;
  }
  VideoFrame* operator->() const { return p; }
  VideoFrame* Get() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};

// ---------------------------------------------------------------------------
// A clip. Hosts and plug-ins delete clips through the virtual destructor when
// the last PClip or clip-typed AVSValue lets go.
class IClip {
  friend class PClip;
  friend class AVSValue;
  long refcnt;

  void AddRef() { vm_atomic::Increment(&refcnt); }
  void Release() {
    if (vm_atomic::Decrement(&refcnt) == 0) delete this;
  }

 public:
  IClip() : refcnt(0) {}
  IClip(const IClip&) = delete;
  IClip& operator=(const IClip&) = delete;

  // Reference count, for tests and diagnostics.
  long RefCount() const { return vm_atomic::Load(&refcnt); }

  virtual int VELMORAINE_STDCALL GetVersion() { return 2; }
  virtual PVideoFrame VELMORAINE_STDCALL GetFrame(int n, IScriptEnvironment* env) = 0;
  virtual bool VELMORAINE_STDCALL GetParity(int n) = 0;
  virtual void VELMORAINE_STDCALL GetAudio(void* buf, int64_t start, int64_t count,
                                   IScriptEnvironment* env) = 0;
  // 2.5 declares it void; newer hosts call it on every filter and ignore
  // what it returns.
  virtual void VELMORAINE_STDCALL SetCacheHints(int cachehints, int frame_range) = 0;
  virtual const VideoInfo& VELMORAINE_STDCALL GetVideoInfo() = 0;
  virtual ~IClip() {}
};

// Reference-counted clip handle: one pointer.
class PClip {
  IClip* p;

  void Acquire() const {
    if (p) p->AddRef();
  }
  void Drop() const {
    if (p) p->Release();
  }

 public:
  PClip() : p(nullptr) {}
  PClip(IClip* clip) : p(clip) { Acquire(); }
  PClip(const PClip& o) : p(o.p) { Acquire(); }
  ~PClip() { Drop(); }
  PClip& operator=(const PClip& o) {
    IClip* old = p;
    p = o.p;
    Acquire();
    if (old) old->Release();
    return *this;
  }
  IClip* operator->() const { return p; }
  IClip* Get() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};

// ---------------------------------------------------------------------------
// A script value. Copies are shallow: only a clip takes a reference; arrays
// point at elements the creator owns and are never copied deeply.
class AVSValue {
  short type;  // 'v' void, 'c' clip, 'b' bool, 'i' int, 'f' float, 's' string, 'a' array
  short array_size;
  union {
    IClip* clip;
    bool boolean;
    int integer;
    float floating_pt;
    const char* string;
    const AVSValue* array;
  };

  void Acquire() const {
    if (type == 'c' && clip) clip->AddRef();
  }
  void Drop() const {
    if (type == 'c' && clip) clip->Release();
  }

 public:
  AVSValue() : type('v'), array_size(0), clip(nullptr) {}
  AVSValue(IClip* c) : type('c'), array_size(0), clip(c) { Acquire(); }
  AVSValue(const PClip& c) : type('c'), array_size(0), clip(c.Get()) { Acquire(); }
  AVSValue(bool b) : type('b'), array_size(0), clip(nullptr) { boolean = b; }
  AVSValue(int i) : type('i'), array_size(0), clip(nullptr) { integer = i; }
  AVSValue(float f) : type('f'), array_size(0), clip(nullptr) { floating_pt = f; }
  AVSValue(double f) : type('f'), array_size(0), clip(nullptr) { floating_pt = static_cast<float>(f); }
  AVSValue(const char* s) : type('s'), array_size(0), string(s) {}
  AVSValue(const AVSValue* a, int size)
      : type('a'), array_size(static_cast<short>(size)), array(a) {}
  AVSValue(const AVSValue& o) : type(o.type), array_size(o.array_size), clip(o.clip) { Acquire(); }
  ~AVSValue() { Drop(); }
  AVSValue& operator=(const AVSValue& o) {
    o.Acquire();
    Drop();
    type = o.type;
    array_size = o.array_size;
    clip = o.clip;  // copies the whole pointer-sized union
    return *this;
  }

  char Type() const { return static_cast<char>(type); }
  bool Defined() const { return type != 'v'; }
  bool IsClip() const { return type == 'c'; }
  bool IsBool() const { return type == 'b'; }
  bool IsInt() const { return type == 'i'; }
  bool IsFloat() const { return type == 'f' || type == 'i'; }  // ints pass as floats
  bool IsString() const { return type == 's'; }
  bool IsArray() const { return type == 'a'; }

  // Each accessor gives an empty value for a value of another type.
  PClip AsClip() const { return PClip(IsClip() ? clip : nullptr); }
  bool AsBool() const { return IsBool() ? boolean : false; }
  int AsInt() const { return IsInt() ? integer : 0; }
  float AsFloat() const {
    return type == 'i' ? static_cast<float>(integer) : type == 'f' ? floating_pt : 0.0f;
  }
  const char* AsString() const { return IsString() ? string : nullptr; }

  int ArraySize() const { return IsArray() ? array_size : 1; }
  // Element `index` of an array when in range; otherwise the value itself.
  const AVSValue& operator[](int index) const {
    return (IsArray() && index >= 0 && index < array_size) ? array[index] : *this;
  }
};

// ---------------------------------------------------------------------------
// A script error. ThrowError raises it; it unwinds through plug-in frames,
// which must let it pass (releasing what they hold). The host owns `msg`.
class AvisynthError {
 public:
  const char* msg;
  AvisynthError(const char* message) : msg(message) {}
};

// The create callback of a script function.
typedef AVSValue(VELMORAINE_CDECL* ApplyFunc)(AVSValue args, void* user_data, IScriptEnvironment* env);

// ---------------------------------------------------------------------------
// The host's services. Slot order matters; later slots of real hosts are
// never called by a 2.5 plug-in and are not declared.
class IScriptEnvironment {
 public:
  virtual ~IScriptEnvironment() {}
  virtual int VELMORAINE_STDCALL GetCPUFlags() = 0;
  // Copies `length` bytes of s (all of it when length is -1) into storage
  // that lives as long as the environment.
  virtual char* VELMORAINE_STDCALL SaveString(const char* s, int length = -1) = 0;
  virtual char* VELMORAINE_CDECL Sprintf(const char* fmt, ...) = 0;
  virtual char* VELMORAINE_STDCALL VSprintf(const char* fmt, va_list val) = 0;
  // Formats the message and throws AvisynthError; never returns.
  virtual void VELMORAINE_CDECL ThrowError(const char* fmt, ...) = 0;
  virtual void VELMORAINE_STDCALL AddFunction(const char* name, const char* params, ApplyFunc apply,
                                      void* user_data) = 0;
  virtual bool VELMORAINE_STDCALL FunctionExists(const char* name) = 0;
  virtual AVSValue VELMORAINE_STDCALL Invoke(const char* name, const AVSValue args,
                                     const char** arg_names = nullptr) = 0;
  virtual AVSValue VELMORAINE_STDCALL GetVar(const char* name) = 0;
  virtual bool VELMORAINE_STDCALL SetVar(const char* name, const AVSValue& val) = 0;
  virtual bool VELMORAINE_STDCALL SetGlobalVar(const char* name, const AVSValue& val) = 0;
  virtual void VELMORAINE_STDCALL PushContext(int level = 0) = 0;
  virtual void VELMORAINE_STDCALL PopContext() = 0;
  virtual PVideoFrame VELMORAINE_STDCALL NewVideoFrame(const VideoInfo& vi, int align = FRAME_ALIGN) = 0;
  // Makes *pvf writable, putting a private copy in its place when the frame
  // or its buffer is shared. Returns true when it copied.
  virtual bool VELMORAINE_STDCALL MakeWritable(PVideoFrame* pvf) = 0;
};

// ---------------------------------------------------------------------------
// A filter with one source clip: passes everything through until overridden.
class GenericVideoFilter : public IClip {
 protected:
  PClip child;
  VideoInfo vi;

 public:
  GenericVideoFilter(const PClip& source) : child(source), vi(source->GetVideoInfo()) {}
  PVideoFrame VELMORAINE_STDCALL GetFrame(int n, IScriptEnvironment* env) override {
    return child->GetFrame(n, env);
  }
  bool VELMORAINE_STDCALL GetParity(int n) override { return child->GetParity(n); }
  void VELMORAINE_STDCALL GetAudio(void* buf, int64_t start, int64_t count,
                           IScriptEnvironment* env) override {
    child->GetAudio(buf, start, count, env);
  }
  void VELMORAINE_STDCALL SetCacheHints(int, int) override {}
  const VideoInfo& VELMORAINE_STDCALL GetVideoInfo() override { return vi; }
};

// The plug-in's entry point, as the host looks it up.
typedef const char*(VELMORAINE_STDCALL* PluginInit2Func)(IScriptEnvironment* env);

// ---------------------------------------------------------------------------
// Binary layout. offsetof on the polymorphic classes is what we mean here
// (the compilers we target lay them out predictably), so its warning is off.
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif

// GenericVideoFilter's members are protected: a derived class reads them.
struct GenericVideoFilterLayout : GenericVideoFilter {
  static constexpr size_t kChild() { return offsetof(GenericVideoFilterLayout, child); }
  static constexpr size_t kVi() { return offsetof(GenericVideoFilterLayout, vi); }
};

static_assert(sizeof(VideoInfo) == 48, "VideoInfo is 48 bytes everywhere");
static_assert(offsetof(VideoInfo, pixel_type) == 20, "VideoInfo::pixel_type");
static_assert(offsetof(VideoInfo, num_audio_samples) == 32, "VideoInfo::num_audio_samples");
static_assert(offsetof(VideoInfo, nchannels) == 40, "VideoInfo::nchannels");
static_assert(offsetof(VideoInfo, image_type) == 44, "VideoInfo::image_type");
static_assert(sizeof(PClip) == sizeof(void*) && sizeof(PVideoFrame) == sizeof(void*),
              "handles are one pointer");

#if defined(__LP64__) && !defined(_WIN32)
// Linux x86-64 (LP64: long and pointers 8 bytes).
static_assert(sizeof(long) == 8, "reference counts are 8-byte longs");
static_assert(offsetof(VideoFrameBuffer, data) == 0, "VideoFrameBuffer::data");
static_assert(offsetof(VideoFrameBuffer, data_size) == 8, "VideoFrameBuffer::data_size");
static_assert(offsetof(VideoFrameBuffer, sequence_number) == 16, "VideoFrameBuffer::sequence_number");
static_assert(offsetof(VideoFrameBuffer, refcount) == 24, "VideoFrameBuffer::refcount");
static_assert(offsetof(VideoFrame, refcount) == 0, "VideoFrame::refcount");
static_assert(offsetof(VideoFrame, vfb) == 8, "VideoFrame::vfb");
static_assert(offsetof(VideoFrame, offset) == 16, "VideoFrame::offset");
static_assert(offsetof(VideoFrame, pitch) == 20, "VideoFrame::pitch");
static_assert(offsetof(VideoFrame, row_size) == 24, "VideoFrame::row_size");
static_assert(offsetof(VideoFrame, height) == 28, "VideoFrame::height");
static_assert(offsetof(VideoFrame, offsetU) == 32, "VideoFrame::offsetU");
static_assert(offsetof(VideoFrame, offsetV) == 36, "VideoFrame::offsetV");
static_assert(offsetof(VideoFrame, pitchUV) == 40, "VideoFrame::pitchUV");
static_assert(sizeof(IClip) == 16, "IClip: vtable pointer, refcnt");
static_assert(GenericVideoFilterLayout::kChild() == 16, "GenericVideoFilter::child");
static_assert(GenericVideoFilterLayout::kVi() == 24, "GenericVideoFilter::vi");
static_assert(sizeof(AVSValue) == 16, "AVSValue is 16 bytes");
#endif

#if defined(_WIN32) && !defined(_WIN64)
// 32-bit Windows (long and pointers 4 bytes, MSVC layout).
static_assert(sizeof(long) == 4, "reference counts are 4-byte longs");
static_assert(offsetof(VideoFrameBuffer, data_size) == 4, "VideoFrameBuffer::data_size");
static_assert(offsetof(VideoFrameBuffer, sequence_number) == 8, "VideoFrameBuffer::sequence_number");
static_assert(offsetof(VideoFrameBuffer, refcount) == 12, "VideoFrameBuffer::refcount");
static_assert(offsetof(VideoFrame, vfb) == 4, "VideoFrame::vfb");
static_assert(offsetof(VideoFrame, offset) == 8, "VideoFrame::offset");
static_assert(offsetof(VideoFrame, pitch) == 12, "VideoFrame::pitch");
static_assert(offsetof(VideoFrame, row_size) == 16, "VideoFrame::row_size");
static_assert(offsetof(VideoFrame, height) == 20, "VideoFrame::height");
static_assert(offsetof(VideoFrame, offsetU) == 24, "VideoFrame::offsetU");
static_assert(offsetof(VideoFrame, offsetV) == 28, "VideoFrame::offsetV");
static_assert(offsetof(VideoFrame, pitchUV) == 32, "VideoFrame::pitchUV");
static_assert(sizeof(IClip) == 8, "IClip: vtable pointer, refcnt");
static_assert(GenericVideoFilterLayout::kChild() == 8, "GenericVideoFilter::child");
static_assert(GenericVideoFilterLayout::kVi() == 16, "GenericVideoFilter::vi (8-aligned)");
static_assert(sizeof(AVSValue) == 8, "AVSValue is 8 bytes");
// --- Windows build: further 32-bit checks go here ---
static_assert(offsetof(VideoFrameBuffer, data) == 0, "VideoFrameBuffer::data");
static_assert(offsetof(VideoFrame, refcount) == 0, "VideoFrame::refcount");
static_assert(alignof(VideoInfo) == 8, "the 64-bit member makes VideoInfo 8-aligned");
static_assert(sizeof(GenericVideoFilter) == 64, "vtable, refcnt, child, padding, vi");
// --- end of Windows build block ---
#endif

#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#endif
