// The environment: plug-in loading, the function registry, Invoke, error
// messages and string storage, frames with copy-on-write.
#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "tests/hosts/avisynth25/frame_buffer.h"
#include "tests/hosts/avisynth25/frame_server.h"
#include "tests/hosts/avisynth25/invoke_internal.h"

namespace velmoraine::host {

namespace {

std::string FormatV(const char* fmt, va_list args) {
  if (fmt == nullptr) return std::string();
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string(fmt);
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), fmt, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

size_t AlignUp(size_t value, size_t align) { return (value + align - 1) / align * align; }

}  // namespace

ScriptEnvironment::ScriptEnvironment() = default;

ScriptEnvironment::~ScriptEnvironment() {
  vars_.clear();  // may hold clips, which may hold frames
}

// --- Strings and errors ------------------------------------------------------

char* ScriptEnvironment::SaveString(const char* s, int length) {
  if (s == nullptr) s = "";
  const size_t n = length < 0 ? std::strlen(s) : static_cast<size_t>(length);
  auto copy = std::make_unique<char[]>(n + 1);
  std::memcpy(copy.get(), s, n);
  copy[n] = '\0';
  std::lock_guard<std::mutex> lock(mutex_);
  strings_.push_back(std::move(copy));
  return strings_.back().get();
}

char* ScriptEnvironment::VSprintf(const char* fmt, va_list val) {
  const std::string text = FormatV(fmt, val);
  return SaveString(text.c_str(), static_cast<int>(text.size()));
}

char* ScriptEnvironment::Sprintf(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = FormatV(fmt, args);
  va_end(args);
  return SaveString(text.c_str(), static_cast<int>(text.size()));
}

void ScriptEnvironment::ThrowError(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = FormatV(fmt, args);
  va_end(args);
  Fail(text);
}

void ScriptEnvironment::Fail(const std::string& message) {
  throw AvisynthError(SaveString(message.c_str(), static_cast<int>(message.size())));
}

int ScriptEnvironment::GetCPUFlags() { return 0; }

// --- Plug-ins and functions ------------------------------------------------------

std::string ScriptEnvironment::LoadPlugin(const std::string& path) {
  dlerror();
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    Fail("cannot load plug-in '" + path + "': " + (why ? why : "unknown error"));
  }
  void* symbol = dlsym(library, "AvisynthPluginInit2");
  if (symbol == nullptr) {
    dlclose(library);
    Fail("'" + path + "' is not a plug-in for this interface: it has no AvisynthPluginInit2");
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    libraries_.push_back(library);  // stays loaded: its clips may outlive any scope here
  }
  PluginInit2Func init = reinterpret_cast<PluginInit2Func>(symbol);
  const char* text = init(this);
  return text ? std::string(text) : std::string();
}

void ScriptEnvironment::AddFunction(const char* name, const char* params, ApplyFunc apply,
                                    void* user_data) {
  if (name == nullptr || *name == '\0' || params == nullptr || apply == nullptr) {
    Fail("AddFunction: a function needs a name, a parameter string and a callback");
  }
  Registered entry;
  try {
    entry.specs = ParseParamString(params);
  } catch (const std::invalid_argument& e) {
    Fail(std::string("AddFunction: bad parameter string \"") + params + "\" for '" + name +
         "': " + e.what());
  }
  entry.function = Function{name, params, apply, user_data};
  std::lock_guard<std::mutex> lock(mutex_);
  functions_.push_back(std::move(entry));
}

std::vector<ScriptEnvironment::Function> ScriptEnvironment::Functions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Function> out;
  for (const Registered& r : functions_) out.push_back(r.function);
  return out;
}

bool ScriptEnvironment::FunctionExists(const char* name) {
  if (name == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Registered& r : functions_) {
    if (EqualNoCase(r.function.name, name)) return true;
  }
  return false;
}

AVSValue ScriptEnvironment::Invoke(const char* name, const AVSValue args, const char** arg_names) {
  if (name == nullptr) Fail("Invoke: no function name");
  Registered entry;
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The latest registration of a name wins.
    for (auto it = functions_.rbegin(); it != functions_.rend(); ++it) {
      if (EqualNoCase(it->function.name, name)) {
        entry = *it;
        found = true;
        break;
      }
    }
  }
  if (!found) Fail(std::string("there is no function named '") + name + "'");

  std::vector<AVSValue> given;
  if (args.IsArray()) {
    for (int i = 0; i < args.ArraySize(); ++i) given.push_back(args[i]);
  } else if (args.Defined()) {
    given.push_back(args);
  }
  std::vector<const char*> names(given.size(), nullptr);
  if (arg_names != nullptr) {
    for (size_t i = 0; i < given.size(); ++i) names[i] = arg_names[i];
  }

  MatchedArgs matched;
  try {
    matched = MatchArguments(entry.function.name, entry.specs, given, names);
  } catch (const std::invalid_argument& e) {
    Fail(e.what());
  }
  for (size_t k = 0; k < entry.specs.size(); ++k) {
    if (entry.specs[k].repeat) {
      const std::vector<AVSValue>& group = matched.groups[k];
      if (group.size() > static_cast<size_t>(std::numeric_limits<short>::max())) {
        Fail(entry.function.name + ": too many values for one argument");
      }
      matched.values[k] = AVSValue(group.data(), static_cast<int>(group.size()));
    }
  }
  const AVSValue callArgs(matched.values.data(), static_cast<int>(matched.values.size()));
  return entry.function.apply(callArgs, entry.function.userData, this);
}

AVSValue ScriptEnvironment::Call(const char* name, const std::vector<AVSValue>& args,
                                 const std::vector<const char*>& names) {
  if (names.size() > args.size()) Fail("Call: more names than arguments");
  std::vector<const char*> all(args.size(), nullptr);
  std::copy(names.begin(), names.end(), all.begin());
  if (args.size() > static_cast<size_t>(std::numeric_limits<short>::max())) {
    Fail("Call: too many arguments");
  }
  return Invoke(name, AVSValue(args.data(), static_cast<int>(args.size())), all.data());
}

// --- Variables ---------------------------------------------------------------------

AVSValue ScriptEnvironment::GetVar(const char* name) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = vars_.find(name ? name : "");
    if (it != vars_.end()) return it->second;
  }
  Fail(std::string("there is no variable named '") + (name ? name : "") + "'");
}

bool ScriptEnvironment::SetVar(const char* name, const AVSValue& val) {
  if (name == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  vars_[name] = val;
  return true;
}

bool ScriptEnvironment::SetGlobalVar(const char* name, const AVSValue& val) {
  return SetVar(name, val);
}

void ScriptEnvironment::PushContext(int) {}
void ScriptEnvironment::PopContext() {}

// --- Frames ------------------------------------------------------------------------

PVideoFrame ScriptEnvironment::NewVideoFrame(const VideoInfo& vi, int align) {
  return AllocateFrame(vi, align, true);
}

PVideoFrame ScriptEnvironment::AllocateFrame(const VideoInfo& vi, int align, bool clear) {
  const int w = vi.width;
  const int h = vi.height;
  if (w <= 0 || h <= 0) {
    Fail("NewVideoFrame: invalid frame size " + std::to_string(w) + "x" + std::to_string(h));
  }
  // Stored plane sizes: luma row in bytes, chroma rounded up for 4:2:0.
  int row = 0;
  bool chroma = false;
  switch (vi.pixel_type) {
    case CS_YV12:
    case CS_I420: row = w; chroma = true; break;
    case CS_MONO8: row = w; break;
    case CS_YUY2: row = 2 * std::min(w, 1 << 28); break;
    case CS_BGR24: row = 3 * std::min(w, 1 << 28); break;
    case CS_BGR32: row = 4 * std::min(w, 1 << 28); break;
    default: Fail("NewVideoFrame: unsupported pixel type " + std::to_string(vi.pixel_type));
  }
  size_t pitch_align = kPitchAlign;
  if (align > kPitchAlign && (align & (align - 1)) == 0) pitch_align = static_cast<size_t>(align);

  auto buffer = std::make_unique<HostBuffer>();
  buffer->vi = vi;
  const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int>::max()) - 4096;
  uint64_t total = 0;
  auto place = [&](PlaneLayout& p, uint64_t width, uint64_t height) {
    const uint64_t pitch = AlignUp(width + kMinRowGuard, pitch_align);
    if (width > limit || height > limit || pitch * height > limit - total) {
      Fail("NewVideoFrame: a frame of " + std::to_string(w) + "x" + std::to_string(h) +
           " is too large");
    }
    p.offset = static_cast<size_t>(total);
    p.width = static_cast<int>(width);
    p.height = static_cast<int>(height);
    p.pitch = static_cast<int>(pitch);
    total += pitch * height;
  };
  place(buffer->planes[0], static_cast<uint64_t>(row), static_cast<uint64_t>(h));
  if (chroma) {
    place(buffer->planes[1], (static_cast<uint64_t>(w) + 1) / 2, (static_cast<uint64_t>(h) + 1) / 2);
    place(buffer->planes[2], (static_cast<uint64_t>(w) + 1) / 2, (static_cast<uint64_t>(h) + 1) / 2);
  }
  buffer->planesEnd = static_cast<size_t>(total);
  const size_t size = static_cast<size_t>(total) + kTailGuard;
  buffer->block.reset(new (std::nothrow) uint8_t[size + pitch_align]);
  if (!buffer->block) Fail("NewVideoFrame: out of memory for a frame of " + std::to_string(size) + " bytes");
  const uintptr_t base = reinterpret_cast<uintptr_t>(buffer->block.get());
  buffer->data = buffer->block.get() + (AlignUp(base, pitch_align) - base);
  buffer->data_size = static_cast<int>(total);
  buffer->sequence_number = 0;
  buffer->refcount = 1;  // held by the frame below

  // Planes start at zero (a copy overwrites them instead); the bytes after
  // each row and after the last plane carry the guard pattern.
  for (const PlaneLayout& p : buffer->planes) {
    for (int y = 0; y < p.height; ++y) {
      const size_t row = p.offset + static_cast<size_t>(y) * static_cast<size_t>(p.pitch);
      if (clear) std::memset(buffer->data + row, 0, static_cast<size_t>(p.width));
      for (size_t x = row + static_cast<size_t>(p.width); x < row + static_cast<size_t>(p.pitch); ++x) {
        buffer->data[x] = GuardByte(x);
      }
    }
  }
  for (size_t x = buffer->planesEnd; x < size; ++x) buffer->data[x] = GuardByte(x);

  auto frame = std::make_unique<VideoFrame>();
  frame->refcount = 0;
  frame->vfb = buffer.get();
  frame->offset = static_cast<int>(buffer->planes[0].offset);
  frame->pitch = buffer->planes[0].pitch;
  frame->row_size = row;
  frame->height = h;
  if (chroma) {
    // I420 keeps U before V in memory, YV12 V before U.
    const bool yv12 = vi.pixel_type == CS_YV12;
    frame->offsetU = static_cast<int>(buffer->planes[yv12 ? 2 : 1].offset);
    frame->offsetV = static_cast<int>(buffer->planes[yv12 ? 1 : 2].offset);
    frame->pitchUV = buffer->planes[1].pitch;
    if (yv12) std::swap(buffer->planes[1], buffer->planes[2]);
  } else {
    frame->offsetU = frame->offset;
    frame->offsetV = frame->offset;
    frame->pitchUV = 0;
  }

  std::lock_guard<std::mutex> lock(mutex_);
  ReclaimLocked();
  // Take the reference while the lock is held, so no reclaim sees count 0.
  PVideoFrame handle(frame.get());
  buffers_.push_back(std::move(buffer));
  frames_.push_back(std::move(frame));
  return handle;
}

void ScriptEnvironment::ReclaimLocked() {
  // A frame at count zero is ours again: nobody holds it and only we could
  // take a new reference. Its release has read the buffer pointer already.
  frames_.erase(std::remove_if(frames_.begin(), frames_.end(),
                               [](const std::unique_ptr<VideoFrame>& f) {
                                 return vm_atomic::Load(&f->refcount) == 0;
                               }),
                frames_.end());
  buffers_.erase(std::remove_if(buffers_.begin(), buffers_.end(),
                                [](const std::unique_ptr<HostBuffer>& b) {
                                  return vm_atomic::Load(&b->refcount) == 0;
                                }),
                 buffers_.end());
}

bool ScriptEnvironment::MakeWritable(PVideoFrame* pvf) {
  switch (makeWritableFault_.load()) {
    case MakeWritableFault::kThrow: Fail("MakeWritable: the frame could not be made writable (injected fault)");
    case MakeWritableFault::kLeaveShared: return false;
    case MakeWritableFault::kNone: break;
  }
  if (pvf == nullptr || !*pvf) return false;
  if ((*pvf)->IsWritable()) return false;
  const HostBuffer& source = BufferOf(*pvf);
  PVideoFrame copy = AllocateFrame(source.vi, kPitchAlign, false);
  const HostBuffer& target = BufferOf(copy);
  for (int i = 0; i < 3; ++i) {
    const PlaneLayout& from = source.planes[i];
    const PlaneLayout& to = target.planes[i];
    for (int y = 0; y < from.height; ++y) {
      std::memcpy(target.data + to.offset + static_cast<size_t>(y) * static_cast<size_t>(to.pitch),
                  source.data + from.offset + static_cast<size_t>(y) * static_cast<size_t>(from.pitch),
                  static_cast<size_t>(from.width));
    }
  }
  *pvf = copy;
  return true;
}

size_t ScriptEnvironment::LiveFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(std::count_if(frames_.begin(), frames_.end(), [](const auto& f) {
    return vm_atomic::Load(&f->refcount) > 0;
  }));
}

size_t ScriptEnvironment::LiveBuffers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(std::count_if(buffers_.begin(), buffers_.end(), [](const auto& b) {
    return vm_atomic::Load(&b->refcount) > 0;
  }));
}

}  // namespace velmoraine::host
