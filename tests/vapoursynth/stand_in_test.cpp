// The VapourSynth stand-in itself: a plug-in that breaks one rule at a time
// must make it abort, or the tests that rely on it prove nothing.
#include <gtest/gtest.h>

#include <string>

#include "tests/hosts/vapoursynth/vapoursynth_host.h"

namespace {

using namespace velmoraine::vshost;

uint8_t Flat(int, int, int, int) { return 128; }

// Loads the rule breaker, runs misbehave.Pass(fault) over frame 0 and
// releases everything.
void RunFault(int fault) {
  Core core;
  if (core.LoadPlugin(VELMORAINE_MISBEHAVING_PLUGIN_PATH) != "") std::abort();
  VSNode* source =
      core.CreateSource(MakeVideoInfo(MakeFormat(cfGray, stInteger, 8, 0, 0), 24, 16, 2), Flat);
  InvokeResult result = core.Invoke("misbehave", "Pass", {{"clip", Clip(source)}, {"fault", Int(fault)}});
  std::string error;
  if (result.node != nullptr) core.FreeFrame(core.GetFrame(result.node, 0, &error));
  core.FreeNode(result.node);
  core.FreeNode(source);
}

TEST(VapourSynthStandIn, AWellBehavedFilterRunsCleanly) { RunFault(0); }

TEST(VapourSynthStandInDeathTest, AbortsOnEveryBrokenRule) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct {
    int fault;
    const char* says;
  } cases[] = {
      {1, "returned frame 0 and also set an error"},
      {2, "guard byte 24 bytes from the start of row 0"},
      {3, "was changed afterwards"},
      {4, "teardown: 0 nodes and 1 frames are still referenced"},
      {5, "returned no frame 0, requested nothing and set no error"},
      {6, "MXCSR is 0x7f80 after getFrame"},
      {7, "frame 1 for output frame 0 of a strictly spatial dependency"},
      {8, "mapGetInt\\('missing', 0\\) failed \\(1\\) with no error pointer"},
  };
  for (const auto& c : cases) EXPECT_DEATH(RunFault(c.fault), c.says) << "fault " << c.fault;
}

}  // namespace
