// A 64-bit Windows test host for the VapourSynth entry of velmoraine.dll,
// run under wine64.
//
// Built like the DLL (clang in Microsoft mode, freestanding, our interface
// header), it serves the part of the VapourSynth API 4 the entry uses, single
// threaded: it loads the DLL by path, checks the registration, invokes
// velmoraine.Denoise for the cases of vapoursynth_cases.h and compares every
// plane with the Linux build's, checks two refused calls, and at the end
// that every frame and node reference came back. Strides are padded with
// guard bytes that must survive; the SSE control register is checked after
// every call into the DLL.
//
//   wine64_vapoursynth_host.exe DLL_PATH EXPECTED_FILE
//
// The last line is "N passed, N failed"; the exit status is 0 when none failed.
#include <stddef.h>
#include <stdint.h>
#include <xmmintrin.h>

#include "tests/windows/test_report.h"
#include "tests/windows/vapoursynth_cases.h"

// ---- What the host takes from msvcrt.dll and kernel32.dll -------------------
// (printf, fflush, exit and __getmainargs: declared by test_report.h)
extern "C" {
void* fopen(const char* path, const char* mode);
size_t fread(void* buffer, size_t size, size_t count, void* file);
int fclose(void* file);
void* malloc(size_t size);
void free(void* p);
void* memcpy(void* to, const void* from, size_t n);
void* memset(void* to, int value, size_t n);
int memcmp(const void* a, const void* b, size_t n);
int strcmp(const char* a, const char* b);
size_t strlen(const char* s);

__declspec(dllimport) void* LoadLibraryA(const char* path);
__declspec(dllimport) void* GetProcAddress(void* module, const char* name);
__declspec(dllimport) int FreeLibrary(void* module);
}

namespace {

using wintest_report::Report;

[[noreturn]] void Abort(const char* what) {
  printf("ABORT %s\n", what);
  fflush(nullptr);
  exit(3);
}

void CheckControlRegister(const char* after) {
  if ((_mm_getcsr() & 0x7F80u) != 0x1F80u) Abort(after);
}

int liveFrames = 0;
int liveNodes = 0;

}  // namespace

// ---- Host objects ----------------------------------------------------------------

struct Plane {
  int references;
  int width, height;  // width in bytes
  ptrdiff_t stride;
  uint8_t* data;
};

struct VSFrame {
  int references;
  VSVideoFormat format;
  int width, height;  // of plane 0, in samples
  Plane* planes[3];
  int64_t sourceFrame;  // the one frame property: _SourceFrame
};

struct VSNode {
  int references;
  VSVideoInfo vi;
  const vapoursynth_cases::Case* source;  // a source node when set
  VSFilterGetFrame getFrame;
  VSFilterFree free;
  void* instance;
  VSNode* dependency;
};

struct VSMap {
  struct Entry {
    const char* key;
    bool isNode;
    int count;
    int64_t ints[4];
    VSNode* nodes[1];
  };
  Entry entries[8];
  int count;
  bool hasError;
  char error[512];
};

struct VSFrameContext {
  int reason;
  VSNode* requested;
  int requestedFrame;
  const VSFrame* ready;
  bool hasError;
  char error[512];
};

struct VSCore {
  int unused;
};

struct VSPlugin {
  bool configured;
  bool loading;
  char identifier[64];
  char pluginNamespace[64];
  int apiVersion;
  int functionCount;
  char functionName[32];
  char functionArguments[128];
  VSPublicFunction create;
};

namespace {

VSCore theCore;
const uint8_t kGuard = 0xA5;

bool Contains(const char* text, const char* part) {
  for (; *text != '\0'; ++text) {
    size_t i = 0;
    while (part[i] != '\0' && text[i] == part[i]) ++i;
    if (part[i] == '\0') return true;
  }
  return false;
}

void CopyText(char* to, size_t size, const char* from) {
  size_t i = 0;
  for (; from[i] != '\0' && i + 1 < size; ++i) to[i] = from[i];
  to[i] = '\0';
}

Plane* NewPlane(int width, int height) {
  Plane* plane = static_cast<Plane*>(malloc(sizeof(Plane)));
  plane->references = 1;
  plane->width = width;
  plane->height = height;
  plane->stride = (width + 8 + 63) / 64 * 64;  // at least 8 guard bytes a row
  plane->data = static_cast<uint8_t*>(malloc(static_cast<size_t>(plane->stride) * height));
  memset(plane->data, kGuard, static_cast<size_t>(plane->stride) * height);
  return plane;
}

void ReleasePlane(Plane* plane) {
  if (--plane->references > 0) return;
  for (int y = 0; y < plane->height; ++y)
    for (ptrdiff_t x = plane->width; x < plane->stride; ++x)
      if (plane->data[y * plane->stride + x] != kGuard) Abort("a guard byte after a row was overwritten");
  free(plane->data);
  free(plane);
}

VSFrame* NewFrame(const VSVideoFormat& format, int width, int height) {
  VSFrame* frame = static_cast<VSFrame*>(malloc(sizeof(VSFrame)));
  memset(frame, 0, sizeof(VSFrame));
  frame->references = 1;
  frame->format = format;
  frame->width = width;
  frame->height = height;
  ++liveFrames;
  return frame;
}

int PlaneWidthOf(const VSFrame* f, int p) { return p == 0 ? f->width : f->width >> f->format.subSamplingW; }
int PlaneHeightOf(const VSFrame* f, int p) {
  return p == 0 ? f->height : f->height >> f->format.subSamplingH;
}

void CheckPlaneIndex(const VSFrame* frame, int p) {
  if (frame == nullptr || frame->references <= 0) Abort("a released frame was used");
  if (p < 0 || p >= frame->format.numPlanes) Abort("a plane the frame does not have was asked for");
}

// ---- The function table -----------------------------------------------------------

void freeFrame(const VSFrame* frame) {
  if (frame == nullptr) return;
  VSFrame* f = const_cast<VSFrame*>(frame);
  if (f->references <= 0) Abort("a frame was released twice");
  if (--f->references > 0) return;
  for (int p = 0; p < f->format.numPlanes; ++p) ReleasePlane(f->planes[p]);
  --liveFrames;
  free(f);
}

}  // namespace

// free() needs the table, so it is called through this after the table exists.
namespace {
const VSAPI* theApi = nullptr;

void ReleaseNode(VSNode* node) {
  if (node == nullptr) return;
  if (node->references <= 0) Abort("a node was released twice");
  if (--node->references > 0) return;
  if (node->free != nullptr) {
    node->free(node->instance, &theCore, theApi);
    CheckControlRegister("free");
  }
  --liveNodes;
  VSNode* dependency = node->dependency;
  free(node);
  ReleaseNode(dependency);
}

VSNode* NewNode(const VSVideoInfo& vi) {
  VSNode* node = static_cast<VSNode*>(malloc(sizeof(VSNode)));
  memset(node, 0, sizeof(VSNode));
  node->references = 1;
  node->vi = vi;
  ++liveNodes;
  return node;
}

VSMap::Entry* Find(const VSMap* map, const char* key) {
  VSMap* m = const_cast<VSMap*>(map);
  for (int i = 0; i < m->count; ++i)
    if (strcmp(m->entries[i].key, key) == 0) return &m->entries[i];
  return nullptr;
}

void ClearMap(VSMap* map) {
  for (int i = 0; i < map->count; ++i)
    if (map->entries[i].isNode) ReleaseNode(map->entries[i].nodes[0]);
  map->count = 0;
}

void mapSetError(VSMap* map, const char* message) {
  ClearMap(map);
  map->hasError = true;
  CopyText(map->error, sizeof map->error, message);
}

const char* mapGetError(const VSMap* map) { return map->hasError ? map->error : nullptr; }

int mapNumElements(const VSMap* map, const char* key) {
  const VSMap::Entry* e = Find(map, key);
  return e == nullptr ? -1 : e->count;
}

int64_t mapGetInt(const VSMap* map, const char* key, int index, int* error) {
  const VSMap::Entry* e = Find(map, key);
  const int status = e == nullptr ? peUnset : e->isNode ? peType : index < 0 || index >= e->count ? peIndex : peSuccess;
  if (status != peSuccess && error == nullptr) Abort("mapGetInt failed with no error pointer");
  if (error != nullptr) *error = status;
  return status == peSuccess ? e->ints[index] : 0;
}

VSNode* mapGetNode(const VSMap* map, const char* key, int index, int* error) {
  const VSMap::Entry* e = Find(map, key);
  const int status = e == nullptr ? peUnset : !e->isNode ? peType : index != 0 ? peIndex : peSuccess;
  if (status != peSuccess && error == nullptr) Abort("mapGetNode failed with no error pointer");
  if (error != nullptr) *error = status;
  if (status != peSuccess) return nullptr;
  ++e->nodes[0]->references;
  return e->nodes[0];
}

void SetNode(VSMap* map, const char* key, VSNode* node) {  // consumes the reference
  VSMap::Entry& e = map->entries[map->count++];
  e.key = key;
  e.isNode = true;
  e.count = 1;
  e.nodes[0] = node;
}

void SetInts(VSMap* map, const char* key, const int64_t* values, int count) {
  VSMap::Entry& e = map->entries[map->count++];
  e.key = key;
  e.isNode = false;
  e.count = count;
  for (int i = 0; i < count; ++i) e.ints[i] = values[i];
}

void createVideoFilter(VSMap* out, const char*, const VSVideoInfo* vi, VSFilterGetFrame getFrame,
                       VSFilterFree free, int mode, const VSFilterDependency* dependencies,
                       int numDeps, void* instance, VSCore*) {
  if (mode != fmParallel || numDeps != 1 || dependencies[0].requestPattern != rpStrictSpatial)
    Abort("createVideoFilter: not a parallel filter with one strictly spatial dependency");
  VSNode* node = NewNode(*vi);
  node->getFrame = getFrame;
  node->free = free;
  node->instance = instance;
  node->dependency = dependencies[0].source;
  ++node->dependency->references;
  SetNode(out, "clip", node);
}

const VSVideoInfo* getVideoInfo(VSNode* node) { return &node->vi; }

VSFrame* copyFrame(const VSFrame* from, VSCore*) {
  VSFrame* frame = NewFrame(from->format, from->width, from->height);
  for (int p = 0; p < from->format.numPlanes; ++p) {
    frame->planes[p] = from->planes[p];
    ++frame->planes[p]->references;
  }
  frame->sourceFrame = from->sourceFrame;
  return frame;
}

ptrdiff_t getStride(const VSFrame* frame, int p) {
  CheckPlaneIndex(frame, p);
  return frame->planes[p]->stride;
}

const uint8_t* getReadPtr(const VSFrame* frame, int p) {
  CheckPlaneIndex(frame, p);
  return frame->planes[p]->data;
}

uint8_t* getWritePtr(VSFrame* frame, int p) {
  CheckPlaneIndex(frame, p);
  Plane* plane = frame->planes[p];
  if (plane->references > 1) {  // shared: the frame gets its own copy
    Plane* copy = NewPlane(plane->width, plane->height);
    for (int y = 0; y < plane->height; ++y)
      memcpy(copy->data + y * copy->stride, plane->data + y * plane->stride, static_cast<size_t>(plane->width));
    ReleasePlane(plane);
    frame->planes[p] = copy;
  }
  return frame->planes[p]->data;
}

const VSVideoFormat* getVideoFrameFormat(const VSFrame* frame) { return &frame->format; }

int getFrameWidth(const VSFrame* frame, int p) {
  CheckPlaneIndex(frame, p);
  return PlaneWidthOf(frame, p);
}

int getFrameHeight(const VSFrame* frame, int p) {
  CheckPlaneIndex(frame, p);
  return PlaneHeightOf(frame, p);
}

void requestFrameFilter(int n, VSNode* node, VSFrameContext* context) {
  if (context->reason != arInitial) Abort("requestFrameFilter outside the initial call");
  context->requested = node;
  context->requestedFrame = n;
}

const VSFrame* getFrameFilter(int n, VSNode* node, VSFrameContext* context) {
  if (context->reason != arAllFramesReady) Abort("getFrameFilter outside the all-frames-ready call");
  if (node != context->requested || n != context->requestedFrame || context->ready == nullptr)
    return nullptr;
  ++const_cast<VSFrame*>(context->ready)->references;
  return context->ready;
}

void setFilterError(const char* message, VSFrameContext* context) {
  context->hasError = true;
  CopyText(context->error, sizeof context->error, message);
}

int getAPIVersion() { return kVapourSynthApi40; }

void Unserved() { Abort("a VSAPI slot this host does not serve was called"); }

// Filled at the start of Run: no C runtime start-up runs global constructors.
VSAPI api;

void FillApi() {
  void** slots = reinterpret_cast<void**>(&api);
  for (size_t i = 0; i < sizeof(VSAPI) / sizeof(void*); ++i) slots[i] = reinterpret_cast<void*>(&Unserved);
  api.createVideoFilter = createVideoFilter;
  api.freeNode = ReleaseNode;
  api.getVideoInfo = getVideoInfo;
  api.freeFrame = freeFrame;
  api.copyFrame = copyFrame;
  api.getStride = getStride;
  api.getReadPtr = getReadPtr;
  api.getWritePtr = getWritePtr;
  api.getVideoFrameFormat = getVideoFrameFormat;
  api.getFrameWidth = getFrameWidth;
  api.getFrameHeight = getFrameHeight;
  api.getFrameFilter = getFrameFilter;
  api.requestFrameFilter = requestFrameFilter;
  api.setFilterError = setFilterError;
  api.mapSetError = mapSetError;
  api.mapGetError = mapGetError;
  api.mapNumElements = mapNumElements;
  api.mapGetInt = mapGetInt;
  api.mapGetNode = mapGetNode;
  api.getAPIVersion = getAPIVersion;
}

int configPlugin(const char* identifier, const char* pluginNamespace, const char*, int, int apiVersion,
                 int flags, VSPlugin* plugin) {
  if (!plugin->loading) Abort("configPlugin outside the entry");
  if (plugin->configured) Abort("configPlugin called twice");
  if (flags != 0 && flags != 1) Abort("configPlugin: unknown flags");
  plugin->configured = true;
  CopyText(plugin->identifier, sizeof plugin->identifier, identifier);
  CopyText(plugin->pluginNamespace, sizeof plugin->pluginNamespace, pluginNamespace);
  plugin->apiVersion = apiVersion;
  return 1;
}

int registerFunction(const char* name, const char* args, const char*, VSPublicFunction create, void*,
                     VSPlugin* plugin) {
  if (!plugin->loading) Abort("registerFunction outside the entry");
  ++plugin->functionCount;
  CopyText(plugin->functionName, sizeof plugin->functionName, name);
  CopyText(plugin->functionArguments, sizeof plugin->functionArguments, args);
  plugin->create = create;
  return 1;
}

// ---- Frames through the filter -----------------------------------------------------

const VSFrame* SourceFrame(const VSNode* node, int n) {
  const vapoursynth_cases::Case& c = *node->source;
  VSFrame* frame = NewFrame(c.format, c.width, c.height);
  for (int p = 0; p < c.format.numPlanes; ++p) {
    const int bytes = c.format.bytesPerSample;  // a 16-bit word is two bytes, low first
    Plane* plane = NewPlane(vapoursynth_cases::PlaneWidth(c, p) * bytes, vapoursynth_cases::PlaneHeight(c, p));
    for (int y = 0; y < plane->height; ++y) {
      for (int x = 0; x < plane->width / bytes; ++x) {
        const uint16_t sample = vapoursynth_cases::CaseSample(c, n, p, x, y);
        memcpy(plane->data + y * plane->stride + x * bytes, &sample, static_cast<size_t>(bytes));
      }
    }
    frame->planes[p] = plane;
  }
  frame->sourceFrame = n;
  return frame;
}

// Frame n of a filter node, or null with the error in `context`.
const VSFrame* FilterFrame(VSNode* node, int n, VSFrameContext& context) {
  memset(&context, 0, sizeof context);
  void* frameData[4] = {nullptr, nullptr, nullptr, nullptr};
  context.reason = arInitial;
  const VSFrame* frame = node->getFrame(n, arInitial, node->instance, frameData, &context, &theCore, theApi);
  CheckControlRegister("getFrame");
  if (frame != nullptr || context.requested != node->dependency || context.requestedFrame != n)
    Abort("the initial call did not request exactly the source frame");
  context.ready = SourceFrame(node->dependency, n);
  context.reason = arAllFramesReady;
  frame = node->getFrame(n, arAllFramesReady, node->instance, frameData, &context, &theCore, theApi);
  CheckControlRegister("getFrame");
  freeFrame(context.ready);
  if (frame != nullptr && context.hasError) Abort("a frame and an error");
  if (frame == nullptr && !context.hasError) Abort("no frame and no error");
  return frame;
}

struct Expected {
  const uint8_t* bytes;
  size_t size;
  size_t offset;
};

bool ReadFile(const char* path, Expected& expected) {
  void* file = fopen(path, "rb");
  if (file == nullptr) return false;
  size_t capacity = 1 << 16;
  uint8_t* bytes = static_cast<uint8_t*>(malloc(capacity));
  size_t size = 0;
  for (;;) {
    if (size == capacity) {
      uint8_t* larger = static_cast<uint8_t*>(malloc(capacity * 2));
      memcpy(larger, bytes, size);
      free(bytes);
      bytes = larger;
      capacity *= 2;
    }
    const size_t got = fread(bytes + size, 1, capacity - size, file);
    if (got == 0) break;
    size += got;
  }
  fclose(file);
  expected = Expected{bytes, size, 0};
  return true;
}

VSNode* Invoke(VSPlugin& plugin, VSNode* source, const int64_t* values, int planeCount,
               const int64_t* planes, char* error, size_t errorSize) {
  static const char* const kNames[4] = {"T", "P", "lp", "hp"};
  VSMap in;
  VSMap out;
  memset(&in, 0, sizeof in);
  memset(&out, 0, sizeof out);
  ++source->references;
  SetNode(&in, "clip", source);
  for (int i = 0; i < 4; ++i) SetInts(&in, kNames[i], &values[i], 1);
  if (planeCount >= 0) SetInts(&in, "planes", planes, planeCount);
  plugin.create(&in, &out, nullptr, &theCore, theApi);
  CheckControlRegister("create");
  ClearMap(&in);
  VSNode* node = nullptr;
  error[0] = '\0';
  if (out.hasError) {
    CopyText(error, errorSize, out.error);
  } else if (out.count == 1 && out.entries[0].isNode) {
    node = out.entries[0].nodes[0];
    out.count = 0;
  } else {
    Abort("create gave neither an error nor one clip");
  }
  ClearMap(&out);
  return node;
}

int Run(const char* dllPath, const char* expectedPath) {
  FillApi();
  theApi = &api;
  static const VSPLUGINAPI pluginApi = {getAPIVersion, configPlugin, registerFunction};

  Expected expected;
  if (!ReadFile(expectedPath, expected)) Abort("cannot read the expected frames");
  void* module = LoadLibraryA(dllPath);
  Report(module != nullptr, "LoadLibrary velmoraine.dll");
  if (module == nullptr) return 1;
  VSInitPlugin init = reinterpret_cast<VSInitPlugin>(GetProcAddress(module, "VapourSynthPluginInit2"));
  Report(init != nullptr, "VapourSynthPluginInit2 is exported");
  if (init == nullptr) return 1;

  VSPlugin plugin;
  memset(&plugin, 0, sizeof plugin);
  plugin.loading = true;
  init(&plugin, &pluginApi);
  CheckControlRegister("the entry");
  plugin.loading = false;
  Report(plugin.configured && plugin.apiVersion == kVapourSynthApi40 &&
             strcmp(plugin.identifier, "org.velmoraine.velmoraine") == 0 &&
             strcmp(plugin.pluginNamespace, "velmoraine") == 0,
         "configured as org.velmoraine.velmoraine, namespace velmoraine, API 4.0");
  Report(plugin.functionCount == 1 && strcmp(plugin.functionName, "Denoise") == 0 &&
             strcmp(plugin.functionArguments,
                    "clip:vnode;T:int:opt;P:int:opt;lp:int:opt;hp:int:opt;planes:int[]:opt;") == 0,
         "registers Denoise with its arguments");

  char error[512];
  for (const vapoursynth_cases::Case& c : vapoursynth_cases::kCases) {
    VSVideoInfo vi;
    memset(&vi, 0, sizeof vi);
    vi.format = c.format;
    vi.fpsNum = 25;
    vi.fpsDen = 1;
    vi.width = c.width;
    vi.height = c.height;
    vi.numFrames = vapoursynth_cases::kFrames;
    VSNode* source = NewNode(vi);
    source->source = &c;
    const int64_t values[4] = {c.T, c.P, c.lp, c.hp};
    VSNode* node = Invoke(plugin, source, values, c.planeCount, c.planes, error, sizeof error);
    Report(node != nullptr, c.name, error);
    for (int n = 0; node != nullptr && n < vapoursynth_cases::kFrames; ++n) {
      VSFrameContext context;
      const VSFrame* frame = FilterFrame(node, n, context);
      bool same = frame != nullptr && frame->sourceFrame == n;
      for (int p = 0; same && p < c.format.numPlanes; ++p) {
        const int w = PlaneWidthOf(frame, p) * frame->format.bytesPerSample;  // bytes
        const int h = PlaneHeightOf(frame, p);
        if (expected.offset + static_cast<size_t>(w) * h > expected.size) Abort("the expected frames are too short");
        for (int y = 0; y < h; ++y) {
          same = same && memcmp(frame->planes[p]->data + y * frame->planes[p]->stride,
                                expected.bytes + expected.offset, static_cast<size_t>(w)) == 0;
          expected.offset += static_cast<size_t>(w);
        }
      }
      printf("  frame %d\n", n);
      Report(same, "  every plane equals the Linux build's, the frame property is kept",
             frame == nullptr ? context.error : "");
      freeFrame(frame);
    }
    ReleaseNode(node);
    ReleaseNode(source);
  }
  Report(expected.offset == expected.size, "every expected plane was compared");

  // Refused calls: the message as on Linux, nothing kept.
  {
    VSVideoInfo vi;
    memset(&vi, 0, sizeof vi);
    vi.format = vapoursynth_cases::kCases[0].format;
    vi.width = 64;
    vi.height = 64;
    vi.numFrames = 1;
    VSNode* source = NewNode(vi);
    const int64_t negativeP[4] = {0, -1, 0, 100};
    VSNode* node = Invoke(plugin, source, negativeP, -1, nullptr, error, sizeof error);
    Report(node == nullptr && strcmp(error,
                                     "velmoraine : 'P' incorrect. P=0 -> flat / P=1 -> 1/(1-z) / "
                                     "P=2 -> z/(1-z) / P=3 1+z / P>10 (z > P) ? 1 : 0") == 0,
           "a negative P is refused with the common text", error);
    ReleaseNode(source);
    vi.format.subSamplingW = 0;  // YUV440P8
    vi.format.subSamplingH = 1;
    source = NewNode(vi);
    const int64_t defaults[4] = {0, 1, 0, 100};
    node = Invoke(plugin, source, defaults, -1, nullptr, error, sizeof error);
    Report(node == nullptr && Contains(error, "integer samples of 8 to 16 bits"), "YUV440P8 is refused",
           error);
    ReleaseNode(source);
  }
  Report(liveFrames == 0 && liveNodes == 0, "every frame and node reference came back");
  FreeLibrary(module);
  printf("%d passed, %d failed\n", wintest_report::passedCount, wintest_report::failedCount);
  return wintest_report::failedCount == 0 ? 0 : 1;
}

}  // namespace

extern "C" void HostStart() {
  int argc = 0;
  char** argv = nullptr;
  char** env = nullptr;
  int startup = 0;
  __getmainargs(&argc, &argv, &env, 0, &startup);
  if (argc != 3) {
    printf("usage: wine64_vapoursynth_host.exe DLL_PATH EXPECTED_FILE\n");
    exit(2);
  }
  const int status = Run(argv[1], argv[2]);
  fflush(nullptr);
  exit(status);
}
