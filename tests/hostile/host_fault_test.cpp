// Faults inside the host: allocation failures, throwing clips, a throwing
// MakeWritable.
//
// This program replaces the global allocation operators (every form: single
// and array, throwing and nothrow, aligned) with a counting allocator that can
// be told to fail exactly the Nth allocation from now. Each test sweeps N
// from 0 upwards until a run meets no failure, so every allocation on the
// path is made to fail once. Under a failure:
//   - the plane filter answers false and leaves the plane untouched (or, if
//     it could do without the allocation, answers true with the full result);
//   - through the plug-in, the frame request ends in an error (the plug-in's
//     script error when its plane filter gave up), no partly filtered frame
//     is returned, the source frame is untouched and every frame handle is
//     released; LeakSanitizer (in the sanitizer build) sees no leak.
// The loaded plug-in library resolves its allocation operators to these,
// which the test checks by seeing the plug-in's own error come out.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "core/plane_filter.h"
#include "tests/oracle/oracle.h"
#include "tests/hosts/avisynth25/frame_server.h"

#include "core/cpu.h"
#include "core/stream_dsp.h"

// --- The counting allocator ------------------------------------------------------

namespace {

// Allocations still to pass before the one that fails; negative: none fails.
std::atomic<long> allocationsBeforeFailure{-1};
std::atomic<long> injectedFailures{0};

bool FailThisOne() {
  if (allocationsBeforeFailure.load(std::memory_order_relaxed) < 0) return false;
  if (allocationsBeforeFailure.fetch_sub(1) != 0) return false;
  ++injectedFailures;
  return true;
}

void* Allocate(size_t size, size_t alignment) {
  if (FailThisOne()) return nullptr;
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
  void* p = nullptr;
  return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
}

void* AllocateOrThrow(size_t size, size_t alignment) {
  void* p = Allocate(size, alignment);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(size_t n) { return AllocateOrThrow(n, 0); }
void* operator new[](size_t n) { return AllocateOrThrow(n, 0); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return Allocate(n, 0); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return Allocate(n, 0); }
void* operator new(size_t n, std::align_val_t a) { return AllocateOrThrow(n, static_cast<size_t>(a)); }
void* operator new[](size_t n, std::align_val_t a) { return AllocateOrThrow(n, static_cast<size_t>(a)); }
void* operator new(size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Allocate(n, static_cast<size_t>(a));
}
void* operator new[](size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Allocate(n, static_cast<size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using namespace velmoraine::host;

// Fails the Nth allocation made while it is alive (N from 0), then none.
class FailNth {
 public:
  explicit FailNth(long n) : before_(injectedFailures.load()) { allocationsBeforeFailure = n; }
  ~FailNth() { allocationsBeforeFailure = -1; }
  bool Failed() const { return injectedFailures.load() != before_; }

 private:
  long before_;
};

constexpr long kMaxSweep = 100000;  // far more allocations than any path makes

// --- The plane filter ------------------------------------------------------------

struct GuardedPlane {
  static constexpr ptrdiff_t kGuard = 48;
  std::vector<uint8_t> bytes;
  velmoraine::PlaneView view;
  GuardedPlane(int32_t W, int32_t H, ptrdiff_t pitch, uint32_t seed)
      : bytes(static_cast<size_t>(2 * kGuard + pitch * H)) {
    for (uint8_t& b : bytes) b = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
    view = {bytes.data() + kGuard, pitch, W, H};
  }
};

// Sweeps the allocation failures through one plane pass.
void SweepPlanePass(const char* name, const std::function<bool(const velmoraine::PlaneView&)>& pass) {
  SCOPED_TRACE(name);
  for (const auto& [W, H, pitch] : {std::tuple{37, 29, 40}, std::tuple{8, 8, 8}, std::tuple{300, 17, 333}}) {
    SCOPED_TRACE(testing::Message() << W << "x" << H);
    const GuardedPlane original(W, H, pitch, static_cast<uint32_t>(W * 7 + H));
    GuardedPlane expected = original;
    expected.view.data = expected.bytes.data() + GuardedPlane::kGuard;
    ASSERT_TRUE(velmoraine::FilterPlaneReference(expected.view, 30, 1, 0, 100));
    long failures = 0;
    for (long n = 0; n < kMaxSweep; ++n) {
      GuardedPlane plane = original;
      plane.view.data = plane.bytes.data() + GuardedPlane::kGuard;
      bool ok, failed;
      {
        FailNth fault(n);
        ok = pass(plane.view);
        failed = fault.Failed();
      }
      if (!failed) {
        EXPECT_TRUE(ok);
        EXPECT_EQ(plane.bytes, expected.bytes);
        break;
      }
      ++failures;
      if (ok) {
        EXPECT_EQ(plane.bytes, expected.bytes) << "allocation " << n << " failed, yet a different result";
      } else {
        EXPECT_EQ(plane.bytes, original.bytes) << "allocation " << n << " failed and the plane changed";
      }
    }
    EXPECT_GT(failures, 0) << "no allocation was seen";
  }
}

TEST(AllocationFailure, ThePlaneFilterReportsItWithThePlaneUntouched) {
  SweepPlanePass("FilterPlane", [](const velmoraine::PlaneView& v) { return velmoraine::FilterPlane(v, 30, 1, 0, 100); });
  SweepPlanePass("FilterPlaneReference",
                 [](const velmoraine::PlaneView& v) { return velmoraine::FilterPlaneReference(v, 30, 1, 0, 100); });
  for (uint32_t mask = 0; mask <= velmoraine::kCpuAllFlags; ++mask) {
    if ((mask & ~velmoraine::kCpuAllFlags) != 0) continue;
    // A fresh filter each pass: a filter carried over would hand its spare
    // work block on, and the pass would allocate nothing.
    SweepPlanePass(("kernels for mask " + std::to_string(mask)).c_str(), [mask](const velmoraine::PlaneView& v) {
      velmoraine::PreparedFilter prepared;
      velmoraine::PrepareFilter(30, 1, 0, 100, mask, prepared);
      return velmoraine::FilterPlane(v, prepared);
    });
  }
}

// --- Through the host and the plug-in --------------------------------------------

PVideoFrame NoiseFrame(ScriptEnvironment& env, const VideoInfo& vi, uint32_t seed) {
  PVideoFrame f = env.NewVideoFrame(vi);
  for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
    std::vector<uint8_t> bytes(static_cast<size_t>(StoredWidth(f, plane)) * StoredHeight(f, plane));
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(96 + ((seed = seed * 1664525u + 1013904223u) >> 27));
    if (!bytes.empty()) WritePlane(f, plane, bytes.data(), StoredWidth(f, plane));
  }
  return f;
}

std::vector<std::vector<uint8_t>> Planes(const PVideoFrame& f) {
  return {PlaneBytes(f, PLANAR_Y), PlaneBytes(f, PLANAR_U), PlaneBytes(f, PLANAR_V)};
}

class HostFaults : public testing::Test {
 protected:
  void SetUp() override { env.LoadPlugin(VELMORAINE_PLUGIN_PATH); }
  ScriptEnvironment env;
};

TEST_F(HostFaults, AllocationFailuresDuringAFrameRequestEndInAnErrorAndReleaseEverything) {
  for (int type : {CS_YV12, CS_MONO8}) {
    SCOPED_TRACE(type);
    const VideoInfo vi = MakeVideoInfo(45, 33, type, 1);
    MemoryClip* memory = new MemoryClip(vi);
    PClip source = memory;
    memory->SetFrame(0, NoiseFrame(env, vi, 9));
    PClip filter = env.Call("velmoraine", {source, 25}, {nullptr, "T"}).AsClip();
    const auto original = Planes(source->GetFrame(0, &env));
    const auto expected = Planes(filter->GetFrame(0, &env));
    ASSERT_NE(expected, original);
    const size_t liveFrames = env.LiveFrames();

    int pluginErrors = 0, hostErrors = 0;
    for (long n = 0; n < kMaxSweep; ++n) {
      // A fresh instance each time, made before the failures start: one that
      // has filtered a frame keeps its work buffers and allocates none.
      PClip fresh = env.Call("velmoraine", {source, 25}, {nullptr, "T"}).AsClip();
      PVideoFrame out;
      std::string error;
      bool failed;
      {
        FailNth fault(n);
        try {
          out = fresh->GetFrame(0, &env);
        } catch (const AvisynthError& e) {
          error = e.msg;
        } catch (const std::bad_alloc&) {
          error = "bad_alloc";
        }
        failed = fault.Failed();
      }
      if (!failed) {
        ASSERT_TRUE(error.empty()) << error;
        EXPECT_EQ(Planes(out), expected);
        break;
      }
      if (out) {
        // The failed allocation was not needed: the frame must be whole.
        EXPECT_EQ(Planes(out), expected) << "a partly filtered frame for failure " << n;
      } else if (error.find("could not be filtered") != std::string::npos) {
        ++pluginErrors;
        EXPECT_EQ(error.rfind("velmoraine: frame 0: the ", 0), 0u) << error;
      } else {
        ++hostErrors;
      }
      out = PVideoFrame();
      EXPECT_EQ(Planes(source->GetFrame(0, &env)), original) << "the source frame changed";
      EXPECT_EQ(env.LiveFrames(), liveFrames) << "a frame handle leaked after failure " << n;
    }
    // The plane filter's own allocations were reached and refused, which
    // also shows that the loaded library allocates through this program.
    std::printf("failures injected: %d ended in the plug-in's error, %d in the host's\n", pluginErrors, hostErrors);
    EXPECT_GT(pluginErrors, 0);
    EXPECT_GT(pluginErrors + hostErrors, 1);
  }
}

TEST_F(HostFaults, AllocationFailuresWhileBuildingTheFilterLeaveNoHalfBuiltClip) {
  const VideoInfo vi = MakeVideoInfo(32, 32, CS_YV12, 1);
  PClip source = new MemoryClip(vi);
  long failures = 0;
  for (long n = 0; n < kMaxSweep; ++n) {
    AVSValue result;
    bool failed;
    {
      FailNth fault(n);
      try {
        result = env.Call("velmoraine", {source, 10, 2}, {nullptr, "T", "P"});
      } catch (const AvisynthError&) {
      } catch (const std::bad_alloc&) {
      }
      failed = fault.Failed();
    }
    if (!failed) {
      ASSERT_TRUE(result.IsClip());
      break;
    }
    ++failures;
    if (result.IsClip()) {
      EXPECT_EQ(result.AsClip()->GetVideoInfo().width, 32);
    }
  }
  EXPECT_GT(failures, 0);
  // Every filter built or half-built let go of its reference to the source.
  EXPECT_EQ(source->RefCount(), 1);
}

// --- Throwing clips and MakeWritable ---------------------------------------------

// A child clip that fails in a chosen way.
class FaultyClip : public MemoryClip {
 public:
  enum class Mode { kNone, kScriptError, kStdException, kNullFrame };
  using MemoryClip::MemoryClip;
  Mode mode = Mode::kNone;
  PVideoFrame VELMORAINE_STDCALL GetFrame(int n, IScriptEnvironment* env) override {
    if (mode == Mode::kScriptError) env->ThrowError("FaultyClip: no frame %d", n);
    if (mode == Mode::kStdException) throw std::runtime_error("FaultyClip: decoder failed");
    if (mode == Mode::kNullFrame) return PVideoFrame();
    return MemoryClip::GetFrame(n, env);
  }
};

TEST_F(HostFaults, ThrowingChildrenAndMakeWritableLeakNothingOverManyRequests) {
  const VideoInfo vi = MakeVideoInfo(48, 40, CS_YV12, 2);
  FaultyClip* faulty = new FaultyClip(vi);
  PClip source = faulty;
  faulty->SetFrame(0, NoiseFrame(env, vi, 3));
  faulty->SetFrame(1, NoiseFrame(env, vi, 4));
  PClip filter = env.Call("velmoraine", {source, 15}, {nullptr, "T"}).AsClip();
  const auto expected = Planes(filter->GetFrame(1, &env));
  const auto original = Planes(source->GetFrame(1, &env));
  const size_t liveFrames = env.LiveFrames(), liveBuffers = env.LiveBuffers();

  for (int round = 0; round < 25; ++round) {
    faulty->mode = FaultyClip::Mode::kScriptError;
    try {
      filter->GetFrame(round % 2, &env);
      ADD_FAILURE() << "no error";
    } catch (const AvisynthError& e) {
      EXPECT_EQ(std::string(e.msg), "FaultyClip: no frame " + std::to_string(round % 2));
    }
    faulty->mode = FaultyClip::Mode::kStdException;
    EXPECT_THROW(filter->GetFrame(1, &env), std::runtime_error);  // passes through unchanged
    faulty->mode = FaultyClip::Mode::kNullFrame;
    try {
      filter->GetFrame(1, &env);
      ADD_FAILURE() << "no error";
    } catch (const AvisynthError& e) {
      EXPECT_NE(std::string(e.msg).find("no frame 1"), std::string::npos) << e.msg;
    }
    faulty->mode = FaultyClip::Mode::kNone;
    for (auto fault : {ScriptEnvironment::MakeWritableFault::kThrow, ScriptEnvironment::MakeWritableFault::kLeaveShared}) {
      env.SetMakeWritableFault(fault);
      EXPECT_THROW(filter->GetFrame(1, &env), AvisynthError);
    }
    env.SetMakeWritableFault(ScriptEnvironment::MakeWritableFault::kNone);
    // Between the faults, requests still work and nothing accumulated.
    EXPECT_EQ(Planes(filter->GetFrame(1, &env)), expected);
    EXPECT_EQ(Planes(source->GetFrame(1, &env)), original);
    EXPECT_EQ(env.LiveFrames(), liveFrames);
    // A new frame lets the host reclaim the released ones.
    env.NewVideoFrame(vi);
    EXPECT_LE(env.LiveBuffers(), liveBuffers);
  }
}

}  // namespace
