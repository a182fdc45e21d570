// velmoraine.Denoise through the strict VapourSynth stand-in: the real
// library, loaded by path. Every Session ends with the stand-in's teardown
// check, so each test also proves that no frame or node was left referenced.
#include <atomic>
#include <thread>

#include "core/version.h"
#include "tests/vapoursynth/vapoursynth_support.h"

namespace vapoursynth_test {
namespace {

const char kAccepted[] =
    "integer samples of 8 to 16 bits: Gray, YUV420P, YUV422P, YUV444P, YUV410P, YUV411P or RGB";

TEST(VapourSynthEntry, RegistersDenoiseUnderApi40AsAParallelStrictlySpatialFilter) {
  Session session;
  const PluginRecord* plugin = session.core.FindPlugin("velmoraine");
  ASSERT_NE(plugin, nullptr);
  EXPECT_EQ(plugin->identifier, "org.velmoraine.velmoraine");
  EXPECT_EQ(plugin->apiVersion, 0x40000);
  EXPECT_EQ(plugin->pluginVersion, VELMORAINE_VERSION_NUMBER);  // the release --version prints
  EXPECT_EQ(plugin->flags, 0);
  ASSERT_EQ(plugin->functions.size(), 1u);
  EXPECT_EQ(plugin->functions[0].name, "Denoise");
  EXPECT_EQ(plugin->functions[0].arguments,
            "clip:vnode;T:int:opt;P:int:opt;lp:int:opt;hp:int:opt;planes:int[]:opt;");
  EXPECT_EQ(plugin->functions[0].returnType, "clip:vnode;");

  VSNode* source = session.Source(MakeFormat(cfYUV, stInteger, 8, 1, 1), 64, 48);
  ASSERT_NE(session.Denoise({{"clip", Clip(source)}}), nullptr);
  const FilterRecord filter = session.core.LastFilter();
  EXPECT_EQ(filter.mode, fmParallel);
  ASSERT_EQ(filter.dependencies.size(), 1u);
  EXPECT_EQ(filter.dependencies[0].source, source);
  EXPECT_EQ(filter.dependencies[0].requestPattern, rpStrictSpatial);

  // A newer host loads it as well; the plug-in asks for nothing beyond 4.0.
  Options newer;
  newer.apiVersion = 0x40002;
  Session later(newer);
  EXPECT_NE(later.core.FindPlugin("velmoraine"), nullptr);
}

struct FormatCase {
  const char* name;
  VSVideoFormat format;
  int width, height;  // not multiples of 8; odd where the subsampling allows
};

class AcceptedFormat : public ::testing::TestWithParam<FormatCase> {};

// Each family (gray, YUV of every accepted subsampling, RGB) at 8 bits and
// deeper: each plane at its true size and depth, both stride alignments,
// default and chosen arguments, every frame: equal to the plane filter,
// properties kept.
TEST_P(AcceptedFormat, EveryPlaneEqualsThePlaneFilterAndPropertiesAreKept) {
  const FormatCase& c = GetParam();
  for (int alignment : {32, 64}) {
    Options options;
    options.strideAlignment = alignment;
    Session session(options);
    VSNode* source = session.Source(c.format, c.width, c.height);
    FilterSettings chosen;
    chosen.T = 24, chosen.P = 2, chosen.lp = 3, chosen.hp = 80;
    VSNode* byDefault = session.Denoise({{"clip", Clip(source)}});
    VSNode* withChosen = session.Denoise(WithSettings(source, chosen));
    ASSERT_NE(byDefault, nullptr);
    ASSERT_NE(withChosen, nullptr);
    for (int n = 0; n < 3; ++n) {
      EXPECT_EQ(session.Planes(byDefault, n), session.Expected(source, n, FilterSettings()))
          << c.name << " alignment " << alignment << " frame " << n;
      EXPECT_EQ(session.Planes(withChosen, n), session.Expected(source, n, chosen))
          << c.name << " alignment " << alignment << " frame " << n;
    }
    const VSFrame* in = session.core.GetFrame(source, 2, nullptr);
    const VSFrame* out = session.core.GetFrame(withChosen, 2, nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Core::Properties(out), Core::Properties(in));
    EXPECT_EQ(Core::Properties(out).at("_SourceFrame"), 2);
    session.core.FreeFrame(in);
    session.core.FreeFrame(out);
  }
}

INSTANTIATE_TEST_SUITE_P(
    VapourSynthEntry, AcceptedFormat,
    ::testing::Values(FormatCase{"Gray8", MakeFormat(cfGray, stInteger, 8, 0, 0), 53, 37},
                      FormatCase{"YUV420P8", MakeFormat(cfYUV, stInteger, 8, 1, 1), 70, 46},
                      FormatCase{"YUV422P8", MakeFormat(cfYUV, stInteger, 8, 1, 0), 70, 37},
                      FormatCase{"YUV444P8", MakeFormat(cfYUV, stInteger, 8, 0, 0), 45, 29},
                      FormatCase{"YUV410P8", MakeFormat(cfYUV, stInteger, 8, 2, 2), 76, 44},
                      // chroma 7x5: under one block, passed unchanged
                      FormatCase{"YUV410P8small", MakeFormat(cfYUV, stInteger, 8, 2, 2), 28, 20},
                      FormatCase{"YUV411P8", MakeFormat(cfYUV, stInteger, 8, 2, 0), 68, 27},
                      FormatCase{"RGB24", MakeFormat(cfRGB, stInteger, 8, 0, 0), 41, 23},
                      FormatCase{"Gray10", MakeFormat(cfGray, stInteger, 10, 0, 0), 53, 37},
                      FormatCase{"Gray16", MakeFormat(cfGray, stInteger, 16, 0, 0), 33, 19},
                      FormatCase{"YUV420P10", MakeFormat(cfYUV, stInteger, 10, 1, 1), 70, 46},
                      FormatCase{"YUV422P12", MakeFormat(cfYUV, stInteger, 12, 1, 0), 70, 37},
                      FormatCase{"YUV444P16", MakeFormat(cfYUV, stInteger, 16, 0, 0), 45, 29},
                      FormatCase{"YUV410P9", MakeFormat(cfYUV, stInteger, 9, 2, 2), 76, 44},
                      FormatCase{"YUV411P14", MakeFormat(cfYUV, stInteger, 14, 2, 0), 68, 27},
                      FormatCase{"RGB30", MakeFormat(cfRGB, stInteger, 10, 0, 0), 41, 23},
                      FormatCase{"RGB48", MakeFormat(cfRGB, stInteger, 16, 0, 0), 37, 21}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

// Deep formats against checksums of what the whole-plane reference makes of
// frame 1 of their sources, computed once: independent of the plane filter
// that the test above compares with.
TEST(VapourSynthEntry, DeepFormatsGiveTheWholePlaneReferencesOutput) {
  struct Case {
    const char* name;
    VSVideoFormat format;
    int width, height;
    uint64_t checksum;  // FNV-1a of every plane's bytes
  } const cases[] = {
      {"Gray10", MakeFormat(cfGray, stInteger, 10, 0, 0), 23, 17, 0xcf887d484c835c5aull},
      {"YUV444P16", MakeFormat(cfYUV, stInteger, 16, 0, 0), 19, 13, 0x491952d6f03526cfull},
      {"RGB48", MakeFormat(cfRGB, stInteger, 16, 0, 0), 17, 12, 0x0285c0521a494167ull},
  };
  FilterSettings settings;
  settings.T = 20;
  for (const Case& c : cases) {
    Session session;
    VSNode* node = session.Denoise(WithSettings(session.Source(c.format, c.width, c.height), settings));
    ASSERT_NE(node, nullptr) << c.name;
    uint64_t h = 0xcbf29ce484222325ull;
    for (const std::vector<uint8_t>& plane : session.Planes(node, 1))
      for (uint8_t b : plane) h = (h ^ b) * 0x100000001b3ull;
    EXPECT_EQ(h, c.checksum) << c.name;
  }
}

TEST(VapourSynthEntry, PlanesFiltersTheListedPlanesAndCopiesTheOthers) {
  Session session;
  VSNode* yuv = session.Source(MakeFormat(cfYUV, stInteger, 8, 1, 1), 62, 42);
  FilterSettings s;
  s.T = 30;
  Arguments arguments = WithSettings(yuv, s);
  arguments.push_back({"planes", Ints({2, 0})});
  VSNode* node = session.Denoise(arguments);
  ASSERT_NE(node, nullptr);
  const auto expected = session.Expected(yuv, 1, s, {0, 2});
  EXPECT_EQ(session.Planes(node, 1), expected);
  EXPECT_EQ(expected[1], session.Expected(yuv, 1, s, {})[1]);  // plane 1 is the source's
  EXPECT_NE(expected[0], session.Expected(yuv, 1, s, {})[0]);  // and the filter did something

  VSNode* gray = session.Source(MakeFormat(cfGray, stInteger, 8, 0, 0), 33, 17);
  arguments = WithSettings(gray, s);
  arguments.push_back({"planes", Ints({0})});
  VSNode* grayNode = session.Denoise(arguments);
  ASSERT_NE(grayNode, nullptr);
  EXPECT_EQ(session.Planes(grayNode, 0), session.Expected(gray, 0, s, {0}));
}

TEST(VapourSynthEntry, PlaneIndicesOutsideTheClipOrRepeatedAreErrors) {
  Session session;
  VSNode* yuv = session.Source(MakeFormat(cfYUV, stInteger, 8, 1, 1), 32, 32);
  VSNode* gray = session.Source(MakeFormat(cfGray, stInteger, 8, 0, 0), 32, 32);
  const struct {
    VSNode* clip;
    std::vector<int64_t> planes;
    const char* says;
  } cases[] = {
      {yuv, {3}, "plane index 3 in 'planes' is out of range: the clip has three planes, 0 to 2"},
      {yuv, {0, -1}, "plane index -1 in 'planes' is out of range"},
      {yuv, {1, 2, 1}, "plane 1 is listed twice in 'planes'"},
      {gray, {1}, "plane index 1 in 'planes' is out of range: the clip has one plane, 0"},
      {yuv, {int64_t{1} << 32}, "plane index 4294967296 in 'planes' is out of range"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(session.Denoise({{"clip", Clip(c.clip)}, {"planes", Ints(c.planes)}}, &error), nullptr);
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
  EXPECT_EQ(session.core.LiveNodes(), 2u);  // the sources only: nothing half-made is kept
}

// Refused when the script calls Denoise; float clips are told which format
// to convert to.
TEST(VapourSynthEntry, OtherFormatsAreRefusedNamingWhatIsAccepted) {
  Session session;
  const struct {
    VSVideoFormat format;
    int width, height;
    const char* says;
  } cases[] = {
      {MakeFormat(cfUndefined, stInteger, 0, 0, 0), 64, 64, "varies from frame to frame"},
      {MakeFormat(cfYUV, stInteger, 8, 1, 1), 0, 0, "size that varies"},
      {MakeFormat(cfYUV, stInteger, 8, 0, 1), 64, 64, "1/1 across and 1/2 down"},  // YUV440P8
      {MakeFormat(cfYUV, stInteger, 10, 0, 1), 64, 64, "YUV with 10-bit integer samples, chroma"},
      {MakeFormat(cfGray, stInteger, 32, 0, 0), 64, 64, "Gray with 32-bit integer samples"},
      {MakeFormat(cfGray, stFloat, 32, 0, 0), 64, 64, "core.resize.Point(clip, format=vs.GRAY16)"},
      {MakeFormat(cfYUV, stFloat, 32, 0, 0), 64, 64, "it has YUV with 32-bit float samples, no chroma "
                                                     "subsampling; convert it first, e.g. with "
                                                     "core.resize.Point(clip, format=vs.YUV444P16)"},
      {MakeFormat(cfRGB, stFloat, 32, 0, 0), 64, 64, "RGB with 32-bit float samples; convert it first, "
                                                     "e.g. with core.resize.Point(clip, format=vs.RGB48)"},
      {MakeFormat(cfYUV, stFloat, 16, 1, 1), 64, 64, "16-bit float samples, chroma subsampled 1/2 across "
                                                     "and 1/2 down; convert it first, e.g. with "
                                                     "core.resize.Point(clip, format=vs.YUV420P16)"},
  };
  for (const auto& c : cases) {
    VSNode* source = session.core.CreateSource(MakeVideoInfo(c.format, c.width, c.height, 1),
                                               NoisySample);
    session.nodes.push_back(source);
    std::string error;
    EXPECT_EQ(session.Denoise({{"clip", Clip(source)}}, &error), nullptr);
    EXPECT_NE(error.find(kAccepted), std::string::npos) << error;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
  EXPECT_EQ(session.core.LiveNodes(), std::size(cases));
}

TEST(VapourSynthEntry, NegativePAndValuesBeyond32BitsAreErrorsNamingTheArgument) {
  Session session;
  VSNode* source = session.Source(MakeFormat(cfYUV, stInteger, 8, 1, 1), 32, 32);
  std::string error;
  EXPECT_EQ(session.Denoise({{"clip", Clip(source)}, {"P", Int(-1)}}, &error), nullptr);
  EXPECT_EQ(error,
            "velmoraine : 'P' incorrect. P=0 -> flat / P=1 -> 1/(1-z) / P=2 -> z/(1-z) / P=3 1+z "
            "/ P>10 (z > P) ? 1 : 0");

  const struct {
    const char* name;
    int64_t value;
  } beyond[] = {{"T", int64_t{INT32_MAX} + 1}, {"P", INT64_MAX}, {"lp", int64_t{INT32_MIN} - 1},
                {"hp", INT64_MIN}};
  for (const auto& b : beyond) {
    EXPECT_EQ(session.Denoise({{"clip", Clip(source)}, {b.name, Int(b.value)}}, &error), nullptr);
    const std::string says = std::string(b.name) + "' is out of range";
    EXPECT_NE(error.find(says), std::string::npos) << error;
  }
  // The ends of the 32-bit range are values like any other.
  FilterSettings ends;
  ends.T = INT32_MIN, ends.P = INT32_MAX, ends.lp = INT32_MIN, ends.hp = INT32_MAX;
  VSNode* node = session.Denoise(WithSettings(source, ends));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(session.Planes(node, 0), session.Expected(source, 0, ends));
  EXPECT_EQ(session.core.LiveNodes(), 2u);
}

TEST(VapourSynthEntry, SourceErrorsAndRefusedFiltersLeaveNothingBehind) {
  Session session;
  VSNode* source = session.Source(MakeFormat(cfYUV, stInteger, 8, 1, 1), 48, 32, 3, 1);
  VSNode* node = session.Denoise({{"clip", Clip(source)}, {"T", Int(20)}});
  ASSERT_NE(node, nullptr);
  std::string error;
  EXPECT_TRUE(session.Planes(node, 1, &error).empty());
  EXPECT_EQ(error, "source: frame 1 could not be read");
  EXPECT_FALSE(session.Planes(node, 2, &error).empty()) << error;
  EXPECT_EQ(session.core.LiveFrames(), 0u);

  // The host refuses the filter after the plug-in built it: the plug-in,
  // not the host, releases its instance and its reference to the source.
  session.core.RefuseNextFilter();
  EXPECT_EQ(session.Denoise({{"clip", Clip(source)}}, &error), nullptr);
  EXPECT_NE(error.find("invalid video info"), std::string::npos) << error;
  EXPECT_EQ(session.core.LiveNodes(), 2u);
}

// Several threads ask for the same and for different frames at once; each
// answer equals the one a single thread gets. Run under ThreadSanitizer in CI.
TEST(VapourSynthEntry, ConcurrentRequestsForSameAndDifferentFramesMatchOneThread) {
  Session session;
  const int frames = 6;
  VSNode* source = session.Source(MakeFormat(cfYUV, stInteger, 8, 1, 1), 90, 54, frames);
  FilterSettings s;
  s.T = 28;
  VSNode* node = session.Denoise(WithSettings(source, s));
  ASSERT_NE(node, nullptr);
  std::vector<std::vector<std::vector<uint8_t>>> serial;
  for (int n = 0; n < frames; ++n) serial.push_back(session.Planes(node, n));

  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 3 * frames; ++i) {
        // Threads 0 and 1 walk the same sequence; 2 and 3 others.
        const int n = (t < 2 ? i : i * (t + 1) + t) % frames;
        if (session.Planes(node, n) != serial[n]) ++mismatches;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace vapoursynth_test
