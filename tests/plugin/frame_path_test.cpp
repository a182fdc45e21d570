// The frame path's plane views, watched through a recording plane filter.
#include "tests/plugin/plugin_support.h"

namespace plugin_test {
namespace {

struct Call {
  velmoraine::PlaneView view;
  const velmoraine::PreparedFilter* prepared;
};
thread_local std::vector<Call> calls;
thread_local int fail_at = -1;  // index of the call that reports failure

bool Recording(const velmoraine::PlaneView& view, const velmoraine::PreparedFilter& prepared) {
  calls.push_back(Call{view, &prepared});
  return static_cast<int>(calls.size()) - 1 != fail_at;
}

class FramePath : public ::testing::Test {
 protected:
  void SetUp() override {
    calls.clear();
    fail_at = -1;
  }
  ScriptEnvironment env;
  velmoraine::PreparedFilter prepared;
};

TEST_F(FramePath, ViewsFollowThePlanesInOrderYUV) {
  struct Case {
    int w, h, cw, ch;
  };
  for (const Case& c : {Case{720, 576, 360, 288}, Case{721, 577, 360, 288}}) {
    calls.clear();
    PVideoFrame f = env.NewVideoFrame(MakeVideoInfo(c.w, c.h, CS_YV12));
    velmoraine::FilterVideoFramePlanes(f.Get(), 0, prepared, &Recording, &env);
    ASSERT_EQ(calls.size(), 3u);
    const int planes[3] = {PLANAR_Y, PLANAR_U, PLANAR_V};
    for (int i = 0; i < 3; ++i) {
      const velmoraine::PlaneView& v = calls[static_cast<size_t>(i)].view;
      EXPECT_EQ(v.width, i == 0 ? c.w : c.cw);
      EXPECT_EQ(v.height, i == 0 ? c.h : c.ch);
      EXPECT_EQ(v.data, f->GetWritePtr(planes[i]));
      EXPECT_EQ(v.pitch, f->GetPitch(planes[i]));
      EXPECT_EQ(calls[static_cast<size_t>(i)].prepared, &prepared);
    }
    EXPECT_EQ(calls[1].view.pitch, calls[2].view.pitch);
    EXPECT_NE(calls[1].view.data, calls[2].view.data);
  }
}

TEST_F(FramePath, MonoFramesHaveOnlyALumaView) {
  PVideoFrame f = env.NewVideoFrame(MakeVideoInfo(40, 30, CS_MONO8));
  velmoraine::FilterVideoFramePlanes(f.Get(), 0, prepared, &Recording, &env);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].view.width, 40);
  EXPECT_EQ(calls[0].view.height, 30);
}

TEST_F(FramePath, APlaneTheFilterCannotTakeIsAScriptErrorNamingIt) {
  PVideoFrame f = env.NewVideoFrame(MakeVideoInfo(720, 576, CS_YV12));
  fail_at = 1;
  try {
    velmoraine::FilterVideoFramePlanes(f.Get(), 4, prepared, &Recording, &env);
    FAIL() << "no error";
  } catch (const AvisynthError& e) {
    EXPECT_NE(std::string(e.msg).find("frame 4: the U plane (360x288"), std::string::npos)
        << e.msg;
  }
  EXPECT_EQ(calls.size(), 2u);  // V was not attempted
}

}  // namespace
}  // namespace plugin_test
