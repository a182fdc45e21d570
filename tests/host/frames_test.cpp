// This host's frames: geometry and guards, reference counts, copy-on-write.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "tests/hosts/avisynth25/frame_server.h"

using namespace velmoraine::host;

TEST(Frames, Yv12GeometryHasAlignedPaddedPitchesAndRoundedUpStoredChroma) {
  ScriptEnvironment env;
  PVideoFrame f = env.NewVideoFrame(MakeVideoInfo(721, 577, CS_YV12));
  EXPECT_EQ(f->GetRowSize(PLANAR_Y), 721);
  EXPECT_EQ(f->GetHeight(PLANAR_Y), 577);
  EXPECT_EQ(f->GetRowSize(PLANAR_U), 360);
  EXPECT_EQ(f->GetHeight(PLANAR_V), 288);
  EXPECT_EQ(StoredWidth(f, PLANAR_U), 361);
  EXPECT_EQ(StoredHeight(f, PLANAR_V), 289);
  for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
    EXPECT_GT(f->GetPitch(plane), StoredWidth(f, plane));
    EXPECT_EQ(f->GetPitch(plane) % 64, 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(f->GetReadPtr(plane)) % 64, 0u);
  }
  EXPECT_NE(f->GetReadPtr(PLANAR_U), f->GetReadPtr(PLANAR_V));
  EXPECT_TRUE(GuardsIntact(f));
}

TEST(Frames, MonoFramesHaveNoChroma) {
  ScriptEnvironment env;
  PVideoFrame f = env.NewVideoFrame(MakeVideoInfo(33, 17, CS_MONO8));
  EXPECT_EQ(f->GetPitch(PLANAR_U), 0);
  EXPECT_EQ(f->GetRowSize(PLANAR_U), 0);
  EXPECT_EQ(f->GetHeight(PLANAR_V), 0);
  EXPECT_EQ(StoredWidth(f, PLANAR_U), 0);
  EXPECT_EQ(f->GetRowSize(PLANAR_Y), 33);
}

TEST(Frames, GuardsCatchWritesPastARowOrTheBuffer) {
  ScriptEnvironment env;
  const VideoInfo vi = MakeVideoInfo(64, 16, CS_YV12);
  PVideoFrame a = env.NewVideoFrame(vi);
  a->GetWritePtr(PLANAR_U)[StoredWidth(a, PLANAR_U)] ^= 1;  // first byte past a row
  EXPECT_FALSE(GuardsIntact(a));
  PVideoFrame b = env.NewVideoFrame(vi);
  const auto* buffer = b->GetFrameBuffer();
  buffer->data[buffer->data_size + 63] ^= 1;  // last byte of the tail guard
  EXPECT_FALSE(GuardsIntact(b));
  PVideoFrame c = env.NewVideoFrame(vi);
  std::vector<uint8_t> row(64, 200);
  for (int y = 0; y < 16; ++y) WritePlane(c, PLANAR_Y, row.data(), 0);
  EXPECT_TRUE(GuardsIntact(c));
}

TEST(Frames, PlanesRoundTripThroughWriteAndRead) {
  ScriptEnvironment env;
  PVideoFrame f = env.NewVideoFrame(MakeVideoInfo(9, 5, CS_I420));
  std::vector<uint8_t> u(5 * 3);
  for (size_t i = 0; i < u.size(); ++i) u[i] = static_cast<uint8_t>(i * 11);
  WritePlane(f, PLANAR_U, u.data(), 5);
  EXPECT_EQ(PlaneBytes(f, PLANAR_U), u);
  EXPECT_EQ(f->GetReadPtr(PLANAR_U)[f->GetPitch(PLANAR_U) + 1], u[6]);
  EXPECT_TRUE(GuardsIntact(f));
}

TEST(Frames, WritePointerOnlyForUnsharedFramesAndMakeWritableCopies) {
  ScriptEnvironment env;
  PVideoFrame original = env.NewVideoFrame(MakeVideoInfo(16, 16, CS_YV12));
  std::vector<uint8_t> y(256);
  for (size_t i = 0; i < y.size(); ++i) y[i] = static_cast<uint8_t>(i);
  WritePlane(original, PLANAR_Y, y.data(), 16);
  EXPECT_NE(original->GetWritePtr(PLANAR_Y), nullptr);
  EXPECT_FALSE(env.MakeWritable(&original));  // already writable: kept

  PVideoFrame shared = original;
  EXPECT_EQ(shared->GetWritePtr(PLANAR_Y), nullptr);
  EXPECT_TRUE(env.MakeWritable(&shared));
  ASSERT_NE(shared.Get(), original.Get());
  uint8_t* w = shared->GetWritePtr(PLANAR_Y);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(PlaneBytes(shared, PLANAR_Y), y);
  w[0] = 99;
  EXPECT_EQ(PlaneBytes(original, PLANAR_Y), y);  // the original is untouched
  EXPECT_EQ(original->refcount, 1);
  EXPECT_TRUE(GuardsIntact(shared));
}

TEST(Frames, ReleasedFramesAreReclaimed) {
  ScriptEnvironment env;
  {
    PVideoFrame a = env.NewVideoFrame(MakeVideoInfo(32, 32, CS_YV12));
    PVideoFrame b = a;
    EXPECT_EQ(a->refcount, 2);
    EXPECT_EQ(env.LiveFrames(), 1u);
    env.MakeWritable(&b);
    EXPECT_EQ(env.LiveFrames(), 2u);
    EXPECT_EQ(env.LiveBuffers(), 2u);
  }
  EXPECT_EQ(env.LiveFrames(), 0u);
  EXPECT_EQ(env.LiveBuffers(), 0u);
}

TEST(Frames, ImpossibleFramesAreScriptErrors) {
  ScriptEnvironment env;
  for (const VideoInfo& vi : {MakeVideoInfo(0, 16, CS_YV12), MakeVideoInfo(16, -1, CS_YV12),
                              MakeVideoInfo(70000, 70000, CS_YV12),
                              MakeVideoInfo(16, 16, 12345)}) {
    EXPECT_THROW(env.NewVideoFrame(vi), AvisynthError) << vi.width << "x" << vi.height;
  }
}

TEST(Frames, ConcurrentFramesCopiesAndErrorsStayConsistent) {
  ScriptEnvironment env;
  PVideoFrame shared = env.NewVideoFrame(MakeVideoInfo(64, 48, CS_YV12));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        PVideoFrame f = shared;
        env.MakeWritable(&f);
        f->GetWritePtr(PLANAR_Y)[0] = static_cast<uint8_t>(t);
        PVideoFrame g = env.NewVideoFrame(MakeVideoInfo(16 + t, 16, CS_YV12));
        try {
          env.ThrowError("thread %d pass %d", t, i);
        } catch (const AvisynthError& e) {
          ASSERT_EQ(std::string(e.msg), "thread " + std::to_string(t) + " pass " + std::to_string(i));
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(shared->GetReadPtr(PLANAR_Y)[0], 0);
  EXPECT_EQ(shared->refcount, 1);
  EXPECT_EQ(env.LiveFrames(), 1u);
}
