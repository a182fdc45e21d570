// The stand-in frame server: a small but real host for 2.5-interface plug-ins.
//
// It implements the classes of interface/avisynth_interface.h so that the very same
// plug-in library a real host loads runs here: the tests of the 2.5 entry
// drive the plug-in through it exactly as a host would.
//
// Using it
//
//   #include "tests/hosts/avisynth25/frame_server.h"
//   using namespace velmoraine::host;
//
//   ScriptEnvironment env;
//   env.LoadPlugin("build/plugin/libvelmoraine.so");     // dlopen + entry point
//
//   VideoInfo vi = MakeVideoInfo(720, 576, CS_YV12, 100);  // or CS_MONO8
//   PClip source = new MemoryClip(vi);
//   AVSValue clip = env.Call("velmoraine", {source, 10}, {nullptr, "T"});
//   PVideoFrame f = clip.AsClip()->GetFrame(0, &env);
//
//   PVideoFrame frame = env.NewVideoFrame(vi);   // fresh, writable, count 1
//   WritePlane(frame, PLANAR_Y, src, src_pitch); // StoredWidth x StoredHeight bytes
//   ReadPlane(f, PLANAR_U, dst, dst_pitch);
//
// Errors. Everything the host refuses (a missing library or entry point, an
// unknown function, bad arguments, an impossible frame size) and every
// plug-in error arrives as an AvisynthError thrown by ThrowError; its `msg`
// is owned by the environment and stays valid while the environment lives.
// Catch it as `const AvisynthError&` and show `e.msg`.
//
// Frames. Planes are stored with a pitch larger than their rows: each row is
// followed by guard bytes up to the pitch (aligned to 64 bytes), and the
// buffer ends with a 64-byte guard. GuardsIntact() tells whether anything
// wrote outside the planes. Planar 4:2:0 frames store chroma planes of
// (W+1)/2 x (H+1)/2 (what a Y4M file holds), while the interface's accessors
// expose W/2 x H/2 of them; StoredWidth/StoredHeight give the stored sizes
// and WritePlane/ReadPlane copy them whole. CS_MONO8 frames have no chroma
// (pitchUV 0): the plug-in sees empty U and V planes.
//
// Ownership. A frame returned by NewVideoFrame, GetFrame or MakeWritable is
// held by its PVideoFrame handles; when the last handle goes, the host
// reclaims the memory (frames are never freed by the plug-in). Release every
// PClip, AVSValue and PVideoFrame before the environment is destroyed.
// Loaded libraries stay loaded for the life of the process.
//
// Threads. Several threads may run GetFrame on filters concurrently (frames
// differ); NewVideoFrame, MakeWritable, ThrowError, Sprintf, VSprintf and
// SaveString are safe to call from them. LoadPlugin, AddFunction and Invoke
// are safe as well, but are meant for set-up.
//
// Test hooks: SetMakeWritableFault() makes MakeWritable throw (or return
// without making the frame writable); MemoryClip::SetGetFrameFault() makes a
// clip's GetFrame throw.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "interface/avisynth_interface.h"

namespace velmoraine::host {

// --- Parameter strings ------------------------------------------------------

// One parameter of a script function, parsed from its parameter string:
// "c[T]i[P]i" is a required clip and two optional named ints. Types are
// c (clip), i (int), f (float; an int is promoted), b (bool), s (string) and
// . (anything); a trailing * takes zero or more values, + one or more.
// "[name]" makes a parameter optional and passable by name; "[]" makes it
// optional without a name.
struct ParamSpec {
  std::string name;   // empty when unnamed
  char type = '.';
  char repeat = 0;    // 0, '*' or '+'
  bool optional = false;
};

// Parses a parameter string; throws std::invalid_argument naming the fault.
std::vector<ParamSpec> ParseParamString(const std::string& params);

// --- Frames -----------------------------------------------------------------

// A VideoInfo for a clip without audio.
VideoInfo MakeVideoInfo(int width, int height, int pixel_type, int num_frames = 1,
                        unsigned fps_numerator = 25, unsigned fps_denominator = 1);

// Stored size of a plane of one of this host's frames, in bytes and rows
// (chroma of 4:2:0 frames rounded up; 0 for planes the frame does not have).
int StoredWidth(const PVideoFrame& frame, int plane);
int StoredHeight(const PVideoFrame& frame, int plane);

// Copy a whole stored plane in or out; `pitch` is the other side's row step.
void WritePlane(const PVideoFrame& frame, int plane, const uint8_t* src, ptrdiff_t pitch);
void ReadPlane(const PVideoFrame& frame, int plane, uint8_t* dst, ptrdiff_t pitch);
// The stored plane as a tight copy (StoredWidth x StoredHeight).
std::vector<uint8_t> PlaneBytes(const PVideoFrame& frame, int plane);

// True when every guard byte of the frame's buffer still holds its pattern.
bool GuardsIntact(const PVideoFrame& frame);

// --- The environment --------------------------------------------------------

struct HostBuffer;  // this host's frame buffer (host/frame_buffer.h)

class ScriptEnvironment final : public IScriptEnvironment {
 public:
  ScriptEnvironment();
  ~ScriptEnvironment() override;
  ScriptEnvironment(const ScriptEnvironment&) = delete;
  ScriptEnvironment& operator=(const ScriptEnvironment&) = delete;

  // Loads a plug-in library and calls its AvisynthPluginInit2 with this
  // environment. Returns the text the entry point returned.
  std::string LoadPlugin(const std::string& path);

  // Invoke with C++ containers: names[i] is the name of args[i], or null for
  // a positional argument (names may be shorter than args).
  AVSValue Call(const char* name, const std::vector<AVSValue>& args,
                const std::vector<const char*>& names = {});

  // A registered script function.
  struct Function {
    std::string name;
    std::string params;
    ApplyFunc apply;
    void* userData;
  };
  std::vector<Function> Functions() const;

  // Fault injection for MakeWritable.
  enum class MakeWritableFault { kNone, kThrow, kLeaveShared };
  void SetMakeWritableFault(MakeWritableFault fault) { makeWritableFault_ = fault; }

  // Frames whose count is above zero, and buffers in existence.
  size_t LiveFrames() const;
  size_t LiveBuffers() const;

  // IScriptEnvironment.
  int VELMORAINE_STDCALL GetCPUFlags() override;
  char* VELMORAINE_STDCALL SaveString(const char* s, int length = -1) override;
  char* VELMORAINE_CDECL Sprintf(const char* fmt, ...) override;
  char* VELMORAINE_STDCALL VSprintf(const char* fmt, va_list val) override;
  void VELMORAINE_CDECL ThrowError(const char* fmt, ...) override;
  void VELMORAINE_STDCALL AddFunction(const char* name, const char* params, ApplyFunc apply,
                              void* user_data) override;
  bool VELMORAINE_STDCALL FunctionExists(const char* name) override;
  AVSValue VELMORAINE_STDCALL Invoke(const char* name, const AVSValue args,
                             const char** arg_names = nullptr) override;
  AVSValue VELMORAINE_STDCALL GetVar(const char* name) override;
  bool VELMORAINE_STDCALL SetVar(const char* name, const AVSValue& val) override;
  bool VELMORAINE_STDCALL SetGlobalVar(const char* name, const AVSValue& val) override;
  void VELMORAINE_STDCALL PushContext(int level = 0) override;
  void VELMORAINE_STDCALL PopContext() override;
  PVideoFrame VELMORAINE_STDCALL NewVideoFrame(const VideoInfo& vi, int align = FRAME_ALIGN) override;
  bool VELMORAINE_STDCALL MakeWritable(PVideoFrame* pvf) override;

 private:
  struct Registered {
    Function function;
    std::vector<ParamSpec> specs;
  };

  [[noreturn]] void Fail(const std::string& message);
  // A fresh frame; its planes are zeroed when `clear` is set.
  PVideoFrame AllocateFrame(const VideoInfo& vi, int align, bool clear);
  void ReclaimLocked();

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<char[]>> strings_;
  std::vector<Registered> functions_;
  std::map<std::string, AVSValue> vars_;
  std::vector<std::unique_ptr<VideoFrame>> frames_;
  std::vector<std::unique_ptr<HostBuffer>> buffers_;
  std::vector<void*> libraries_;
  std::atomic<MakeWritableFault> makeWritableFault_{MakeWritableFault::kNone};
};

// --- An in-memory clip ------------------------------------------------------

// Holds frames and returns them by number (clamped to the clip). Frames not
// set are black. Records what it was asked, for tests.
class MemoryClip : public IClip {
 public:
  explicit MemoryClip(const VideoInfo& vi);

  // Stores `frame` as frame n (n < num_frames).
  void SetFrame(int n, const PVideoFrame& frame);
  void SetParity(bool parity) { parity_ = parity; }
  // When set, GetFrame raises a script error through the environment.
  void SetGetFrameFault(bool fault) { getFrameFault_ = fault; }

  int GetFrameCalls() const { return getFrameCalls_; }
  struct AudioRequest {
    void* buf;
    int64_t start;
    int64_t count;
  };
  AudioRequest LastAudioRequest() const;

  PVideoFrame VELMORAINE_STDCALL GetFrame(int n, IScriptEnvironment* env) override;
  bool VELMORAINE_STDCALL GetParity(int n) override;
  void VELMORAINE_STDCALL GetAudio(void* buf, int64_t start, int64_t count,
                           IScriptEnvironment* env) override;
  void VELMORAINE_STDCALL SetCacheHints(int, int) override {}
  const VideoInfo& VELMORAINE_STDCALL GetVideoInfo() override { return vi_; }

 private:
  VideoInfo vi_;
  mutable std::mutex mutex_;
  std::vector<PVideoFrame> frames_;
  std::atomic<bool> parity_{false};
  std::atomic<bool> getFrameFault_{false};
  std::atomic<int> getFrameCalls_{0};
  AudioRequest lastAudio_{nullptr, 0, 0};
};

}  // namespace velmoraine::host
