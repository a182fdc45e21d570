// A stand-in for the VapourSynth API 4 host, for tests: it loads a plug-in
// library, invokes its functions and pulls frames through them, serving just
// the parts of the interface a filter plug-in uses.
//
// It is strict on purpose. Where the real host aborts, it aborts (with a
// message on standard error); where the real host is lenient, it is stricter:
//   - strides are padded to the alignment (32 or 64 bytes) with at least 8
//     guard bytes after every row, plus guard areas before the first and after
//     the last row; every plane is a separate allocation; the guards are
//     checked whenever a frame is handed back and when a plane is released;
//   - a published frame's planes are checksummed and checked when released,
//     so a write through a read pointer is caught;
//   - every frame and node handle is checked to be alive on every use, so a
//     double release or a use after release aborts; the core aborts at
//     teardown if any frame or node is still referenced;
//   - the SSE control register is checked after every call into the plug-in
//     (entry, create, getFrame, free);
//   - `free` runs on a thread of its own; frame requests serialise only calls
//     for the same frame number of a node, as the parallel mode promises,
//     so tests can request frames from several threads at once;
//   - a filter's requests are checked against its declared dependencies and
//     their request pattern.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "interface/vapoursynth_interface.h"

namespace velmoraine::vshost {

struct Options {
  int apiVersion = kVapourSynthApi40;  // what the host reports and accepts
  int strideAlignment = 32;            // 32 or 64
};

// One argument of Invoke: integers or clips (borrowed: the caller keeps its
// references).
struct Argument {
  std::vector<int64_t> ints;
  std::vector<VSNode*> nodes;
};
using Arguments = std::vector<std::pair<std::string, Argument>>;

inline Argument Int(int64_t value) { return Argument{{value}, {}}; }
inline Argument Ints(std::vector<int64_t> values) { return Argument{std::move(values), {}}; }
inline Argument Clip(VSNode* node) { return Argument{{}, {node}}; }

struct RegisteredFunction {
  std::string name;
  std::string arguments;
  std::string returnType;
};

struct PluginRecord {
  std::string identifier;
  std::string pluginNamespace;
  std::string name;
  int pluginVersion = 0;
  int apiVersion = 0;
  int flags = 0;
  std::vector<RegisteredFunction> functions;
};

// What the last createVideoFilter call received.
struct FilterRecord {
  std::string name;
  int mode = -1;
  std::vector<VSFilterDependency> dependencies;
};

// Sample x, y of plane p of source frame n: a byte of 8-bit formats, a
// 16-bit word (in the machine's byte order) of 9- to 16-bit ones.
using SampleFunction = std::function<uint16_t(int n, int p, int x, int y)>;

struct InvokeResult {
  VSNode* node = nullptr;  // a reference for the caller, or null with `error`
  std::string error;
};

class Core {
 public:
  explicit Core(Options options = {});
  // Aborts when a frame or node is still referenced; unloads the plug-ins.
  ~Core();
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  // Loads a library and runs its VapourSynthPluginInit2. Returns "" or the
  // error the host would raise.
  std::string LoadPlugin(const std::string& path);
  const PluginRecord* FindPlugin(const std::string& pluginNamespace) const;

  // A source clip; frame `failingFrame` (if >= 0) fails with an error. Frames
  // carry the properties _SourceFrame = n, _DurationNum, _DurationDen.
  VSNode* CreateSource(const VSVideoInfo& vi, SampleFunction sample, int failingFrame = -1);

  // namespace.function(arguments), checked against the declared arguments
  // as the host does before the plug-in sees them.
  InvokeResult Invoke(const std::string& pluginNamespace, const std::string& function,
                      const Arguments& arguments);

  // Frame n of `node`, produced on the calling thread: a reference for the
  // caller, or null with `error` set.
  const VSFrame* GetFrame(VSNode* node, int n, std::string* error);

  void FreeNode(VSNode* node);
  void FreeFrame(const VSFrame* frame);

  // The next createVideoFilter call answers as for an invalid video info.
  void RefuseNextFilter();
  FilterRecord LastFilter() const;

  // Live handles, for tests that look before teardown.
  size_t LiveFrames() const;
  size_t LiveNodes() const;

  VSCore* Handle() { return core_; }

  // Reading frames.
  static const VSVideoFormat& Format(const VSFrame* frame);
  static int PlaneWidth(const VSFrame* frame, int p);
  static int PlaneHeight(const VSFrame* frame, int p);
  static std::vector<uint8_t> PlaneBytes(const VSFrame* frame, int p);  // rows packed
  static std::map<std::string, int64_t> Properties(const VSFrame* frame);

 private:
  VSCore* core_;
};

// Formats by their parts; bytesPerSample and numPlanes follow.
VSVideoFormat MakeFormat(int colorFamily, int sampleType, int bits, int ssW, int ssH);
VSVideoInfo MakeVideoInfo(const VSVideoFormat& format, int width, int height, int numFrames);

}  // namespace velmoraine::vshost
