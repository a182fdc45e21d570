// Frames through the real library: filtered output, guards, faults, threads.
#include <thread>

#include "tests/plugin/plugin_support.h"

namespace plugin_test {
namespace {

class PluginFrames : public PluginTest {
 protected:
  // velmoraine(source, T, P, lp, hp) as a clip.
  PClip Filter(const PClip& source, int T, int P = 1, int lp = 0, int hp = 100) {
    return env.Call("velmoraine", {source, T, P, lp, hp}).AsClip();
  }
};

TEST_F(PluginFrames, OutputIsEachPlaneFilteredInPlaceAndNothingElseIsTouched) {
  // Odd sizes: the chroma planes hold a column and a row beyond what the
  // interface exposes, which must pass through unchanged.
  for (int type : {CS_YV12, CS_I420, CS_MONO8}) {
    const VideoInfo vi = MakeVideoInfo(67, 45, type, 2);
    MemoryClip* memory = nullptr;
    PClip source = NoiseClip(env, vi, &memory);
    PVideoFrame original = source->GetFrame(1, &env);
    const std::vector<uint8_t> before = PlaneBytes(original, PLANAR_Y);

    PVideoFrame out = Filter(source, 12, 1, 0, 100)->GetFrame(1, &env);
    for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
      EXPECT_EQ(PlaneBytes(out, plane), Expected(original, plane, 12, 1, 0, 100))
          << "type " << type << " plane " << plane;
    }
    EXPECT_NE(PlaneBytes(out, PLANAR_Y), before);  // the noise was filtered
    EXPECT_TRUE(GuardsIntact(out));
    EXPECT_NE(out.Get(), original.Get());  // the shared source frame was copied first
    EXPECT_EQ(PlaneBytes(original, PLANAR_Y), before);
    EXPECT_TRUE(GuardsIntact(original));
  }
}

TEST_F(PluginFrames, AnUnsharedFrameIsFilteredAndReturnedAsTheSameFrame) {
  // A source that gives its frame away (count 1) needs no copy.
  class GivingClip : public MemoryClip {
   public:
    using MemoryClip::MemoryClip;
    PVideoFrame VELMORAINE_STDCALL GetFrame(int, IScriptEnvironment* env) override {
      PVideoFrame f = env->NewVideoFrame(GetVideoInfo());
      last = f.Get();
      return f;
    }
    VideoFrame* last = nullptr;
  };
  GivingClip* giving = new GivingClip(MakeVideoInfo(32, 24, CS_YV12));
  PClip source = giving;
  PVideoFrame out = Filter(source, 10)->GetFrame(0, &env);
  EXPECT_EQ(out.Get(), giving->last);
  EXPECT_EQ(out->refcount, 1);
}

TEST_F(PluginFrames, TheSameFrameTwiceGivesIdenticalOutput) {
  PClip source = NoiseClip(env, MakeVideoInfo(64, 48, CS_YV12, 3));
  PClip filter = Filter(source, 25, 2, 1, 60);
  PVideoFrame a = filter->GetFrame(2, &env);
  PVideoFrame b = filter->GetFrame(2, &env);
  EXPECT_NE(a.Get(), b.Get());
  for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
    EXPECT_EQ(PlaneBytes(a, plane), PlaneBytes(b, plane));
  }
}

TEST_F(PluginFrames, PlanesUnderOneBlockAreLeftUnchanged) {
  // 6x6 luma, 3x3 chroma: nothing fits an 8x8 block.
  PClip source = NoiseClip(env, MakeVideoInfo(6, 6, CS_YV12));
  PVideoFrame original = source->GetFrame(0, &env);
  PVideoFrame out = Filter(source, 200, 0)->GetFrame(0, &env);
  for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
    EXPECT_EQ(PlaneBytes(out, plane), PlaneBytes(original, plane));
  }
  EXPECT_TRUE(GuardsIntact(out));
}

TEST_F(PluginFrames, AThrowingMakeWritableReleasesTheFrame) {
  PClip source = NoiseClip(env, MakeVideoInfo(32, 32, CS_YV12));
  PClip filter = Filter(source, 10);
  PVideoFrame held = source->GetFrame(0, &env);
  const long count = held->refcount;
  env.SetMakeWritableFault(ScriptEnvironment::MakeWritableFault::kThrow);
  try {
    filter->GetFrame(0, &env);
    FAIL() << "no error";
  } catch (const AvisynthError& e) {
    EXPECT_STREQ(e.msg, "MakeWritable: the frame could not be made writable (injected fault)");
  }
  EXPECT_EQ(held->refcount, count);
  EXPECT_EQ(env.LiveFrames(), 1u);
}

TEST_F(PluginFrames, AFrameLeftSharedIsAScriptErrorNotACrash) {
  PClip source = NoiseClip(env, MakeVideoInfo(64, 48, CS_YV12));
  PClip filter = Filter(source, 10);
  PVideoFrame held = source->GetFrame(0, &env);
  const std::vector<uint8_t> before = PlaneBytes(held, PLANAR_U);
  env.SetMakeWritableFault(ScriptEnvironment::MakeWritableFault::kLeaveShared);
  try {
    filter->GetFrame(0, &env);
    FAIL() << "no error";
  } catch (const AvisynthError& e) {
    EXPECT_STREQ(e.msg, "velmoraine: frame 0: the host did not make the Y plane (64x48) writable");
  }
  EXPECT_EQ(PlaneBytes(held, PLANAR_U), before);  // no plane of the shared frame was touched
  EXPECT_EQ(held->refcount, 2);                   // ours and the clip's
  EXPECT_EQ(env.LiveFrames(), 1u);
}

TEST_F(PluginFrames, AThrowingChildPassesItsErrorThrough) {
  MemoryClip* memory = nullptr;
  PClip source = NoiseClip(env, MakeVideoInfo(32, 32, CS_YV12), &memory);
  PClip filter = Filter(source, 10);
  memory->SetGetFrameFault(true);
  try {
    filter->GetFrame(0, &env);
    FAIL() << "no error";
  } catch (const AvisynthError& e) {
    EXPECT_STREQ(e.msg, "MemoryClip: frame 0 could not be produced (injected fault)");
  }
  EXPECT_EQ(env.LiveFrames(), 1u);
}

TEST_F(PluginFrames, ConcurrentRequestsMatchSerialOnes) {
  const VideoInfo vi = MakeVideoInfo(80, 64, CS_YV12, 8);
  PClip filter = Filter(NoiseClip(env, vi), 20, 1, 0, 100);
  std::vector<std::vector<uint8_t>> serial;
  for (int n = 0; n < vi.num_frames; ++n) serial.push_back(PlaneBytes(filter->GetFrame(n, &env), PLANAR_Y));

  std::vector<std::vector<uint8_t>> parallel(static_cast<size_t>(vi.num_frames));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        for (int n = t; n < vi.num_frames; n += 4) {
          parallel[static_cast<size_t>(n)] = PlaneBytes(filter->GetFrame(n, &env), PLANAR_Y);
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(parallel, serial);
}

}  // namespace
}  // namespace plugin_test
