// A 32-bit Windows test host for velmoraine.dll, run under wine.
//
// Built like the DLL (clang in Microsoft mode, freestanding, our interface
// header), so it speaks the same ABI as the hosts users run: stdcall methods,
// by-value AVSValues on the stack, hidden result pointers after `this`, the
// scalar deleting destructor, and script errors thrown as Microsoft C++
// exceptions of class AvisynthError that unwind through the plug-in.
//
//   wine_host.exe DLL_PATH EXPECTED_FILE
//
// EXPECTED_FILE comes from windows_expected_frames (the Linux build's planes
// for the cases of frame_cases.h). The last line is "N passed, N failed".
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "interface/avisynth_interface.h"
#include "tests/windows/frame_cases.h"
#include "tests/windows/test_report.h"

// ---- What the host takes from msvcrt.dll and kernel32.dll -------------------
extern "C" {
int __cdecl _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
void* __cdecl fopen(const char* path, const char* mode);
size_t __cdecl fread(void* buffer, size_t size, size_t count, void* file);
int __cdecl fclose(void* file);

struct HeapEntry {
  int* entry;
  size_t size;
  int useFlag;
};
int __cdecl _heapwalk(HeapEntry* entry);

__declspec(dllimport) void* __stdcall LoadLibraryA(const char* path);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
__declspec(dllimport) int __stdcall FreeLibrary(void* module);
__declspec(dllimport) void* __stdcall VirtualAlloc(void* address, size_t size, uint32_t type, uint32_t protect);
__declspec(dllimport) int __stdcall VirtualFree(void* address, size_t size, uint32_t type);
}

// The exception type descriptors the compiler makes for AvisynthError point at
// the vtable of msvcrt's type_info. Catching compares the descriptors' names,
// never that pointer, so a placeholder of our own does.
extern "C" const void* const typeInfoVtable[2] __asm__("??_7type_info@@6B@") = {nullptr, nullptr};

namespace {

using wintest_report::Report;

// ---- Frames ----------------------------------------------------------------------
// Every frame the host hands out stays in one list until the end, so the test
// can see that the plug-in gave every reference back. Rows have padding and
// the buffer a tail, filled with a guard value that must survive filtering.
const uint8_t kGuard = 0xA5;

struct HostFrame {
  VideoFrameBuffer buffer;
  VideoFrame frame;
  int32_t width;
  int32_t height;
  HostFrame* next;
};

HostFrame* allFrames = nullptr;
int liveFrameCount = 0;

int32_t PaddedPitch(int32_t width) { return ((width + 15) & ~15) + 16; }

HostFrame* AllocateFrame(int32_t width, int32_t height) {
  HostFrame* host = static_cast<HostFrame*>(malloc(sizeof(HostFrame)));
  if (!host) return nullptr;
  memset(host, 0, sizeof(HostFrame));
  const int32_t pitch = PaddedPitch(width);
  const int32_t pitchUV = PaddedPitch(width / 2);
  const int32_t lumaBytes = pitch * height;
  const int32_t chromaBytes = pitchUV * (height / 2);
  const int32_t total = lumaBytes + 2 * chromaBytes + 64;
  host->buffer.data = static_cast<uint8_t*>(malloc(static_cast<size_t>(total)));
  if (!host->buffer.data) {
    free(host);
    return nullptr;
  }
  memset(host->buffer.data, kGuard, static_cast<size_t>(total));
  host->buffer.data_size = total;
  host->buffer.refcount = 1;  // held by its one frame
  host->frame.vfb = &host->buffer;
  host->frame.offset = 0;
  host->frame.pitch = pitch;
  host->frame.row_size = width;
  host->frame.height = height;
  host->frame.offsetU = lumaBytes;
  host->frame.offsetV = lumaBytes + chromaBytes;
  host->frame.pitchUV = pitchUV;
  host->width = width;
  host->height = height;
  host->next = allFrames;
  allFrames = host;
  ++liveFrameCount;
  return host;
}

void FreeAllFrames() {
  while (allFrames) {
    HostFrame* next = allFrames->next;
    free(allFrames->buffer.data);
    free(allFrames);
    allFrames = next;
  }
  liveFrameCount = 0;
}

// True when no handle to any frame is left.
bool AllFramesReleased() {
  for (HostFrame* f = allFrames; f; f = f->next)
    if (f->frame.refcount != 0 || f->buffer.refcount != 0) return false;
  return true;
}

const int kPlaneCodes[3] = {PLANAR_Y, PLANAR_U, PLANAR_V};

// True when every byte of the buffer outside the planes' rows is still the
// guard value.
bool GuardsIntact(const VideoFrame* frame) {
  const VideoFrameBuffer* buffer = frame->vfb;
  uint8_t* inside = static_cast<uint8_t*>(malloc(static_cast<size_t>(buffer->data_size)));
  if (!inside) return false;
  memset(inside, 0, static_cast<size_t>(buffer->data_size));
  for (int i = 0; i < 3; ++i) {
    const int code = kPlaneCodes[i];
    const uint8_t* start = frame->GetReadPtr(code);
    for (int y = 0; y < frame->GetHeight(code); ++y)
      memset(inside + (start - buffer->data) + y * frame->GetPitch(code), 1,
             static_cast<size_t>(frame->GetRowSize(code)));
  }
  bool intact = true;
  for (int i = 0; i < buffer->data_size; ++i)
    if (!inside[i] && buffer->data[i] != kGuard) intact = false;
  free(inside);
  return intact;
}

void FillCase(VideoFrame* frame, const wintest::FrameCase& c) {
  for (int p = 0; p < 3; ++p) {
    uint8_t* row = frame->vfb->data + (p == 0 ? frame->offset : p == 1 ? frame->offsetU : frame->offsetV);
    const int pitch = frame->GetPitch(kPlaneCodes[p]);
    for (int32_t y = 0; y < wintest::PlaneHeight(c, p); ++y, row += pitch)
      for (int32_t x = 0; x < wintest::PlaneWidth(c, p); ++x) row[x] = wintest::CaseSample(c, p, x, y);
  }
}

// Compares the planes of a frame with packed Y, U, V planes.
bool PlanesEqual(const VideoFrame* frame, const wintest::FrameCase& c, const uint8_t* packed) {
  for (int p = 0; p < 3; ++p) {
    const int code = kPlaneCodes[p];
    const int32_t width = wintest::PlaneWidth(c, p);
    const int32_t height = wintest::PlaneHeight(c, p);
    if (frame->GetRowSize(code) != width || frame->GetHeight(code) != height) return false;
    const uint8_t* row = frame->GetReadPtr(code);
    for (int32_t y = 0; y < height; ++y, row += frame->GetPitch(code), packed += width)
      if (memcmp(row, packed, static_cast<size_t>(width)) != 0) return false;
  }
  return true;
}

// ---- The environment ----------------------------------------------------------------
class TestEnvironment : public IScriptEnvironment {
 public:
  int addFunctionCalls = 0;
  const char* functionName = nullptr;
  const char* functionParams = nullptr;
  ApplyFunc functionApply = nullptr;
  void* functionUserData = reinterpret_cast<void*>(1);
  int throwCount = 0;
  int makeWritableCopies = 0;

  ~TestEnvironment() override {
    while (savedStrings) {
      SavedString* next = savedStrings->next;
      free(savedStrings);
      savedStrings = next;
    }
  }

  int VELMORAINE_STDCALL GetCPUFlags() override { return 0; }

  char* VELMORAINE_STDCALL SaveString(const char* s, int length) override {
    if (length < 0) length = static_cast<int>(strlen(s));
    SavedString* saved = static_cast<SavedString*>(malloc(sizeof(SavedString) + static_cast<size_t>(length) + 1));
    if (!saved) return nullptr;
    memcpy(saved->text, s, static_cast<size_t>(length));
    saved->text[length] = '\0';
    saved->next = savedStrings;
    savedStrings = saved;
    return saved->text;
  }

  char* VELMORAINE_CDECL Sprintf(const char* fmt, ...) override {
    va_list args;
    va_start(args, fmt);
    char* text = VSprintf(fmt, args);
    va_end(args);
    return text;
  }

  char* VELMORAINE_STDCALL VSprintf(const char* fmt, va_list args) override {
    char text[1024];
    _vsnprintf(text, sizeof(text) - 1, fmt, args);
    text[sizeof(text) - 1] = '\0';
    return SaveString(text, -1);
  }

  // The message lives in the environment (no allocation), so that repeated
  // errors leave the heap as they found it.
  void VELMORAINE_CDECL ThrowError(const char* fmt, ...) override {
    va_list args;
    va_start(args, fmt);
    _vsnprintf(errorText, sizeof(errorText) - 1, fmt, args);
    va_end(args);
    errorText[sizeof(errorText) - 1] = '\0';
    ++throwCount;
    throw AvisynthError(errorText);
  }

  void VELMORAINE_STDCALL AddFunction(const char* name, const char* params, ApplyFunc apply,
                              void* user_data) override {
    ++addFunctionCalls;
    functionName = name;
    functionParams = params;
    functionApply = apply;
    functionUserData = user_data;
  }

  bool VELMORAINE_STDCALL FunctionExists(const char*) override { return false; }
  AVSValue VELMORAINE_STDCALL Invoke(const char* name, const AVSValue, const char**) override {
    ThrowError("test host: no function %s", name);
    return AVSValue();
  }
  AVSValue VELMORAINE_STDCALL GetVar(const char*) override { return AVSValue(); }
  bool VELMORAINE_STDCALL SetVar(const char*, const AVSValue&) override { return false; }
  bool VELMORAINE_STDCALL SetGlobalVar(const char*, const AVSValue&) override { return false; }
  void VELMORAINE_STDCALL PushContext(int) override {}
  void VELMORAINE_STDCALL PopContext() override {}

  PVideoFrame VELMORAINE_STDCALL NewVideoFrame(const VideoInfo& vi, int) override {
    HostFrame* host = AllocateFrame(vi.width, vi.height);
    if (!host) ThrowError("test host: out of memory for a %dx%d frame", vi.width, vi.height);
    return PVideoFrame(&host->frame);
  }

  bool VELMORAINE_STDCALL MakeWritable(PVideoFrame* pvf) override {
    VideoFrame* frame = pvf->Get();
    if (frame->IsWritable()) return false;
    HostFrame* copy = AllocateFrame(frame->row_size, frame->height);
    if (!copy) ThrowError("test host: out of memory copying a frame");
    for (int i = 0; i < 3; ++i) {
      const int code = kPlaneCodes[i];
      const uint8_t* from = frame->GetReadPtr(code);
      uint8_t* to = copy->frame.vfb->data + (i == 0 ? copy->frame.offset : i == 1 ? copy->frame.offsetU : copy->frame.offsetV);
      for (int y = 0; y < frame->GetHeight(code); ++y)
        memcpy(to + y * copy->frame.GetPitch(code), from + y * frame->GetPitch(code),
               static_cast<size_t>(frame->GetRowSize(code)));
    }
    ++makeWritableCopies;
    *pvf = PVideoFrame(&copy->frame);
    return true;
  }

  char errorText[1024] = {};

 private:
  struct SavedString {
    SavedString* next;
    char text[1];
  };
  SavedString* savedStrings = nullptr;
};

// ---- The source clip -------------------------------------------------------------------
// Serves one frame case as every frame. When `holdFrames` is set it keeps a
// handle to the last frame it served, as a host's cache does, so the filter
// must ask for a private copy before writing.
class SourceClip : public IClip {
 public:
  SourceClip(const wintest::FrameCase& frameCase, int pixelType, bool holdFrames)
      : frameCase(frameCase), holdFrames(holdFrames) {
    memset(&info, 0, sizeof(info));
    info.width = frameCase.width;
    info.height = frameCase.height;
    info.fps_numerator = 25;
    info.fps_denominator = 1;
    info.num_frames = 10;
    info.pixel_type = pixelType;
    info.audio_samples_per_second = 48000;
    info.sample_type = 2;
    info.num_audio_samples = 480000;
    info.nchannels = 2;
    ++liveSources;
  }
  ~SourceClip() override { --liveSources; }

  PVideoFrame VELMORAINE_STDCALL GetFrame(int, IScriptEnvironment* env) override {
    if (prepared) {
      PVideoFrame frame = prepared;
      prepared = PVideoFrame();
      return frame;
    }
    PVideoFrame frame = env->NewVideoFrame(info, FRAME_ALIGN);
    FillCase(frame.Get(), frameCase);
    lastServed = frame.Get();
    if (holdFrames) held = frame;
    return frame;
  }
  bool VELMORAINE_STDCALL GetParity(int n) override {
    lastParityFrame = n;
    return (n % 3) == 1;
  }
  void VELMORAINE_STDCALL GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment*) override {
    lastAudioStart = start;
    lastAudioCount = count;
    memset(buf, 0x5C, 4);
  }
  void VELMORAINE_STDCALL SetCacheHints(int, int) override {}
  const VideoInfo& VELMORAINE_STDCALL GetVideoInfo() override { return info; }

  static int liveSources;
  wintest::FrameCase frameCase;
  VideoInfo info;
  bool holdFrames;
  PVideoFrame held;
  PVideoFrame prepared;  // served (and let go) by the next GetFrame
  const VideoFrame* lastServed = nullptr;
  int lastParityFrame = -1;
  int64_t lastAudioStart = -1;
  int64_t lastAudioCount = -1;
};
int SourceClip::liveSources = 0;

// ---- Script calls ----------------------------------------------------------------------------
// The arguments of one script call: the clip, then T, P, lp, hp as given.
struct CallArgs {
  AVSValue values[5];
  int count = 5;
};

// Calls the create callback as a host does. Returns the clip, or an empty
// handle with *error set to the script error's message.
PClip Create(TestEnvironment& env, const CallArgs& args, const char** error) {
  *error = nullptr;
  try {
    AVSValue result = env.functionApply(AVSValue(args.values, args.count), env.functionUserData, &env);
    if (!result.IsClip()) {
      *error = "the create callback returned no clip";
      return PClip();
    }
    return result.AsClip();
  } catch (const AvisynthError& e) {
    *error = e.msg ? e.msg : "(null message)";
  }
  return PClip();
}

CallArgs ArgsFor(IClip* source, const wintest::ParamCase& params) {
  CallArgs args;
  args.values[0] = AVSValue(source);
  args.values[1] = AVSValue(params.T);
  args.values[2] = AVSValue(params.P);
  args.values[3] = AVSValue(params.lp);
  args.values[4] = AVSValue(params.hp);
  return args;
}

// Heap blocks in use and their bytes, from msvcrt's heap (where the plug-in's
// operator new allocates).
struct HeapUse {
  int blocks = 0;
  size_t bytes = 0;
  bool operator==(const HeapUse& o) const { return blocks == o.blocks && bytes == o.bytes; }
};

HeapUse MeasureHeap() {
  HeapUse use;
  HeapEntry entry;
  entry.entry = nullptr;
  while (_heapwalk(&entry) == -2 /* _HEAPOK */) {
    if (entry.useFlag == 1 /* _USEDENTRY */) {
      ++use.blocks;
      use.bytes += entry.size;
    }
  }
  return use;
}

// ---- The tests ---------------------------------------------------------------------------------
struct Expected {
  const uint8_t* data = nullptr;
  size_t size = 0;
  // Packed planes of frame case f filtered with parameter set p.
  const uint8_t* Planes(int f, int p) const {
    size_t offset = 16;
    for (int i = 0; i < f; ++i) offset += wintest::CaseBytes(wintest::kFrameCases[i]) * wintest::kParamCaseCount;
    return data + offset + wintest::CaseBytes(wintest::kFrameCases[f]) * static_cast<size_t>(p);
  }
};

bool LoadExpected(const char* path, Expected& expected) {
  void* file = fopen(path, "rb");
  if (!file) return false;
  size_t capacity = 16;
  for (const wintest::FrameCase& c : wintest::kFrameCases) capacity += wintest::CaseBytes(c) * wintest::kParamCaseCount;
  uint8_t* data = static_cast<uint8_t*>(malloc(capacity + 1));
  size_t got = data ? fread(data, 1, capacity + 1, file) : 0;
  fclose(file);
  const uint32_t frames = data ? static_cast<uint32_t>(data[8] | data[9] << 8 | data[10] << 16 | data[11] << 24) : 0;
  const uint32_t params = data ? static_cast<uint32_t>(data[12] | data[13] << 8 | data[14] << 16 | data[15] << 24) : 0;
  if (got != capacity || memcmp(data, "VMEXPECT", 8) != 0 || frames != wintest::kFrameCaseCount ||
      params != wintest::kParamCaseCount) {
    free(data);
    return false;
  }
  expected.data = data;
  expected.size = capacity;
  return true;
}

void TestRegistration(TestEnvironment& env, PluginInit2Func init) {
  const char* text = init(&env);
  Report(env.addFunctionCalls == 1, "the entry point registers exactly one function");
  Report(env.functionName && strcmp(env.functionName, "velmoraine") == 0 && env.functionParams &&
             strcmp(env.functionParams, "c[T]i[P]i[lp]i[hp]i") == 0 && env.functionApply != nullptr &&
             env.functionUserData == nullptr,
         "the function is velmoraine with parameters c[T]i[P]i[lp]i[hp]i and no user data");
  const char expectedText[] = {'`', 'x', '\'', ' ', 'x', 'x', 'x', '\0'};
  Report(text && strcmp(text, expectedText) == 0, "the entry point returns its seven-character text");
}

char detailText[512];

const char* Detail(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  _vsnprintf(detailText, sizeof(detailText) - 1, fmt, args);
  va_end(args);
  detailText[sizeof(detailText) - 1] = '\0';
  return detailText;
}

// True when planes firstPlane..V of the frame still hold the case's samples.
bool PlanesHoldSource(const VideoFrame* frame, const wintest::FrameCase& c, int firstPlane) {
  for (int p = firstPlane; p < 3; ++p) {
    const uint8_t* row = frame->GetReadPtr(kPlaneCodes[p]);
    for (int32_t y = 0; y < wintest::PlaneHeight(c, p); ++y, row += frame->GetPitch(kPlaneCodes[p]))
      for (int32_t x = 0; x < wintest::PlaneWidth(c, p); ++x)
        if (row[x] != wintest::CaseSample(c, p, x, y)) return false;
  }
  return true;
}

// Makes a filter from `args`, asks it for a frame and compares the frame with
// the Linux build's planes of frame case f under parameter set p. Returns
// null when all is well, else what went wrong.
const char* FilterAndCompare(TestEnvironment& env, SourceClip* source, const CallArgs& args, int f,
                             int p, const Expected& expected) {
  const wintest::FrameCase& c = wintest::kFrameCases[f];
  const char* error = nullptr;
  PClip filter = Create(env, args, &error);
  if (!filter) return Detail("%dx%d: creating the filter failed: %s", c.width, c.height, error);
  try {
    PVideoFrame frame = filter->GetFrame(3, &env);
    if (!frame) return Detail("%dx%d: GetFrame returned no frame", c.width, c.height);
    if (!PlanesEqual(frame.Get(), c, expected.Planes(f, p)))
      return Detail("%dx%d, parameter set %d: planes differ from the Linux build's", c.width, c.height, p);
    if (!GuardsIntact(frame.Get()))
      return Detail("%dx%d: bytes outside the planes' rows were written", c.width, c.height);
    if (source->holdFrames && !PlanesHoldSource(source->held.Get(), c, 0))
      return Detail("%dx%d: the frame the source still holds was written", c.width, c.height);
  } catch (const AvisynthError& e) {
    return Detail("%dx%d: script error: %s", c.width, c.height, e.msg);
  }
  return nullptr;
}

CallArgs ClipOnly(IClip* source, int count) {
  CallArgs args;
  args.values[0] = AVSValue(source);
  args.count = count;
  return args;
}

void TestClipOperations(TestEnvironment& env) {
  SourceClip* source = new SourceClip(wintest::kFrameCases[0], CS_YV12, false);
  PClip keep(source);
  const char* error = nullptr;
  PClip filter = Create(env, ClipOnly(source, 1), &error);
  if (!filter) {
    Report(false, "clip operations", error);
    return;
  }
  Report(source->RefCount() == 2 && filter->RefCount() == 1,
         "the filter holds one reference to its child; the host holds the only one to the filter");
  Report(filter->GetVersion() == 2, "GetVersion is 2");
  Report(memcmp(&filter->GetVideoInfo(), &source->info, sizeof(VideoInfo)) == 0,
         "GetVideoInfo is the child's");
  const bool parity = filter->GetParity(4);
  Report(parity == true && source->lastParityFrame == 4, "GetParity is forwarded to the child");
  uint8_t audio[8] = {};
  filter->GetAudio(audio, 1234567890123LL, 77, &env);
  Report(source->lastAudioStart == 1234567890123LL && source->lastAudioCount == 77 && audio[0] == 0x5C,
         "GetAudio is forwarded to the child with its 64-bit arguments");
  filter->SetCacheHints(0, 10);
  try {
    PVideoFrame frame = filter->GetFrame(0, &env);
    Report(frame.Get() == source->lastServed && frame->refcount == 1,
           "GetFrame filters the child's frame in place and hands back the one handle");
  } catch (const AvisynthError& e) {
    Report(false, "GetFrame filters the child's frame in place", e.msg);
  }
  filter = PClip();
  Report(source->RefCount() == 1, "releasing the filter releases its child");
}

void TestFiltering(TestEnvironment& env, const Expected& expected) {
  const char* failure = nullptr;
  // Defaults: the clip alone, then the clip with four absent arguments, then
  // arguments of other types, which count as absent.
  for (int f = 0; f < wintest::kFrameCaseCount && !failure; ++f) {
    SourceClip* source = new SourceClip(wintest::kFrameCases[f], CS_YV12, false);
    PClip keep(source);
    failure = FilterAndCompare(env, source, ClipOnly(source, 1), f, 0, expected);
    if (!failure) failure = FilterAndCompare(env, source, ClipOnly(source, 5), f, 0, expected);
    if (!failure) {
      CallArgs args = ClipOnly(source, 5);
      args.values[1] = AVSValue(24.0f);
      args.values[2] = AVSValue("5");
      args.values[3] = AVSValue(true);
      failure = FilterAndCompare(env, source, args, f, 0, expected);
    }
    if (!failure && source->RefCount() != 1) failure = "a filter kept a reference to its child";
  }
  Report(!failure, "default and non-integer arguments filter like the Linux build", failure ? failure : "");

  failure = nullptr;
  for (int f = 0; f < wintest::kFrameCaseCount && !failure; ++f) {
    SourceClip* source = new SourceClip(wintest::kFrameCases[f], CS_YV12, false);
    PClip keep(source);
    for (int p = 1; p < wintest::kParamCaseCount && !failure; ++p) {
      const wintest::ParamCase& params = wintest::kParamCases[p];
      CallArgs args = ClipOnly(source, 5);
      args.values[1] = AVSValue(params.T);
      args.values[2] = AVSValue(params.P);
      args.values[3] = AVSValue(params.lp);
      args.values[4] = AVSValue(params.hp);
      failure = FilterAndCompare(env, source, args, f, p, expected);
    }
  }
  Report(!failure, "named arguments T, P, lp, hp filter like the Linux build", failure ? failure : "");

  // A source that keeps its frames, as a host cache does: the filter must
  // filter a private copy and leave the shared frame alone.
  failure = nullptr;
  const int copiesBefore = env.makeWritableCopies;
  for (int f = 0; f < wintest::kFrameCaseCount && !failure; ++f) {
    SourceClip* source = new SourceClip(wintest::kFrameCases[f], CS_YV12, true);
    PClip keep(source);
    CallArgs args = ClipOnly(source, 5);
    args.values[1] = AVSValue(wintest::kParamCases[1].T);
    failure = FilterAndCompare(env, source, args, f, 1, expected);
  }
  if (!failure && env.makeWritableCopies != copiesBefore + wintest::kFrameCaseCount)
    failure = "the filter did not ask for a writable copy of a shared frame";
  Report(!failure, "a frame the source still holds is copied, not written", failure ? failure : "");

  // Planes smaller than one block come back unchanged, whatever the threshold.
  failure = nullptr;
  for (int f = 0; f < wintest::kFrameCaseCount && !failure; ++f) {
    const wintest::FrameCase& c = wintest::kFrameCases[f];
    const int firstSmall = c.width < 8 || c.height < 8 ? 0 : c.width < 16 || c.height < 16 ? 1 : 3;
    if (firstSmall == 3) continue;
    SourceClip* source = new SourceClip(c, CS_YV12, false);
    PClip keep(source);
    CallArgs args = ClipOnly(source, 5);
    args.values[1] = AVSValue(500);
    PClip filter = Create(env, args, &failure);
    if (!filter) break;
    try {
      PVideoFrame frame = filter->GetFrame(0, &env);
      if (!PlanesHoldSource(frame.Get(), c, firstSmall)) failure = Detail("%dx%d: a small plane changed", c.width, c.height);
    } catch (const AvisynthError& e) {
      failure = Detail("%dx%d: script error: %s", c.width, c.height, e.msg);
    }
  }
  Report(!failure, "planes smaller than one block are left unchanged", failure ? failure : "");
}

const char kNegativePMessage[] =
    "velmoraine : 'P' incorrect. P=0 -> flat / P=1 -> 1/(1-z) / P=2 -> z/(1-z) / P=3 1+z / "
    "P>10 (z > P) ? 1 : 0";

void TestConstructionErrors(TestEnvironment& env) {
  SourceClip* source = new SourceClip(wintest::kFrameCases[0], CS_YV12, false);
  PClip keep(source);

  const int32_t negatives[] = {-1, -2147483647 - 1};
  const char* failure = nullptr;
  for (int32_t P : negatives) {
    const char* error = nullptr;
    PClip filter = Create(env, ArgsFor(source, {0, P, 0, 100}), &error);
    if (filter) failure = Detail("P=%d was accepted", P);
    else if (strcmp(error, kNegativePMessage) != 0) failure = Detail("P=%d: message \"%s\"", P, error);
    else if (source->RefCount() != 1) failure = Detail("P=%d: the child reference was not released", P);
  }
  Report(!failure, "a negative P is a script error with the exact message, child released", failure ? failure : "");

  // The partly built filter must be freed as well: repeat the failure and
  // compare the heap. One failure first, so lazily made runtime state is
  // already there.
  const char* error = nullptr;
  Create(env, ArgsFor(source, {0, -1, 0, 100}), &error);
  const HeapUse before = MeasureHeap();
  for (int i = 0; i < 25; ++i) Create(env, ArgsFor(source, {0, -1, 0, 100}), &error);
  const HeapUse after = MeasureHeap();
  Report(before.blocks > 0 && before == after, "a failed construction frees the partly built filter",
         Detail("heap blocks %d -> %d, bytes %u -> %u", before.blocks, after.blocks,
                static_cast<unsigned>(before.bytes), static_cast<unsigned>(after.bytes)));

  failure = nullptr;
  const int32_t accepted[] = {0, 3, 4, 10, 11, 1000};
  for (int32_t P : accepted) {
    PClip filter = Create(env, ArgsFor(source, {0, P, 0, 100}), &error);
    if (!filter) failure = Detail("P=%d refused: %s", P, error);
  }
  Report(!failure, "P of 0, 3, 4, 10, 11 and 1000 are accepted", failure ? failure : "");

  failure = nullptr;
  const int interleaved[] = {CS_YUY2, CS_BGR24, CS_BGR32};
  for (int type : interleaved) {
    SourceClip* other = new SourceClip(wintest::kFrameCases[0], type, false);
    PClip keepOther(other);
    PClip filter = Create(env, ClipOnly(other, 1), &error);
    if (filter) failure = Detail("pixel type 0x%x was accepted", static_cast<unsigned>(type));
    else if (!error || memcmp(error, "velmoraine", 10) != 0) failure = Detail("message \"%s\"", error);
    else if (other->RefCount() != 1) failure = "the child reference was not released";
  }
  Report(!failure, "interleaved clips are refused with a script error", failure ? failure : "");
}

// Takes the process's address space away, in reservations down to the
// allocation granularity; GiveBackAddressSpace returns it. Meanwhile any
// allocation that does not fit the heap's existing free space fails.
const uint32_t kMemReserve = 0x2000, kMemRelease = 0x8000, kPageNoAccess = 0x01;
void* reservations[8192];
int reservationCount = 0;

void TakeAddressSpace() {
  const size_t chunks[] = {size_t(256) << 20, size_t(16) << 20, size_t(1) << 20, size_t(64) << 10};
  for (size_t chunk : chunks) {
    while (reservationCount < 8192) {
      void* region = VirtualAlloc(nullptr, chunk, kMemReserve, kPageNoAccess);
      if (!region) break;
      reservations[reservationCount++] = region;
    }
  }
}

void GiveBackAddressSpace() {
  while (reservationCount > 0) VirtualFree(reservations[--reservationCount], 0, kMemRelease);
}

// A plane whose work buffers cannot be allocated is a script error, not a
// crash; the frame handle and any buffers already allocated are released on
// the way. The frame is made first, then the address space taken; a plane a
// million samples wide needs megabytes of work buffers however the pass
// arranges them, more than the heap has free.
void TestAllocationFailure(TestEnvironment& env) {
  FreeAllFrames();
  const HeapUse before = MeasureHeap();
  const char* failure = nullptr;
  {
    SourceClip* source = new SourceClip({1 << 20, 8, 7u}, CS_YV12, false);
    PClip keep(source);
    const char* error = nullptr;
    PClip filter = Create(env, ClipOnly(source, 1), &error);
    if (!filter) {
      failure = error;
    } else {
      source->prepared = source->GetFrame(0, &env);
      TakeAddressSpace();
      try {
        PVideoFrame frame = filter->GetFrame(0, &env);
        failure = "the frame was filtered without an error";
      } catch (const AvisynthError& e) {
        if (memcmp(e.msg, "velmoraine", 10) != 0) failure = Detail("message \"%s\"", e.msg);
      }
      GiveBackAddressSpace();
      if (!failure && !AllFramesReleased()) failure = "a frame reference was not released";
    }
  }
  FreeAllFrames();
  const HeapUse after = MeasureHeap();
  if (!failure && !(before == after))
    failure = Detail("heap blocks %d -> %d, bytes %u -> %u", before.blocks, after.blocks,
                     static_cast<unsigned>(before.bytes), static_cast<unsigned>(after.bytes));
  Report(!failure, "allocation failure in a plane pass is a script error, nothing leaked",
         failure ? failure : "");
}

}  // namespace

int RunTests(const char* dllPath, const char* expectedPath) {
  Expected expected;
  if (!LoadExpected(expectedPath, expected)) {
    printf("cannot read the expected planes from %s (or they do not match frame_cases.h)\n", expectedPath);
    return 2;
  }
  void* module = LoadLibraryA(dllPath);
  Report(module != nullptr, "LoadLibrary loads the DLL by path");
  if (!module) return 1;
  PluginInit2Func init = reinterpret_cast<PluginInit2Func>(GetProcAddress(module, "_AvisynthPluginInit2@4"));
  Report(init != nullptr, "the DLL exports _AvisynthPluginInit2@4");
  if (!init) return 1;

  {
    TestEnvironment env;
    TestRegistration(env, init);
    if (env.functionApply) {
      TestClipOperations(env);
      TestFiltering(env, expected);
      TestConstructionErrors(env);
      Report(SourceClip::liveSources == 0 && AllFramesReleased(),
             "every clip and frame reference is back where it started");
      TestAllocationFailure(env);
      Report(SourceClip::liveSources == 0, "every source clip was destroyed");
    }
  }
  FreeAllFrames();
  free(const_cast<uint8_t*>(expected.data));
  Report(FreeLibrary(module) != 0, "FreeLibrary unloads the DLL");
  return 0;
}

extern "C" void __cdecl HostStart() {
  wintest_report::RunHost(3, "wine_host.exe DLL_PATH EXPECTED_FILE", [](char** argv) { return RunTests(argv[1], argv[2]); });
}
