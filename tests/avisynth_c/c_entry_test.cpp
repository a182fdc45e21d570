// The plain-C entry in the strict stand-in host: registration through both
// entry names, arguments and their 64-bit forms, every accepted format at its
// true plane sizes, refusals, frame errors, properties, the MT mode, and
// results equal to the plane filter's and to the 2.5 entry's. Every test ends
// with no live clip or frame and no fault seen by the host.
#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#define VELMORAINE_TEST_MXCSR 1
#endif

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "core/plane_filter.h"
#include "core/version.h"
#include "tests/hosts/avisynth25/frame_server.h"
#include "tests/avisynth_c/c_host_support.h"

// The non-throwing array allocation this many allocations from now (the
// plane filter's work buffers) fails; negative: none does.
// The plug-in's references bind to these definitions. Every array form is
// replaced, so that allocation and release always match.
namespace {
std::atomic<int> workBuffersBeforeFailure{-1};
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  if (workBuffersBeforeFailure.load() >= 0 && workBuffersBeforeFailure.fetch_sub(1) == 0) return nullptr;
  return std::malloc(size ? size : 1);
}
void* operator new[](size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace c_entry_test {
namespace {

struct Params {
  int32_t T, P, lp, hp;
};

// Plane p of frame n of a stand-in source as the host lays it out (width in
// samples, depth in bits), through FilterPlane when `filter` is given.
Plane SourcePlane(const StandinSourceSettings& settings, int n, int p, int32_t width, int32_t height, int bits,
                  const Params* filter) {
  Plane plane;
  plane.height = height;
  if (bits == 8) {
    plane.width = width;
    for (int32_t y = 0; y < height; ++y)
      for (int32_t x = 0; x < width; ++x) plane.samples.push_back(StandinSample(settings.seed, n, p, x, y));
    const velmoraine::PlaneView view{plane.samples.data(), width, width, height};
    if (filter != nullptr) {
      EXPECT_TRUE(velmoraine::FilterPlane(view, filter->T, filter->P, filter->lp, filter->hp));
    }
    return plane;
  }
  std::vector<uint16_t> words;
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) words.push_back(StandinSample16(settings.seed, n, p, x, y, bits));
  const velmoraine::PlaneView16 view{words.data(), 2 * width, width, height, bits};
  if (filter != nullptr) {
    EXPECT_TRUE(velmoraine::FilterPlane(view, filter->T, filter->P, filter->lp, filter->hp));
  }
  plane.width = 2 * width;
  plane.samples.resize(2 * words.size());
  std::memcpy(plane.samples.data(), words.data(), plane.samples.size());
  return plane;
}

// What the filter must make of frame n of a stand-in source, from the
// format's definition: each colour plane at its own size and depth through
// FilterPlane, an alpha plane as the source has it.
std::vector<Plane> ExpectedPlanes(const StandinSourceSettings& settings, int n, Params params) {
  const uint32_t type = static_cast<uint32_t>(settings.pixel_type);
  const uint32_t layout = type & AVS_CS_LAYOUT_MASK;
  const bool rgb = layout == (AVS_CS_GENERIC_RGBP & AVS_CS_LAYOUT_MASK) ||
                   layout == (AVS_CS_GENERIC_RGBAP & AVS_CS_LAYOUT_MASK);
  const bool alpha = (type & AVS_CS_YUVA) != 0 || layout == (AVS_CS_GENERIC_RGBAP & AVS_CS_LAYOUT_MASK);
  const int colourPlanes = layout == (AVS_CS_GENERIC_Y & AVS_CS_LAYOUT_MASK) ? 1 : 3;
  const int subWidth = rgb ? 0 : AvsSubsamplingShiftX(type), subHeight = rgb ? 0 : AvsSubsamplingShiftY(type);
  std::vector<Plane> planes;
  for (int p = 0; p < colourPlanes + (alpha ? 1 : 0); ++p) {
    const bool chroma = p == 1 || p == 2;
    planes.push_back(SourcePlane(settings, n, p, chroma ? settings.width >> subWidth : settings.width,
                                 chroma ? settings.height >> subHeight : settings.height, StandinSampleBits(type),
                                 p < colourPlanes ? &params : nullptr));
  }
  return planes;
}

class CEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    host = &OpenHost(VELMORAINE_STANDIN_HOST);
    ASSERT_NE(host->api, nullptr);
    host->api->reset();
    // The plug-in can find the host only by its versioned name.
    void* unversioned = dlopen("libavisynth.so", RTLD_LAZY | RTLD_NOLOAD);
    ASSERT_EQ(unversioned, nullptr);
    description = host->api->load_plugin(VELMORAINE_PLUGIN_PATH, Entry());
    ASSERT_NE(description, nullptr) << host->api->last_error();
  }
  void TearDown() override {
    EXPECT_EQ(host->api->live_clips(), 0) << "a clip reference leaked";
    EXPECT_EQ(host->api->live_frames(), 0) << "a frame reference leaked";
    const char* fault = host->api->first_violation();
    EXPECT_EQ(host->api->violations(), 0) << (fault ? fault : "");
  }
  virtual int Entry() const { return STANDIN_ENTRY_INIT2; }

  // Filters frame n and compares it with FilterPlane's planes.
  void ExpectFiltered(const StandinSourceSettings& settings, const std::vector<StandinArgument>& arguments,
                      Params params, int n = 1) {
    AVS_Value clip = Invoke(*host, settings, arguments);
    ASSERT_EQ(clip.type, AVS_TYPE_CLIP) << (clip.type == AVS_TYPE_ERROR ? clip.d.string : "");
    std::string error;
    const std::vector<Plane> got = FetchPlanes(*host, host->api->value_clip(&clip), n, &error);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(got == ExpectedPlanes(settings, n, params))
        << std::hex << "format 0x" << settings.pixel_type << std::dec << " " << settings.width << "x" << settings.height
        << " T=" << params.T << " P=" << params.P << " lp=" << params.lp << " hp=" << params.hp;
    host->api->release_value(&clip);
  }

  std::string ErrorOf(const StandinSourceSettings& settings, const std::vector<StandinArgument>& arguments) {
    AVS_Value result = Invoke(*host, settings, arguments);
    if (result.type == AVS_TYPE_ERROR) return result.d.string;
    host->api->release_value(&result);
    return "";
  }

  Host* host = nullptr;
  const char* description = nullptr;
};

class CEntryOldName : public CEntry {
  int Entry() const override { return STANDIN_ENTRY_INIT; }
};

const Params kDefaults{0, 1, 0, 100};

TEST_F(CEntry, RegistersUnderItsNameAndTheLibraryPrefixedName) {
  EXPECT_NE(std::strstr(description, VELMORAINE_VERSION_STRING), nullptr) << description;
  EXPECT_TRUE(host->api->function_exists("velmoraine"));
  EXPECT_TRUE(host->api->function_exists("Velmoraine"));
  EXPECT_TRUE(host->api->function_exists("libvelmoraine_velmoraine"));
}

TEST_F(CEntryOldName, RegistersThroughTheOlderEntryNameToo) {
  EXPECT_TRUE(host->api->function_exists("velmoraine"));
  ExpectFiltered(Source(40, 32, AVS_CS_YV12), {}, kDefaults);
}

// Each family (YUV, luma only, planar RGB, with alpha) at 8 bits and deeper:
// every colour plane equals FilterPlane's at its own size and depth, alpha
// comes back as it went in.
TEST_F(CEntry, EveryAcceptedFormatFiltersEachColourPlaneAtItsSizeAndDepthAndKeepsAlpha) {
  // Sizes off the 8 grid, odd wherever the subsampling allows; chroma of
  // YV411 at 44 wide is 11, and at 28 wide 7: narrower than a block, kept,
  // like the 7x7 chroma of 4:2:0 at 14x14.
  struct Case {
    uint32_t type;
    int32_t width, height;
  };
  const uint32_t b10 = 5u << 16, b12 = 6u << 16, b14 = 7u << 16, b16 = 1u << 16;  // hosts' sample-size codes
  const Case cases[] = {
      {AVS_CS_YV12, 38, 30},  {AVS_CS_I420, 46, 22}, {AVS_CS_YV16, 42, 27}, {AVS_CS_YV24, 37, 29},
      {AVS_CS_YV411, 44, 21}, {AVS_CS_YV411, 28, 9}, {AVS_CS_Y8, 37, 29},   {AVS_CS_YV12, 14, 14},
      {AVS_CS_GENERIC_YUV420 | b10, 38, 30}, {AVS_CS_GENERIC_YUV422 | b12, 42, 27},
      {AVS_CS_GENERIC_YUV444 | b14, 37, 29}, {AVS_CS_GENERIC_YUV420 | b16, 46, 22},
      {AVS_CS_GENERIC_YUV420 | b16, 14, 14}, {AVS_CS_GENERIC_Y | b10, 37, 29},
      {AVS_CS_GENERIC_Y | b16, 33, 19},      {AVS_CS_GENERIC_RGBP, 41, 23},
      {AVS_CS_GENERIC_RGBP | b10, 37, 21},   {AVS_CS_GENERIC_RGBP | b16, 35, 27},
      {AVS_CS_GENERIC_YUVA420, 38, 30},      {AVS_CS_GENERIC_YUVA422 | b10, 42, 27},
      {AVS_CS_GENERIC_YUVA444 | b16, 37, 29}, {AVS_CS_GENERIC_RGBAP, 41, 23},
      {AVS_CS_GENERIC_RGBAP | b14, 35, 17},
  };
  for (const Case& c : cases) {
    ExpectFiltered(Source(c.width, c.height, c.type, 7), {{"T", Int(30)}}, {30, 1, 0, 100});
  }
}

// Deep formats (pixel_type as hosts define it) against checksums of what the
// whole-plane reference makes of frame 1 of their sources, computed once: a
// plug-in that takes one depth for another fails here, whatever its own
// decoding and the plane filter say.
TEST_F(CEntry, DeepFormatsGiveTheWholePlaneReferencesOutput) {
  struct Case {
    uint32_t type;
    int32_t width, height;
    uint64_t checksum;  // FNV-1a of every plane's bytes
  } const cases[] = {
      {0xA0050008u, 22, 18, 0x22f1f0d95bd6c721ull},  // YUV420P10
      {0xA0060308u, 20, 16, 0xbd84a81fabfdf9fbull},  // YUV422P12
      {0xA007030Bu, 19, 13, 0xebfa9b532c76f0a7ull},  // YUV444P14
      {0xA0010008u, 22, 18, 0xb4987c33795f483aull},  // YUV420P16
      {0xE0010000u, 21, 11, 0xe28b6c6d30f202b6ull},  // Y16
      {0x90010001u, 17, 12, 0xa16acaf0ab83bf82ull},  // RGBP16
  };
  for (const Case& c : cases) {
    AVS_Value clip = Invoke(*host, Source(c.width, c.height, c.type, 3), {{"T", Int(20)}});
    ASSERT_EQ(clip.type, AVS_TYPE_CLIP) << (clip.type == AVS_TYPE_ERROR ? clip.d.string : "");
    const std::vector<Plane> got = FetchPlanes(*host, host->api->value_clip(&clip), 1);
    host->api->release_value(&clip);
    EXPECT_EQ(Checksum(got), c.checksum) << std::hex << "format 0x" << c.type;
  }
}

TEST_F(CEntry, DefaultsNamedAndPositionalArgumentsAndInRange64BitValues) {
  const StandinSourceSettings settings = Source(45, 35, AVS_CS_YV24, 3);
  ExpectFiltered(settings, {}, kDefaults);
  ExpectFiltered(settings, {{"hp", Int(40)}, {"T", Int(24)}}, {24, 1, 0, 40});
  ExpectFiltered(settings, {{nullptr, Int(35)}, {nullptr, Int(2)}, {nullptr, Int(5)}}, {35, 2, 5, 100});
  ExpectFiltered(settings, {{"T", Long(28)}, {"P", Long(12)}, {"lp", Long(-3)}, {"hp", Long(60)}}, {28, 12, -3, 60});
}

TEST_F(CEntry, NegativePAndOutOfRange64BitValuesAreScriptErrors) {
  const StandinSourceSettings settings = Source(32, 32, AVS_CS_YV12);
  const std::string negativeP =
      "velmoraine : 'P' incorrect. P=0 -> flat / P=1 -> 1/(1-z) / P=2 -> z/(1-z) / P=3 1+z / "
      "P>10 (z > P) ? 1 : 0";
  EXPECT_EQ(ErrorOf(settings, {{"P", Int(-1)}}), negativeP);
  EXPECT_EQ(ErrorOf(settings, {{"P", Long(-2147483648LL)}}), negativeP);
  EXPECT_NE(ErrorOf(settings, {{"T", Long(4294967297LL)}}).find("'T' is out of range"), std::string::npos);
  EXPECT_NE(ErrorOf(settings, {{"P", Long(-2147483649LL)}}).find("'P' is out of range"), std::string::npos);
  EXPECT_NE(ErrorOf(settings, {{"lp", Long(INT64_MIN)}}).find("'lp' is out of range"), std::string::npos);
  EXPECT_NE(ErrorOf(settings, {{"hp", Long(2147483648LL)}}).find("'hp' is out of range"), std::string::npos);
  EXPECT_EQ(ErrorOf(settings, {{"hp", Long(2147483647LL)}}), "");
}

TEST_F(CEntryOldName, SixtyFourBitValuesArriveNarrowedThroughTheOlderEntry) {
  // The host narrows 4294967297 to 1 before the filter sees it.
  ExpectFiltered(Source(32, 24, AVS_CS_YV12, 9), {{"T", Long(4294967297LL)}}, {1, 1, 0, 100});
}

// The message names the accepted formats, then what the clip has.
TEST_F(CEntry, OtherFormatsAreRefusedNamingTheAcceptedOnesAndTheClipsOwn) {
  const uint32_t float32 = AVS_CS_SAMPLE_BITS_32;
  const struct {
    uint32_t type;
    const char* has;
  } refused[] = {
      {AVS_CS_YUY2, "8-bit interleaved YUV 4:2:2 (YUY2)"},
      {AVS_CS_BGR24, "8-bit packed RGB"},
      {AVS_CS_BGR32, "8-bit packed RGBA"},
      {AVS_CS_BGR48, "16-bit packed RGB"},
      {AVS_CS_BGR64, "16-bit packed RGBA"},
      {AVS_CS_YUV9, "8-bit YUV 4:1:0"},
      {AVS_CS_GENERIC_YUV420 | float32, "32-bit float YUV 4:2:0"},
      {AVS_CS_GENERIC_Y | float32, "32-bit float luma-only Y"},
      {AVS_CS_GENERIC_RGBP | float32, "32-bit float planar RGB"},
      {AVS_CS_GENERIC_YUVA444 | float32, "32-bit float YUVA 4:4:4"},
      {AVS_CS_YV411 | AVS_CS_SAMPLE_BITS_16, "16-bit YUV 4:1:1"},  // no such host format
      {AVS_CS_GENERIC_YUV420 | (3u << 16), "YUV 4:2:0 with an unused sample size code"},
      {0x12345678u, "the pixel type 0x12345678"},
  };
  for (const auto& c : refused) {
    const std::string error = ErrorOf(Source(32, 32, c.type), {{"T", Int(10)}});
    EXPECT_EQ(error.rfind("velmoraine: unsupported clip format", 0), 0u) << std::hex << c.type << ": " << error;
    for (const char* name : {"YV12", "I420", "YV16", "YV24", "YV411", "Y8", "Y16", "RGBP16", "YUVA", "RGBA", "float"})
      EXPECT_NE(error.find(name), std::string::npos) << name;
    const std::string tail = std::string("are not accepted; it has ") + c.has;
    EXPECT_EQ(error.substr(error.size() - std::min(error.size(), tail.size())), tail) << std::hex << c.type;
  }
}

TEST_F(CEntry, AFilterTheHostCannotMakeIsAScriptErrorWithTheHostsMessage) {
  StandinSourceSettings settings = Source(32, 32, AVS_CS_YV12);
  settings.refuse_as_child = 1;
  EXPECT_EQ(ErrorOf(settings, {}), "stand-in host: this clip cannot be a child");
}

TEST_F(CEntry, SharedFramesAreCopiedAndPropertiesKept) {
  StandinSourceSettings settings = Source(40, 24, AVS_CS_YV16, 5);
  settings.hold_frames = 1;
  AVS_Value clip = Invoke(*host, settings, {{"T", Int(40)}});
  ASSERT_EQ(clip.type, AVS_TYPE_CLIP);
  AVS_Clip* filter = host->api->value_clip(&clip);
  for (int n = 0; n < 3; ++n) {
    AVS_VideoFrame* frame = host->get_frame(filter, n);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(host->api->frame_property(frame), 1000 + n);
    EXPECT_TRUE(ReadPlanes(*host, frame) == ExpectedPlanes(settings, n, {40, 1, 0, 100}));
    host->release_frame(frame);
  }
  host->api->release_value(&clip);
}

TEST_F(CEntry, AnswersTheMtModeQueryAsANiceFilter) {
  AVS_Value clip = Invoke(*host, Source(16, 16, AVS_CS_Y8), {});
  ASSERT_EQ(clip.type, AVS_TYPE_CLIP);
  EXPECT_EQ(host->api->mt_mode(host->api->value_clip(&clip)), AVS_MT_NICE_FILTER);
  host->api->release_value(&clip);
}

TEST_F(CEntry, AFrameTheSourceCannotDeliverIsAFrameErrorWithItsMessage) {
  StandinSourceSettings settings = Source(16, 16, AVS_CS_YV12);
  settings.failing_frame = 2;
  AVS_Value clip = Invoke(*host, settings, {});
  ASSERT_EQ(clip.type, AVS_TYPE_CLIP);
  std::string error;
  EXPECT_TRUE(FetchPlanes(*host, host->api->value_clip(&clip), 2, &error).empty());
  EXPECT_EQ(error, "stand-in source: this frame cannot be delivered");
  EXPECT_FALSE(FetchPlanes(*host, host->api->value_clip(&clip), 3).empty());
  host->api->release_value(&clip);
}

// Work buffers that cannot be allocated: a frame error naming the plane, no
// frame, nothing leaked. Once a frame has gone through, the instance keeps its
// work buffers, and frames no longer depend on the allocator. (Which plane a
// failure names, whatever its place, is the plane driver's test.)
TEST_F(CEntry, WorkBuffersThatCannotBeAllocatedAreAFrameErrorWithNothingLeaked) {
  StandinSourceSettings settings = Source(3000, 16, AVS_CS_YV12, 2);
  settings.hold_frames = 1;
  AVS_Value clip = Invoke(*host, settings, {{"T", Int(20)}});
  ASSERT_EQ(clip.type, AVS_TYPE_CLIP);
  AVS_Clip* filter = host->api->value_clip(&clip);
  std::string error;
  workBuffersBeforeFailure = 0;
  const std::vector<Plane> failed = FetchPlanes(*host, filter, 0, &error);
  workBuffersBeforeFailure = -1;
  EXPECT_TRUE(failed.empty());
  EXPECT_EQ(error, "velmoraine: frame 0: the Y plane (3000x16, pitch 3040) could not be filtered: its work buffers "
                   "could not be allocated or its layout is invalid");
  const std::vector<Plane> expected = ExpectedPlanes(settings, 0, {20, 1, 0, 100});
  EXPECT_TRUE(FetchPlanes(*host, filter, 0) == expected);
  workBuffersBeforeFailure = 0;
  EXPECT_TRUE(FetchPlanes(*host, filter, 0) == expected);
  EXPECT_EQ(workBuffersBeforeFailure.load(), 0) << "a frame allocated work buffers again";
  workBuffersBeforeFailure = -1;
  host->api->release_value(&clip);
}

TEST_F(CEntry, FramesEqualThoseOfThe25Entry) {
  using namespace velmoraine::host;
  ScriptEnvironment env;
  env.LoadPlugin(VELMORAINE_PLUGIN_PATH);
  const StandinSourceSettings settings = Source(50, 34, AVS_CS_YV12, 11, 1);
  // The same samples in a 2.5 clip.
  VideoInfo vi = MakeVideoInfo(settings.width, settings.height, CS_YV12);
  MemoryClip* memory = new MemoryClip(vi);
  PClip source(memory);
  PVideoFrame frame = env.NewVideoFrame(vi);
  const int ids[3] = {PLANAR_Y, PLANAR_U, PLANAR_V};
  for (int p = 0; p < 3; ++p) {
    const int w = frame->GetRowSize(ids[p]), h = frame->GetHeight(ids[p]);
    std::vector<uint8_t> samples;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) samples.push_back(StandinSample(settings.seed, 0, p, x, y));
    WritePlane(frame, ids[p], samples.data(), w);
  }
  memory->SetFrame(0, frame);
  for (Params params : {Params{0, 1, 0, 100}, Params{30, 2, 3, 70}, Params{45, 11, 0, 100}}) {
    AVSValue out = env.Call("velmoraine",
                            {AVSValue(source), AVSValue(params.T), AVSValue(params.P), AVSValue(params.lp),
                             AVSValue(params.hp)},
                            {nullptr, "T", "P", "lp", "hp"});
    PVideoFrame filtered = out.AsClip()->GetFrame(0, &env);
    AVS_Value clip = Invoke(*host, settings,
                            {{"T", Int(params.T)}, {"P", Int(params.P)}, {"lp", Int(params.lp)}, {"hp", Int(params.hp)}});
    ASSERT_EQ(clip.type, AVS_TYPE_CLIP);
    const std::vector<Plane> got = FetchPlanes(*host, host->api->value_clip(&clip), 0);
    host->api->release_value(&clip);
    ASSERT_EQ(got.size(), 3u);
    const std::vector<Plane> expected = ExpectedPlanes(settings, 0, params);
    for (int p = 0; p < 3; ++p) {
      EXPECT_TRUE(got[p].samples == PlaneBytes(filtered, ids[p])) << "plane " << p << " T=" << params.T;
      EXPECT_TRUE(got[p].samples == expected[p].samples) << "plane " << p << " T=" << params.T;
    }
  }
}

// The stand-in must not forgive: otherwise the checks in TearDown could never
// fail.
TEST_F(CEntry, TheStandInHostReportsASecondReleaseAndAnOverwrittenGuardByte) {
  const StandinSourceSettings settings = Source(20, 10, AVS_CS_Y8);
  AVS_Clip* source = host->api->new_source(&settings);
  AVS_VideoFrame* frame = host->get_frame(source, 0);
  ASSERT_NE(frame, nullptr);
  host->release_frame(frame);
  host->release_frame(frame);
  EXPECT_EQ(host->api->violations(), 1);
  frame = host->get_frame(source, 0);
  const_cast<uint8_t*>(host->read_ptr(frame, AVS_PLANAR_Y))[20] = 0;  // one past the row
  host->release_frame(frame);
  EXPECT_EQ(host->api->violations(), 2);
  host->release_clip(source);
  host->release_clip(source);
  EXPECT_EQ(host->api->violations(), 3);
  host->api->reset();
}

// Each rule a plug-in can break without a crash: an error text that will not
// outlive the call (a frame error, a create error), a non-zero answer to a
// cache hint other than the MT-mode query, a changed SSE control register.
TEST_F(CEntry, TheStandInHostReportsEachRuleAPlugInBreaks) {
  const struct {
    int fault;
    const char* says;
  } cases[] = {
      {0, nullptr},
      {1, "a frame error is neither a literal nor a saved string"},
      {2, "a create error is neither a literal nor a saved string"},
      {3, "the filter answered a cache hint other than the MT-mode query with non-zero"},
#if defined(VELMORAINE_TEST_MXCSR)
      {4, "get_frame changed the SSE control register"},
#endif
  };
#if defined(VELMORAINE_TEST_MXCSR)
  const unsigned controlRegister = _mm_getcsr();
#endif
  for (const auto& c : cases) {
    host->api->reset();
    ASSERT_NE(host->api->load_plugin(VELMORAINE_MISBEHAVING_PLUGIN_PATH, STANDIN_ENTRY_INIT2), nullptr);
    const StandinSourceSettings settings = Source(16, 16, AVS_CS_Y8);
    AVS_Clip* source = host->api->new_source(&settings);
    const StandinArgument argument[] = {{"fault", Int(c.fault)}};
    AVS_Value clip = host->api->invoke("misbehave", source, argument, 1);
    host->release_clip(source);
    if (clip.type == AVS_TYPE_CLIP) {
      AVS_VideoFrame* frame = host->get_frame(host->api->value_clip(&clip), 0);
      if (frame != nullptr) host->release_frame(frame);
      host->api->release_value(&clip);
    }
#if defined(VELMORAINE_TEST_MXCSR)
    _mm_setcsr(controlRegister);
#endif
    const char* fault = host->api->first_violation();
    if (c.says == nullptr) {
      EXPECT_EQ(host->api->violations(), 0) << (fault ? fault : "");
    } else {
      EXPECT_STREQ(fault, c.says) << "fault " << c.fault;
    }
  }
  host->api->reset();
}

TEST_F(CEntry, OneInstanceServesConcurrentFrameRequests) {
  StandinSourceSettings settings = Source(70, 46, AVS_CS_YV12, 4, 16);
  settings.hold_frames = 1;
  AVS_Value clip = Invoke(*host, settings, {{"T", Int(25)}});
  ASSERT_EQ(clip.type, AVS_TYPE_CLIP);
  AVS_Clip* filter = host->api->value_clip(&clip);
  std::vector<std::vector<Plane>> serial;
  for (int n = 0; n < 16; ++n) serial.push_back(FetchPlanes(*host, filter, n));
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 16; ++i) {
        const int n = (i * 5 + t * 3) % 16;
        if (!(FetchPlanes(*host, filter, n) == serial[n])) ++mismatches;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  host->api->release_value(&clip);
}

}  // namespace
}  // namespace c_entry_test
