#include "tests/hosts/vapoursynth/vapoursynth_host.h"

#include <dlfcn.h>

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_set>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

using velmoraine::vshost::Options;
using velmoraine::vshost::PluginRecord;
using velmoraine::vshost::SampleFunction;

namespace {

[[noreturn]] __attribute__((format(printf, 1, 2))) void Fail(const char* format, ...) {
  std::fputs("vapoursynth stand-in: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

// After every call into the plug-in: the host aborts unless the rounding and
// exception-mask bits are the defaults.
void CheckControlRegister(const char* after) {
#if defined(__x86_64__) || defined(__i386__)
  const unsigned csr = _mm_getcsr();
  if ((csr & 0x7F80u) != 0x1F80u) Fail("MXCSR is 0x%04x after %s", csr, after);
#else
  (void)after;
#endif
}

std::atomic<int> hostApiVersion{kVapourSynthApi40};

bool IsValidFormat(const VSVideoFormat& f) {
  if (f.colorFamily < cfGray || f.colorFamily > cfYUV) return false;
  if (f.sampleType == stInteger) {
    if (f.bitsPerSample < 8 || f.bitsPerSample > 32) return false;
  } else if (f.sampleType == stFloat) {
    if (f.bitsPerSample != 16 && f.bitsPerSample != 32) return false;
  } else {
    return false;
  }
  const int bytes = f.bitsPerSample <= 8 ? 1 : f.bitsPerSample <= 16 ? 2 : 4;
  if (f.bytesPerSample != bytes) return false;
  if (f.subSamplingW < 0 || f.subSamplingW > 4 || f.subSamplingH < 0 || f.subSamplingH > 4)
    return false;
  if (f.colorFamily != cfYUV && (f.subSamplingW != 0 || f.subSamplingH != 0)) return false;
  return f.numPlanes == (f.colorFamily == cfGray ? 1 : 3);
}

bool SameFormat(const VSVideoFormat& a, const VSVideoFormat& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

// --- Planes and frames ----------------------------------------------------------------

namespace {

// One plane, allocated on its own: a guard area, the rows (each padded to
// the stride with guard bytes), another guard area.
class PlaneBuffer {
 public:
  PlaneBuffer(int width, int height, int bytesPerSample, int alignment)
      : width_(width * bytesPerSample), height_(height), alignment_(alignment) {
    stride_ = (static_cast<ptrdiff_t>(width_) + 8 + alignment - 1) / alignment * alignment;
    size_ = static_cast<size_t>(stride_) * static_cast<size_t>(height) + 2 * alignment;
    base_ = static_cast<uint8_t*>(std::aligned_alloc(alignment, size_));
    if (base_ == nullptr) Fail("out of memory for a %dx%d plane", width, height);
    // The rows get a pattern too: a filter must not rely on fresh planes being zero.
    for (size_t i = 0; i < size_; ++i) base_[i] = GuardByte(i);
  }
  PlaneBuffer(const PlaneBuffer&) = delete;
  ~PlaneBuffer() {
    CheckGuards("a plane was released");
    if (sealed_ && Checksum() != checksum_)
      Fail("a plane of a frame handed to the host was changed afterwards (a write through a "
           "read pointer or a shared plane)");
    std::free(base_);
  }

  uint8_t* Data() { return base_ + alignment_; }
  const uint8_t* Data() const { return base_ + alignment_; }
  ptrdiff_t Stride() const { return stride_; }
  int RowBytes() const { return width_; }
  int Height() const { return height_; }

  std::unique_ptr<PlaneBuffer> Duplicate(int bytesPerSample) const {
    auto copy = std::make_unique<PlaneBuffer>(width_ / bytesPerSample, height_, bytesPerSample,
                                              alignment_);
    for (int y = 0; y < height_; ++y)
      std::memcpy(copy->Data() + y * stride_, Data() + y * stride_, static_cast<size_t>(width_));
    return copy;
  }

  void Seal() {
    if (sealed_) return;
    checksum_ = Checksum();
    sealed_ = true;
  }
  bool Sealed() const { return sealed_; }

  void CheckGuards(const char* when) const {
    const size_t lead = static_cast<size_t>(alignment_);
    for (size_t i = 0; i < size_; ++i) {
      const size_t offset = i - lead;
      bool guard;
      if (i < lead || offset >= static_cast<size_t>(stride_) * static_cast<size_t>(height_)) {
        guard = true;
      } else {
        guard = offset % static_cast<size_t>(stride_) >= static_cast<size_t>(width_);
      }
      if (guard && base_[i] != GuardByte(i)) {
        Fail("%s: guard byte %zd bytes from the start of row 0 of a %dx%d plane (stride %td) was "
             "overwritten",
             when, static_cast<ptrdiff_t>(i) - static_cast<ptrdiff_t>(lead), width_, height_,
             stride_);
      }
    }
  }

 private:
  static uint8_t GuardByte(size_t i) { return static_cast<uint8_t>(0x5A + i * 131 + (i >> 8)); }
  uint64_t Checksum() const {
    uint64_t h = 1469598103934665603ull;
    for (int y = 0; y < height_; ++y) {
      const uint8_t* row = Data() + y * stride_;
      for (int x = 0; x < width_; ++x) h = (h ^ row[x]) * 1099511628211ull;
    }
    return h;
  }

  int width_;  // in bytes
  int height_;
  int alignment_;
  ptrdiff_t stride_;
  size_t size_;
  uint8_t* base_;
  bool sealed_ = false;
  uint64_t checksum_ = 0;
};

}  // namespace

struct VSFrame {
  VSCore* core;
  VSVideoFormat format;
  int width;
  int height;
  std::shared_ptr<PlaneBuffer> planes[3];
  std::map<std::string, int64_t> properties;
  std::atomic<int> references{1};
};

struct VSNode {
  VSCore* core;
  std::atomic<int> references{1};
  VSVideoInfo vi;
  std::string name;
  // A source node.
  bool isSource = false;
  SampleFunction sample;
  int failingFrame = -1;
  // A filter node.
  VSFilterGetFrame getFrame = nullptr;
  VSFilterFree free = nullptr;
  int mode = 0;
  std::vector<VSFilterDependency> dependencies;
  void* instanceData = nullptr;
  // Frame numbers whose getFrame is running: parallel mode never runs two
  // calls for one frame number at once.
  std::mutex busyMutex;
  std::condition_variable busyChanged;
  std::set<int> busy;
};

namespace {
void ReleaseNode(VSNode* node);
}

struct VSMap {
  struct Entry {
    std::string key;
    bool isNode = false;
    std::vector<int64_t> ints;
    std::vector<VSNode*> nodes;
  };
  VSCore* core = nullptr;
  std::vector<Entry> entries;
  bool hasError = false;
  std::string error;

  Entry* Find(const char* key) {
    for (Entry& e : entries)
      if (e.key == key) return &e;
    return nullptr;
  }
  const Entry* Find(const char* key) const { return const_cast<VSMap*>(this)->Find(key); }
  void Clear() {
    for (Entry& e : entries)
      for (VSNode* node : e.nodes) ReleaseNode(node);
    entries.clear();
  }
  ~VSMap() { Clear(); }
};

struct VSFrameContext {
  VSNode* node;
  int n;
  int reason;
  std::vector<std::pair<VSNode*, int>> requests;
  std::vector<std::pair<std::pair<VSNode*, int>, const VSFrame*>> ready;
  bool hasError = false;
  std::string error;
};

struct VSPlugin {
  VSCore* core;
  PluginRecord record;
  std::vector<VSPublicFunction> creates;
  std::vector<void*> functionData;
  bool loading = true;
  bool configured = false;
  void* library = nullptr;
};

struct VSCore {
  Options options;
  std::vector<std::unique_ptr<VSPlugin>> plugins;
  mutable std::mutex liveMutex;
  std::unordered_set<const VSFrame*> liveFrames;
  std::unordered_set<const VSNode*> liveNodes;
  mutable std::mutex recordMutex;
  velmoraine::vshost::FilterRecord lastFilter;
  bool refuseNextFilter = false;
};

namespace {

const VSAPI& Api();

void CheckFrame(const VSFrame* frame, const char* function) {
  if (frame == nullptr) Fail("%s: null frame", function);
  std::lock_guard<std::mutex> lock(frame->core->liveMutex);
  if (!frame->core->liveFrames.count(frame)) Fail("%s: the frame was already released", function);
}

void CheckNode(const VSNode* node, const char* function) {
  if (node == nullptr) Fail("%s: null node", function);
  std::lock_guard<std::mutex> lock(node->core->liveMutex);
  if (!node->core->liveNodes.count(node)) Fail("%s: the node was already released", function);
}

void CheckPlane(const VSFrame* frame, int p, const char* function) {
  CheckFrame(frame, function);
  if (p < 0 || p >= frame->format.numPlanes)
    Fail("%s: plane %d of a frame with %d planes", function, p, frame->format.numPlanes);
}

int PlaneWidthOf(const VSVideoFormat& f, int width, int p) {
  return p == 0 ? width : width >> f.subSamplingW;
}
int PlaneHeightOf(const VSVideoFormat& f, int height, int p) {
  return p == 0 ? height : height >> f.subSamplingH;
}

void CheckFrameSize(const VSVideoFormat& f, int width, int height, const char* function) {
  if (!IsValidFormat(f)) Fail("%s: invalid format", function);
  if (width <= 0 || height <= 0) Fail("%s: invalid size %dx%d", function, width, height);
  if (width % (1 << f.subSamplingW) != 0 || height % (1 << f.subSamplingH) != 0)
    Fail("%s: size %dx%d is not a multiple of the subsampling", function, width, height);
}

VSFrame* NewFrame(VSCore* core, const VSVideoFormat& format, int width, int height) {
  VSFrame* frame = new VSFrame;
  frame->core = core;
  frame->format = format;
  frame->width = width;
  frame->height = height;
  std::lock_guard<std::mutex> lock(core->liveMutex);
  core->liveFrames.insert(frame);
  return frame;
}

std::shared_ptr<PlaneBuffer> NewPlane(VSCore* core, const VSVideoFormat& f, int width, int height,
                                      int p) {
  return std::make_shared<PlaneBuffer>(PlaneWidthOf(f, width, p), PlaneHeightOf(f, height, p),
                                       f.bytesPerSample, core->options.strideAlignment);
}

void ReleaseFrame(const VSFrame* frame) {
  if (frame == nullptr) return;
  CheckFrame(frame, "freeFrame");
  const int left = const_cast<VSFrame*>(frame)->references.fetch_sub(1) - 1;
  if (left > 0) return;
  {
    std::lock_guard<std::mutex> lock(frame->core->liveMutex);
    frame->core->liveFrames.erase(frame);
  }
  delete frame;
}

// Makes a frame immutable: from now on any holder must copy a plane before
// writing it.
void Publish(const VSFrame* frame, const char* when) {
  for (int p = 0; p < frame->format.numPlanes; ++p) {
    frame->planes[p]->CheckGuards(when);
    frame->planes[p]->Seal();
  }
}

VSNode* AddNodeReference(VSNode* node) {
  CheckNode(node, "addNodeRef");
  node->references.fetch_add(1);
  return node;
}

void ReleaseNode(VSNode* node) {
  if (node == nullptr) return;
  CheckNode(node, "freeNode");
  if (node->references.fetch_sub(1) - 1 > 0) return;
  if (node->free != nullptr) {
    // The host may free a filter on any thread; here it always is another one.
    std::thread([node] {
      node->free(node->instanceData, node->core, &Api());
      CheckControlRegister("free");
    }).join();
  }
  for (const VSFilterDependency& d : node->dependencies) ReleaseNode(d.source);
  {
    std::lock_guard<std::mutex> lock(node->core->liveMutex);
    node->core->liveNodes.erase(node);
  }
  delete node;
}

VSNode* NewNode(VSCore* core, const VSVideoInfo& vi) {
  VSNode* node = new VSNode;
  node->core = core;
  node->vi = vi;
  std::lock_guard<std::mutex> lock(core->liveMutex);
  core->liveNodes.insert(node);
  return node;
}

// Frame numbers past the end mean the last frame.
int ClampFrame(const VSNode* node, int n) {
  return n < node->vi.numFrames ? n : node->vi.numFrames - 1;
}

// --- Producing frames ---------------------------------------------------------------

const VSFrame* MakeSourceFrame(VSNode* node, int n, std::string* error) {
  if (n == node->failingFrame) {
    *error = "source: frame " + std::to_string(n) + " could not be read";
    return nullptr;
  }
  const VSVideoInfo& vi = node->vi;
  VSFrame* frame = NewFrame(node->core, vi.format, vi.width, vi.height);
  for (int p = 0; p < vi.format.numPlanes; ++p) {
    frame->planes[p] = NewPlane(node->core, vi.format, vi.width, vi.height, p);
    PlaneBuffer& plane = *frame->planes[p];
    const int w = PlaneWidthOf(vi.format, vi.width, p);
    const int h = PlaneHeightOf(vi.format, vi.height, p);
    const int bytes = vi.format.bytesPerSample;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        // A word in two bytes; float and 32-bit samples get the value as an integer.
        const uint16_t word = node->sample(n, p, x, y);
        const uint32_t value = word;
        uint8_t* at = plane.Data() + y * plane.Stride() + x * bytes;
        if (bytes == 1) *at = static_cast<uint8_t>(word);
        if (bytes == 2) std::memcpy(at, &word, 2);
        if (bytes == 4) std::memcpy(at, &value, 4);
      }
    }
  }
  frame->properties["_SourceFrame"] = n;
  frame->properties["_DurationNum"] = vi.fpsDen;
  frame->properties["_DurationDen"] = vi.fpsNum;
  Publish(frame, "source frame");
  return frame;
}

const VSFrame* CallGetFrame(VSNode* node, int n, int reason, void** frameData,
                            VSFrameContext* context) {
  context->reason = reason;
  const VSFrame* frame =
      node->getFrame(n, reason, node->instanceData, frameData, context, node->core, &Api());
  CheckControlRegister("getFrame");
  if (frame != nullptr) CheckFrame(frame, "getFrame's result");
  if (frame != nullptr && context->hasError)
    Fail("%s returned frame %d and also set an error: %s", node->name.c_str(), n,
         context->error.c_str());
  return frame;
}

const VSFrame* ProduceFrame(VSNode* node, int n, std::string* error) {
  CheckNode(node, "frame request");
  if (n < 0) Fail("frame %d requested from %s", n, node->name.c_str());
  n = ClampFrame(node, n);
  if (node->isSource) return MakeSourceFrame(node, n, error);

  {
    std::unique_lock<std::mutex> lock(node->busyMutex);
    node->busyChanged.wait(lock, [&] { return node->busy.count(n) == 0; });
    node->busy.insert(n);
  }
  struct Done {
    VSNode* node;
    int n;
    ~Done() {
      std::lock_guard<std::mutex> lock(node->busyMutex);
      node->busy.erase(n);
      node->busyChanged.notify_all();
    }
  } done{node, n};

  VSFrameContext context{node, n, arInitial, {}, {}, false, {}};
  void* frameData[4] = {nullptr, nullptr, nullptr, nullptr};
  const VSFrame* frame = CallGetFrame(node, n, arInitial, frameData, &context);
  if (frame != nullptr && !context.requests.empty())
    Fail("%s returned frame %d with requests pending", node->name.c_str(), n);
  if (context.hasError) {
    *error = context.error;
    return nullptr;
  }
  if (frame == nullptr) {
    if (context.requests.empty())
      Fail("%s returned no frame %d, requested nothing and set no error", node->name.c_str(), n);
    std::string upstream;
    bool failed = false;
    for (const auto& request : context.requests) {
      const VSFrame* input = ProduceFrame(request.first, request.second, &upstream);
      if (input == nullptr) {
        failed = true;
        break;
      }
      context.ready.push_back({request, input});
    }
    context.requests.clear();
    frame = CallGetFrame(node, n, failed ? arError : arAllFramesReady, frameData, &context);
    for (const auto& input : context.ready) ReleaseFrame(input.second);
    context.ready.clear();
    if (!context.requests.empty())
      Fail("%s requested frames after its initial call for frame %d", node->name.c_str(), n);
    if (failed) {
      if (frame != nullptr)
        Fail("%s returned frame %d after its source failed", node->name.c_str(), n);
      *error = upstream;
      return nullptr;
    }
    if (context.hasError) {
      *error = context.error;
      return nullptr;
    }
    if (frame == nullptr)
      Fail("%s returned no frame %d and set no error", node->name.c_str(), n);
  }
  const VSVideoInfo& vi = node->vi;
  if ((vi.format.colorFamily != cfUndefined && !SameFormat(frame->format, vi.format)) ||
      (vi.width > 0 && (frame->width != vi.width || frame->height != vi.height)))
    Fail("%s returned frame %d in another format or size than its clip's", node->name.c_str(), n);
  Publish(frame, "a filter returned a frame");
  return frame;
}

// --- The function table -------------------------------------------------------------

void createVideoFilter(VSMap* out, const char* name, const VSVideoInfo* vi,
                       VSFilterGetFrame getFrame, VSFilterFree free, int filterMode,
                       const VSFilterDependency* dependencies, int numDeps, void* instanceData,
                       VSCore* core) {
  if (out == nullptr || name == nullptr || vi == nullptr || getFrame == nullptr || core == nullptr)
    Fail("createVideoFilter: null argument");
  if (filterMode < fmParallel || filterMode > fmFrameState)
    Fail("createVideoFilter: filter mode %d", filterMode);
  if (numDeps < 0 || (numDeps > 0 && dependencies == nullptr))
    Fail("createVideoFilter: %d dependencies", numDeps);
  for (int i = 0; i < numDeps; ++i) {
    CheckNode(dependencies[i].source, "createVideoFilter dependency");
    if (dependencies[i].requestPattern < rpGeneral || dependencies[i].requestPattern > 3)
      Fail("createVideoFilter: request pattern %d", dependencies[i].requestPattern);
  }
  {
    std::lock_guard<std::mutex> lock(core->recordMutex);
    core->lastFilter.name = name;
    core->lastFilter.mode = filterMode;
    core->lastFilter.dependencies.assign(dependencies, dependencies + numDeps);
  }
  bool valid = vi->numFrames > 0 && vi->fpsNum >= 0 && vi->fpsDen >= 0 && vi->width >= 0 &&
               vi->height >= 0 && (vi->width == 0) == (vi->height == 0);
  if (valid && vi->format.colorFamily != cfUndefined) {
    valid = IsValidFormat(vi->format);
    if (valid && vi->width > 0)
      valid = vi->width % (1 << vi->format.subSamplingW) == 0 &&
              vi->height % (1 << vi->format.subSamplingH) == 0;
  }
  if (core->refuseNextFilter) {
    core->refuseNextFilter = false;
    valid = false;
  }
  if (!valid) {
    const std::string message = std::string(name) + ": the filter has an invalid video info";
    Api().mapSetError(out, message.c_str());
    return;  // free is not called
  }
  VSNode* node = NewNode(core, *vi);
  node->name = name;
  node->getFrame = getFrame;
  node->free = free;
  node->mode = filterMode;
  node->instanceData = instanceData;
  for (int i = 0; i < numDeps; ++i) {
    node->dependencies.push_back(dependencies[i]);
    AddNodeReference(dependencies[i].source);
  }
  Api().mapConsumeNode(out, "clip", node, maAppend);
}

void freeNode(VSNode* node) { ReleaseNode(node); }

const VSVideoInfo* getVideoInfo(VSNode* node) {
  CheckNode(node, "getVideoInfo");
  return &node->vi;
}

VSFrame* newVideoFrame(const VSVideoFormat* format, int width, int height,
                       const VSFrame* propSrc, VSCore* core) {
  if (format == nullptr || core == nullptr) Fail("newVideoFrame: null argument");
  CheckFrameSize(*format, width, height, "newVideoFrame");
  VSFrame* frame = NewFrame(core, *format, width, height);
  for (int p = 0; p < format->numPlanes; ++p)
    frame->planes[p] = NewPlane(core, *format, width, height, p);
  if (propSrc != nullptr) {
    CheckFrame(propSrc, "newVideoFrame");
    frame->properties = propSrc->properties;
  }
  return frame;
}

VSFrame* newVideoFrame2(const VSVideoFormat* format, int width, int height,
                        const VSFrame** planeSrc, const int* planes, const VSFrame* propSrc,
                        VSCore* core) {
  if (format == nullptr || core == nullptr) Fail("newVideoFrame2: null argument");
  CheckFrameSize(*format, width, height, "newVideoFrame2");
  VSFrame* frame = NewFrame(core, *format, width, height);
  for (int p = 0; p < format->numPlanes; ++p) {
    const VSFrame* from = planeSrc != nullptr ? planeSrc[p] : nullptr;
    if (from == nullptr) {
      frame->planes[p] = NewPlane(core, *format, width, height, p);
      continue;
    }
    CheckPlane(from, planes[p], "newVideoFrame2");
    const int q = planes[p];
    if (PlaneWidthOf(from->format, from->width, q) != PlaneWidthOf(*format, width, p) ||
        PlaneHeightOf(from->format, from->height, q) != PlaneHeightOf(*format, height, p) ||
        from->format.bytesPerSample != format->bytesPerSample)
      Fail("newVideoFrame2: plane %d of the source does not fit plane %d", q, p);
    frame->planes[p] = from->planes[q];
  }
  if (propSrc != nullptr) {
    CheckFrame(propSrc, "newVideoFrame2");
    frame->properties = propSrc->properties;
  }
  return frame;
}

void freeFrame(const VSFrame* frame) { ReleaseFrame(frame); }

const VSFrame* addFrameRef(const VSFrame* frame) {
  CheckFrame(frame, "addFrameRef");
  const_cast<VSFrame*>(frame)->references.fetch_add(1);
  return frame;
}

VSFrame* copyFrame(const VSFrame* frame, VSCore* core) {
  CheckFrame(frame, "copyFrame");
  VSFrame* copy = NewFrame(core, frame->format, frame->width, frame->height);
  for (int p = 0; p < frame->format.numPlanes; ++p) copy->planes[p] = frame->planes[p];
  copy->properties = frame->properties;
  return copy;
}

ptrdiff_t getStride(const VSFrame* frame, int p) {
  CheckPlane(frame, p, "getStride");
  return frame->planes[p]->Stride();
}

const uint8_t* getReadPtr(const VSFrame* frame, int p) {
  CheckPlane(frame, p, "getReadPtr");
  return frame->planes[p]->Data();
}

uint8_t* getWritePtr(VSFrame* frame, int p) {
  CheckPlane(frame, p, "getWritePtr");
  std::shared_ptr<PlaneBuffer>& plane = frame->planes[p];
  // Shared or published: the frame gets a plane of its own first.
  if (plane.use_count() > 1 || plane->Sealed())
    plane = std::shared_ptr<PlaneBuffer>(plane->Duplicate(frame->format.bytesPerSample));
  return plane->Data();
}

const VSVideoFormat* getVideoFrameFormat(const VSFrame* frame) {
  CheckFrame(frame, "getVideoFrameFormat");
  return &frame->format;
}

int getFrameWidth(const VSFrame* frame, int p) {
  CheckPlane(frame, p, "getFrameWidth");
  return PlaneWidthOf(frame->format, frame->width, p);
}

int getFrameHeight(const VSFrame* frame, int p) {
  CheckPlane(frame, p, "getFrameHeight");
  return PlaneHeightOf(frame->format, frame->height, p);
}

const VSFrame* getFrameFilter(int n, VSNode* node, VSFrameContext* context) {
  if (context == nullptr) Fail("getFrameFilter: null frame context");
  if (context->reason != arAllFramesReady)
    Fail("getFrameFilter called outside the all-frames-ready call");
  CheckNode(node, "getFrameFilter");
  if (n < 0) Fail("getFrameFilter: frame %d", n);
  for (const auto& input : context->ready)
    if (input.first.first == node && input.first.second == ClampFrame(node, n))
      return addFrameRef(input.second);
  return nullptr;
}

void requestFrameFilter(int n, VSNode* node, VSFrameContext* context) {
  if (context == nullptr) Fail("requestFrameFilter: null frame context");
  if (context->reason != arInitial) Fail("requestFrameFilter called outside the initial call");
  CheckNode(node, "requestFrameFilter");
  if (n < 0) Fail("requestFrameFilter: frame %d", n);
  const VSFilterDependency* dependency = nullptr;
  for (const VSFilterDependency& d : context->node->dependencies)
    if (d.source == node) dependency = &d;
  if (dependency == nullptr) Fail("requestFrameFilter: the node is not a declared dependency");
  if (dependency->requestPattern == rpStrictSpatial &&
      ClampFrame(node, n) != ClampFrame(node, context->n))
    Fail("requestFrameFilter: frame %d for output frame %d of a strictly spatial dependency", n,
         context->n);
  context->requests.push_back({node, ClampFrame(node, n)});
}

void setFilterError(const char* message, VSFrameContext* context) {
  if (message == nullptr || context == nullptr) Fail("setFilterError: null argument");
  context->hasError = true;
  context->error = message;
}

void mapSetError(VSMap* map, const char* message) {
  if (map == nullptr || message == nullptr) Fail("mapSetError: null argument");
  map->Clear();
  map->hasError = true;
  map->error = message;
}

const char* mapGetError(const VSMap* map) {
  if (map == nullptr) Fail("mapGetError: null map");
  return map->hasError ? map->error.c_str() : nullptr;
}

int mapNumElements(const VSMap* map, const char* key) {
  if (map == nullptr || key == nullptr) Fail("mapNumElements: null argument");
  const VSMap::Entry* e = map->Find(key);
  if (e == nullptr) return -1;
  return static_cast<int>(e->isNode ? e->nodes.size() : e->ints.size());
}

// The status of reading element `index` of `key` as an integer or a node.
int Lookup(const VSMap* map, const char* key, int index, bool node, const VSMap::Entry** found) {
  if (map == nullptr || key == nullptr) Fail("map read: null argument");
  if (map->hasError) Fail("map read of '%s' from a map holding an error", key);
  const VSMap::Entry* e = map->Find(key);
  if (e == nullptr) return peUnset;
  if (e->isNode != node) return peType;
  const size_t size = node ? e->nodes.size() : e->ints.size();
  if (index < 0 || static_cast<size_t>(index) >= size) return peIndex;
  *found = e;
  return peSuccess;
}

int64_t mapGetInt(const VSMap* map, const char* key, int index, int* error) {
  const VSMap::Entry* e = nullptr;
  const int status = Lookup(map, key, index, false, &e);
  if (status != peSuccess && error == nullptr)
    Fail("mapGetInt('%s', %d) failed (%d) with no error pointer", key, index, status);
  if (error != nullptr) *error = status;
  return status == peSuccess ? e->ints[index] : 0;
}

int mapGetIntSaturated(const VSMap* map, const char* key, int index, int* error) {
  const int64_t v = mapGetInt(map, key, index, error);
  return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int>(v);
}

int mapSetInt(VSMap* map, const char* key, int64_t value, int append) {
  if (map == nullptr || key == nullptr) Fail("mapSetInt: null argument");
  if (append != maReplace && append != maAppend) Fail("mapSetInt: append mode %d", append);
  VSMap::Entry* e = map->Find(key);
  if (e != nullptr && e->isNode) return 1;
  if (e == nullptr) {
    map->entries.push_back({key, false, {}, {}});
    e = &map->entries.back();
  }
  if (append == maReplace) e->ints.clear();
  e->ints.push_back(value);
  return 0;
}

VSNode* mapGetNode(const VSMap* map, const char* key, int index, int* error) {
  const VSMap::Entry* e = nullptr;
  const int status = Lookup(map, key, index, true, &e);
  if (status != peSuccess && error == nullptr)
    Fail("mapGetNode('%s', %d) failed (%d) with no error pointer", key, index, status);
  if (error != nullptr) *error = status;
  return status == peSuccess ? AddNodeReference(e->nodes[index]) : nullptr;
}

int mapConsumeNode(VSMap* map, const char* key, VSNode* node, int append) {
  if (map == nullptr || key == nullptr) Fail("mapConsumeNode: null argument");
  CheckNode(node, "mapConsumeNode");
  if (append != maReplace && append != maAppend) Fail("mapConsumeNode: append mode %d", append);
  VSMap::Entry* e = map->Find(key);
  if (e != nullptr && !e->isNode) {
    ReleaseNode(node);  // consumed even when refused
    return 1;
  }
  if (e == nullptr) {
    map->entries.push_back({key, true, {}, {}});
    e = &map->entries.back();
  }
  if (append == maReplace) {
    for (VSNode* old : e->nodes) ReleaseNode(old);
    e->nodes.clear();
  }
  e->nodes.push_back(node);
  return 0;
}

int mapSetNode(VSMap* map, const char* key, VSNode* node, int append) {
  return mapConsumeNode(map, key, AddNodeReference(node), append);
}

int getAPIVersion() { return hostApiVersion.load(); }

// Slots the stand-in does not serve abort when called, naming the slot.
template <int Slot>
void Unserved() {
  Fail("VSAPI slot %d called, which this stand-in does not serve", Slot);
}

template <size_t... Slots>
void FillUnserved(void** slots, std::index_sequence<Slots...>) {
  ((slots[Slots] = slots[Slots] != nullptr
                       ? slots[Slots]
                       : reinterpret_cast<void*>(&Unserved<static_cast<int>(Slots)>)),
   ...);
}

VSAPI MakeApi() {
  VSAPI api;
  std::memset(&api, 0, sizeof api);
  api.createVideoFilter = createVideoFilter;
  api.freeNode = freeNode;
  api.addNodeRef = AddNodeReference;
  api.getVideoInfo = getVideoInfo;
  api.newVideoFrame = newVideoFrame;
  api.newVideoFrame2 = newVideoFrame2;
  api.freeFrame = freeFrame;
  api.addFrameRef = addFrameRef;
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
  api.mapGetIntSaturated = mapGetIntSaturated;
  api.mapSetInt = mapSetInt;
  api.mapGetNode = mapGetNode;
  api.mapSetNode = mapSetNode;
  api.mapConsumeNode = mapConsumeNode;
  api.getAPIVersion = getAPIVersion;
  constexpr size_t kSlots = sizeof(VSAPI) / sizeof(void*);
  void* slots[kSlots];
  std::memcpy(slots, &api, sizeof api);
  FillUnserved(slots, std::make_index_sequence<kSlots>());
  std::memcpy(&api, slots, sizeof api);
  return api;
}

const VSAPI& Api() {
  static const VSAPI api = MakeApi();
  return api;
}

// --- Plug-in registration -----------------------------------------------------------

struct ArgumentSpec {
  std::string name;
  std::string type;  // int, float, data, vnode, anode, vframe, aframe, func
  bool array = false;
  bool optional = false;
  bool empty = false;
};

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool IsName(const std::string& name) {
  if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  return true;
}

// Parses "name:type[:opt][:empty];..." as the host does; false on any fault.
bool ParseArguments(const std::string& text, std::vector<ArgumentSpec>* specs) {
  static const std::set<std::string> kTypes = {"int",   "float",  "data",   "vnode",
                                               "anode", "vframe", "aframe", "func"};
  for (char c : text)
    if (std::isspace(static_cast<unsigned char>(c))) return false;
  for (const std::string& entry : Split(text, ';')) {
    if (entry.empty()) continue;
    const std::vector<std::string> fields = Split(entry, ':');
    if (fields.size() < 2 || !IsName(fields[0])) return false;
    ArgumentSpec argument;
    argument.name = fields[0];
    argument.type = fields[1];
    if (argument.type.size() > 2 && argument.type.compare(argument.type.size() - 2, 2, "[]") == 0) {
      argument.array = true;
      argument.type.resize(argument.type.size() - 2);
    }
    if (!kTypes.count(argument.type)) return false;
    for (size_t i = 2; i < fields.size(); ++i) {
      if (fields[i] == "opt") argument.optional = true;
      else if (fields[i] == "empty" && argument.array) argument.empty = true;
      else return false;
    }
    for (const ArgumentSpec& other : *specs)
      if (other.name == argument.name) return false;
    specs->push_back(argument);
  }
  return true;
}

int configPlugin(const char* identifier, const char* pluginNamespace, const char* name,
                 int pluginVersion, int apiVersion, int flags, VSPlugin* plugin) {
  if (plugin == nullptr || !plugin->loading) Fail("configPlugin outside the plug-in's entry");
  if (plugin->configured) Fail("configPlugin called twice");
  if (flags & ~1) Fail("configPlugin: flags %d", flags);
  if (identifier == nullptr || pluginNamespace == nullptr || name == nullptr)
    Fail("configPlugin: null argument");
  plugin->configured = true;
  plugin->record.identifier = identifier;
  plugin->record.pluginNamespace = pluginNamespace;
  plugin->record.name = name;
  plugin->record.pluginVersion = pluginVersion;
  plugin->record.apiVersion = apiVersion;
  plugin->record.flags = flags;
  return 1;
}

int registerFunction(const char* name, const char* args, const char* returnType,
                     VSPublicFunction create, void* data, VSPlugin* plugin) {
  if (plugin == nullptr || !plugin->loading) Fail("registerFunction outside the plug-in's entry");
  if (name == nullptr || args == nullptr || returnType == nullptr || create == nullptr)
    Fail("registerFunction: null argument");
  std::vector<ArgumentSpec> specs;
  std::vector<ArgumentSpec> returned;
  if (!plugin->configured || !IsName(name) || !ParseArguments(args, &specs) ||
      !ParseArguments(returnType, &returned))
    return 0;
  for (const auto& f : plugin->record.functions)
    if (f.name == name) return 0;
  plugin->record.functions.push_back({name, args, returnType});
  plugin->creates.push_back(create);
  plugin->functionData.push_back(data);
  return 1;
}

int pluginApiVersion() { return hostApiVersion.load(); }

const VSPLUGINAPI& PluginApi() {
  static const VSPLUGINAPI api = {pluginApiVersion, configPlugin, registerFunction};
  return api;
}

std::string VersionText(int version) {
  return "R" + std::to_string(version >> 16) + "." + std::to_string(version & 0xFFFF);
}

}  // namespace

// --- The core ---------------------------------------------------------------------------

namespace velmoraine::vshost {

VSVideoFormat MakeFormat(int colorFamily, int sampleType, int bits, int ssW, int ssH) {
  VSVideoFormat f;
  f.colorFamily = colorFamily;
  f.sampleType = sampleType;
  f.bitsPerSample = bits;
  f.bytesPerSample = bits <= 8 ? 1 : bits <= 16 ? 2 : 4;
  f.subSamplingW = ssW;
  f.subSamplingH = ssH;
  f.numPlanes = colorFamily == cfGray ? 1 : colorFamily == cfUndefined ? 0 : 3;
  return f;
}

VSVideoInfo MakeVideoInfo(const VSVideoFormat& format, int width, int height, int numFrames) {
  VSVideoInfo vi;
  std::memset(&vi, 0, sizeof vi);
  vi.format = format;
  vi.fpsNum = 30000;
  vi.fpsDen = 1001;
  vi.width = width;
  vi.height = height;
  vi.numFrames = numFrames;
  return vi;
}

Core::Core(Options options) : core_(new VSCore) {
  if (options.strideAlignment != 32 && options.strideAlignment != 64)
    Fail("stride alignment %d", options.strideAlignment);
  core_->options = options;
  hostApiVersion.store(options.apiVersion);
}

Core::~Core() {
  {
    std::lock_guard<std::mutex> lock(core_->liveMutex);
    if (!core_->liveNodes.empty() || !core_->liveFrames.empty())
      Fail("teardown: %zu nodes and %zu frames are still referenced", core_->liveNodes.size(),
           core_->liveFrames.size());
  }
  for (auto& plugin : core_->plugins) dlclose(plugin->library);
  delete core_;
}

std::string Core::LoadPlugin(const std::string& path) {
  void* library = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (library == nullptr) return std::string("Failed to load ") + path + ": " + dlerror();
  auto init = reinterpret_cast<VSInitPlugin>(dlsym(library, "VapourSynthPluginInit2"));
  if (init == nullptr) {
    dlclose(library);
    return "No entry point found in " + path;
  }
  auto plugin = std::make_unique<VSPlugin>();
  plugin->core = core_;
  plugin->library = library;
  init(plugin.get(), &PluginApi());
  CheckControlRegister("the plug-in's entry");
  plugin->loading = false;
  const int required = plugin->configured ? plugin->record.apiVersion : 0;
  const int own = core_->options.apiVersion;
  std::string error;
  if ((required >> 16) != (own >> 16) || (required & 0xFFFF) > (own & 0xFFFF)) {
    error = "Core only supports API " + VersionText(own) + " but the loaded plugin requires API " +
            VersionText(required) + "; Filename: " + path;
  } else {
    for (const auto& other : core_->plugins) {
      if (other->record.identifier == plugin->record.identifier)
        error = "Plugin " + path + " already loaded (" + plugin->record.identifier + ")";
      else if (other->record.pluginNamespace == plugin->record.pluginNamespace)
        error = "Plugin load of " + path + " failed, namespace " +
                plugin->record.pluginNamespace + " already populated";
    }
  }
  if (!error.empty()) {
    dlclose(library);
    return error;
  }
  core_->plugins.push_back(std::move(plugin));
  return "";
}

const PluginRecord* Core::FindPlugin(const std::string& pluginNamespace) const {
  for (const auto& plugin : core_->plugins)
    if (plugin->record.pluginNamespace == pluginNamespace) return &plugin->record;
  return nullptr;
}

VSNode* Core::CreateSource(const VSVideoInfo& vi, SampleFunction sample, int failingFrame) {
  if (vi.numFrames <= 0) Fail("CreateSource: %d frames", vi.numFrames);
  if (vi.format.colorFamily != cfUndefined && vi.width > 0)
    CheckFrameSize(vi.format, vi.width, vi.height, "CreateSource");
  VSNode* node = NewNode(core_, vi);
  node->name = "source";
  node->isSource = true;
  node->sample = std::move(sample);
  node->failingFrame = failingFrame;
  return node;
}

InvokeResult Core::Invoke(const std::string& pluginNamespace, const std::string& function,
                          const Arguments& arguments) {
  VSPlugin* plugin = nullptr;
  for (auto& p : core_->plugins)
    if (p->record.pluginNamespace == pluginNamespace) plugin = p.get();
  if (plugin == nullptr) return {nullptr, "No attribute with the name " + pluginNamespace + " exists"};
  size_t index = 0;
  while (index < plugin->record.functions.size() && plugin->record.functions[index].name != function)
    ++index;
  if (index == plugin->record.functions.size())
    return {nullptr, "There is no function named " + function};
  const RegisteredFunction& registered = plugin->record.functions[index];
  std::vector<ArgumentSpec> specs;
  ParseArguments(registered.arguments, &specs);

  // The host's own checks, before the plug-in sees the arguments.
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& name = arguments[i].first;
    const Argument& value = arguments[i].second;
    for (size_t j = 0; j < i; ++j)
      if (arguments[j].first == name) return {nullptr, function + ": argument " + name + " given twice"};
    const ArgumentSpec* declared = nullptr;
    for (const ArgumentSpec& s : specs)
      if (s.name == name) declared = &s;
    if (declared == nullptr)
      return {nullptr, function + ": Function does not take argument(s) named " + name};
    const bool isNode = !value.nodes.empty();
    if ((declared->type == "vnode") != isNode || (declared->type != "vnode" && declared->type != "int"))
      return {nullptr, function + ": argument " + name + " is not of the declared type"};
    const size_t count = isNode ? value.nodes.size() : value.ints.size();
    if (!declared->array && count != 1)
      return {nullptr, function + ": argument " + name + " is not an array"};
    if (count == 0 && !declared->empty)
      return {nullptr, function + ": argument " + name + " does not accept empty arrays"};
  }
  for (const ArgumentSpec& s : specs) {
    bool given = false;
    for (const auto& a : arguments) given = given || a.first == s.name;
    if (!s.optional && !given) return {nullptr, function + ": argument " + s.name + " is required"};
  }

  VSMap in;
  in.core = core_;
  for (const auto& [name, value] : arguments) {
    for (VSNode* node : value.nodes) mapSetNode(&in, name.c_str(), node, maAppend);
    for (int64_t v : value.ints) mapSetInt(&in, name.c_str(), v, maAppend);
  }
  VSMap out;
  out.core = core_;
  plugin->creates[index](&in, &out, plugin->functionData[index], core_, &Api());
  CheckControlRegister("create");
  if (out.hasError) return {nullptr, out.error};
  const VSMap::Entry* clip = out.Find("clip");
  if (clip == nullptr || clip->nodes.size() != 1 || out.entries.size() != 1)
    Fail("%s returned neither an error nor exactly one clip", function.c_str());
  return {AddNodeReference(clip->nodes[0]), ""};
}

const VSFrame* Core::GetFrame(VSNode* node, int n, std::string* error) {
  std::string text;
  const VSFrame* frame = ProduceFrame(node, n, &text);
  if (error != nullptr) *error = text;
  return frame;
}

void Core::FreeNode(VSNode* node) { ReleaseNode(node); }
void Core::FreeFrame(const VSFrame* frame) { ReleaseFrame(frame); }

void Core::RefuseNextFilter() { core_->refuseNextFilter = true; }

FilterRecord Core::LastFilter() const {
  std::lock_guard<std::mutex> lock(core_->recordMutex);
  return core_->lastFilter;
}

size_t Core::LiveFrames() const {
  std::lock_guard<std::mutex> lock(core_->liveMutex);
  return core_->liveFrames.size();
}

size_t Core::LiveNodes() const {
  std::lock_guard<std::mutex> lock(core_->liveMutex);
  return core_->liveNodes.size();
}

const VSVideoFormat& Core::Format(const VSFrame* frame) {
  CheckFrame(frame, "Format");
  return frame->format;
}

int Core::PlaneWidth(const VSFrame* frame, int p) { return getFrameWidth(frame, p); }
int Core::PlaneHeight(const VSFrame* frame, int p) { return getFrameHeight(frame, p); }

std::vector<uint8_t> Core::PlaneBytes(const VSFrame* frame, int p) {
  CheckPlane(frame, p, "PlaneBytes");
  const PlaneBuffer& plane = *frame->planes[p];
  std::vector<uint8_t> bytes;
  for (int y = 0; y < plane.Height(); ++y) {
    const uint8_t* row = plane.Data() + y * plane.Stride();
    bytes.insert(bytes.end(), row, row + plane.RowBytes());
  }
  return bytes;
}

std::map<std::string, int64_t> Core::Properties(const VSFrame* frame) {
  CheckFrame(frame, "Properties");
  return frame->properties;
}

}  // namespace velmoraine::vshost
