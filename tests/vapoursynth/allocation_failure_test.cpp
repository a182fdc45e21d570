// Allocation failures inside velmoraine.Denoise, through the VapourSynth
// stand-in.
//
// This program replaces the non-throwing allocation operators, which only the
// plug-in and the plane filter use (the stand-in allocates with the throwing
// ones), by a counter that can fail exactly the Nth allocation from now. The
// test sweeps N from 0 until a run meets no failure, so every allocation on
// the creation and frame paths fails once. Then:
//   - at creation, the script gets an error and nothing stays referenced;
//   - on a frame, the request ends in a frame error naming the plane, no
//     frame comes back, and nothing stays referenced;
// and the stand-in's teardown check and LeakSanitizer (in the sanitizer
// build) see nothing left over.
#include <atomic>
#include <cstdlib>
#include <new>

#include "tests/vapoursynth/vapoursynth_support.h"

namespace {

std::atomic<long> allocationsBeforeFailure{-1};  // negative: none fails
std::atomic<long> injectedFailures{0};

// Only the non-throwing forms may fail: the plug-in and the plane filter
// allocate with those alone, the stand-in never does.
void* Allocate(size_t size, size_t alignment, bool mayFail) {
  if (mayFail && allocationsBeforeFailure.load() >= 0 &&
      allocationsBeforeFailure.fetch_sub(1) == 0) {
    ++injectedFailures;
    return nullptr;
  }
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
  void* p = nullptr;
  return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
}

void* AllocateOrThrow(size_t size, size_t alignment) {
  void* p = Allocate(size, alignment, false);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(size_t n, const std::nothrow_t&) noexcept { return Allocate(n, 0, true); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return Allocate(n, 0, true); }
void* operator new(size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Allocate(n, static_cast<size_t>(a), true);
}
void* operator new[](size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Allocate(n, static_cast<size_t>(a), true);
}
void* operator new(size_t n) { return AllocateOrThrow(n, 0); }
void* operator new[](size_t n) { return AllocateOrThrow(n, 0); }
void* operator new(size_t n, std::align_val_t a) { return AllocateOrThrow(n, static_cast<size_t>(a)); }
void* operator new[](size_t n, std::align_val_t a) { return AllocateOrThrow(n, static_cast<size_t>(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }

namespace vapoursynth_test {
namespace {

// Fails the non-throwing allocation `after` allocations from now, once.
class FailingAllocation {
 public:
  explicit FailingAllocation(long after) {
    injectedFailures = 0;
    allocationsBeforeFailure = after;
  }
  ~FailingAllocation() { allocationsBeforeFailure = -1; }
  bool Happened() const { return injectedFailures.load() > 0; }
};

TEST(VapourSynthAllocationFailure, EveryFailureIsAnErrorAndLeavesNothingBehind) {
  Session session;
  VSNode* source = session.Source(MakeFormat(cfYUV, stInteger, 8, 1, 0), 58, 35);
  FilterSettings s;
  s.T = 24;
  const auto expected = session.Expected(source, 0, s);
  int creationFailures = 0, frameFailures = 0;
  for (long after = 0;; ++after) {
    ASSERT_LT(after, 1000) << "the sweep does not end";
    bool happened;
    {
      FailingAllocation failing(after);
      std::string error;
      InvokeResult created = session.core.Invoke("velmoraine", "Denoise", WithSettings(source, s));
      if (created.node == nullptr) {
        ASSERT_TRUE(failing.Happened()) << created.error;
        EXPECT_EQ(created.error, "velmoraine.Denoise: out of memory creating the filter");
        EXPECT_EQ(session.core.LiveNodes(), 1u);
        ++creationFailures;
        continue;
      }
      const VSFrame* frame = session.core.GetFrame(created.node, 0, &error);
      happened = failing.Happened();
      if (frame == nullptr) {
        ASSERT_TRUE(happened) << error;
        EXPECT_NE(error.find("velmoraine: frame 0: the "), std::string::npos) << error;
        EXPECT_NE(error.find("could not be filtered"), std::string::npos) << error;
        ++frameFailures;
      } else {
        // A failure the filter could do without leaves the full result.
        for (int p = 0; p < 3; ++p) EXPECT_EQ(Core::PlaneBytes(frame, p), expected[p]) << p;
        session.core.FreeFrame(frame);
      }
      session.core.FreeNode(created.node);
    }
    EXPECT_EQ(session.core.LiveFrames(), 0u);
    EXPECT_EQ(session.core.LiveNodes(), 1u);
    if (!happened) break;
  }
  EXPECT_EQ(creationFailures, 1);
  EXPECT_GE(frameFailures, 1);  // the work buffers, taken once for all planes
}

}  // namespace
}  // namespace vapoursynth_test
