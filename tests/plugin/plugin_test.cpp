// Registration, construction and the clip operations of the real library.
#include <cstring>

#include "tests/plugin/plugin_support.h"

namespace plugin_test {
namespace {

using velmoraine::SlidingDctFilter;

const char kNegativeP[] =
    "velmoraine : 'P' incorrect. P=0 -> flat / P=1 -> 1/(1-z) / P=2 -> z/(1-z) / P=3 1+z / "
    "P>10 (z > P) ? 1 : 0";

const SlidingDctFilter& AsFilter(const AVSValue& value) {
  return *static_cast<const SlidingDctFilter*>(value.AsClip().Get());
}

TEST_F(PluginTest, EntryPointRegistersOneFunctionAndReturnsItsText) {
  EXPECT_EQ(init_text, "`x' xxx");
  const auto functions = env.Functions();
  ASSERT_EQ(functions.size(), 1u);
  EXPECT_EQ(functions[0].name, "velmoraine");
  EXPECT_EQ(functions[0].params, "c[T]i[P]i[lp]i[hp]i");
  EXPECT_EQ(functions[0].userData, nullptr);
}

TEST_F(PluginTest, ArgumentsTakeTheirDefaultsAndTheirPlaces) {
  PClip source = new MemoryClip(MakeVideoInfo(32, 32, CS_YV12));
  AVSValue plain = env.Call("velmoraine", {source});
  ASSERT_TRUE(plain.IsClip());
  EXPECT_EQ(plain.AsClip()->GetVersion(), 2);
  const SlidingDctFilter& d = AsFilter(plain);
  EXPECT_EQ(d.ThresholdT(), 0);
  EXPECT_EQ(d.ProfileP(), 1);
  EXPECT_EQ(d.BandLow(), 0);
  EXPECT_EQ(d.BandHigh(), 100);

  AVSValue named = env.Call("velmoraine", {source, 30, 7}, {nullptr, "hp", "T"});
  EXPECT_EQ(AsFilter(named).ThresholdT(), 7);
  EXPECT_EQ(AsFilter(named).ProfileP(), 1);
  EXPECT_EQ(AsFilter(named).BandHigh(), 30);

  AVSValue positional = env.Call("velmoraine", {source, 1, 2, 3, 4});
  EXPECT_EQ(AsFilter(positional).ThresholdT(), 1);
  EXPECT_EQ(AsFilter(positional).ProfileP(), 2);
  EXPECT_EQ(AsFilter(positional).BandLow(), 3);
  EXPECT_EQ(AsFilter(positional).BandHigh(), 4);

  // The host checks the types the parameter string asks for.
  EXPECT_EQ(Refusal(source, {1.5}), "velmoraine: argument 2 (T) must be an int, got a float");
  EXPECT_EQ(Refusal(source, {1}, {"strength"}), "velmoraine: no argument named 'strength'");
}

TEST_F(PluginTest, NegativePIsRefusedWithItsMessageAndTheFilterIsUndone) {
  PClip source = new MemoryClip(MakeVideoInfo(32, 32, CS_YV12));
  const long held = source->RefCount();
  EXPECT_EQ(Refusal(source, {-1}, {"P"}), kNegativeP);
  EXPECT_EQ(Refusal(source, {0, -1000}), kNegativeP);
  EXPECT_EQ(source->RefCount(), held);  // the half-built filter let go of its child
  for (int p : {0, 3, 4, 10, 11, 1000}) {
    EXPECT_EQ(Refusal(source, {p}, {"P"}), "") << "P=" << p;
  }
  EXPECT_EQ(source->RefCount(), held);
}

TEST_F(PluginTest, InterleavedClipsAreRefusedPlanarOnesAccepted) {
  for (int type : {CS_YUY2, CS_BGR24, CS_BGR32}) {
    PClip source = new MemoryClip(MakeVideoInfo(32, 32, type));
    const std::string why = Refusal(source, {});
    EXPECT_NE(why.find("unsupported clip format"), std::string::npos) << why;
    EXPECT_EQ(source->RefCount(), 1);
  }
  for (int type : {CS_YV12, CS_I420, CS_MONO8}) {
    EXPECT_EQ(Refusal(new MemoryClip(MakeVideoInfo(32, 32, type)), {}), "") << type;
  }
}

// Later hosts load 2.5 plug-ins and hand them planar layouts other than
// 4:2:0: 4:2:2, 4:4:4, 4:1:1, 4:1:0 and luma-only Y8. A 2.5 frame's
// accessors size U and V for 4:2:0 alone, so the filter would run over the
// wrong rows: each must be refused, planar bit or not, and the refusal may
// offer nothing but 4:2:0 (a real host's luma-only clip is Y8, refused here).
TEST_F(PluginTest, PlanarLayoutsOtherThan420AreRefused) {
  const std::string refusal =
      "velmoraine: unsupported clip format; the clip must be planar 8-bit 4:2:0 (YV12 or I420); "
      "interleaved formats (YUY2, RGB) and other planar ones (Y8, YV16, YV24, YV411) are not "
      "accepted, convert with ConvertToYV12()";
  for (unsigned type : {0xA0000308u, 0xA000030Bu, 0xA0000309u, 0xA0000109u, 0xE0000000u}) {
    PClip source = new MemoryClip(MakeVideoInfo(32, 32, static_cast<int>(type)));
    EXPECT_EQ(Refusal(source, {}), refusal) << std::hex << type;
    EXPECT_EQ(source->RefCount(), 1);
  }
}

TEST_F(PluginTest, ClipOperationsPassTheChildThrough) {
  VideoInfo vi = MakeVideoInfo(48, 32, CS_YV12, 12, 30000, 1001);
  vi.audio_samples_per_second = 48000;
  vi.num_audio_samples = 5000000000LL;
  vi.nchannels = 2;
  MemoryClip* memory = new MemoryClip(vi);
  PClip source = memory;
  AVSValue made = env.Call("velmoraine", {source, 5});
  PClip filter = made.AsClip();
  EXPECT_EQ(std::memcmp(&filter->GetVideoInfo(), &vi, sizeof vi), 0);

  memory->SetParity(true);
  EXPECT_TRUE(filter->GetParity(3));
  memory->SetParity(false);
  EXPECT_FALSE(filter->GetParity(3));

  char buffer[16];
  filter->GetAudio(buffer, 4000000000LL, 77, &env);
  const MemoryClip::AudioRequest audio = memory->LastAudioRequest();
  EXPECT_EQ(audio.buf, buffer);
  EXPECT_EQ(audio.start, 4000000000LL);
  EXPECT_EQ(audio.count, 77);

  filter->SetCacheHints(1, 10);  // does nothing, and needs nothing
  EXPECT_EQ(memory->GetFrameCalls(), 0);
}

TEST_F(PluginTest, DestroyingTheFilterReleasesTheChild) {
  PClip source = new MemoryClip(MakeVideoInfo(32, 32, CS_YV12));
  {
    AVSValue made = env.Call("velmoraine", {source});
    EXPECT_EQ(source->RefCount(), 2);
    EXPECT_EQ(made.AsClip()->RefCount(), 2);  // the value and the temporary handle
  }
  EXPECT_EQ(source->RefCount(), 1);
}

}  // namespace
}  // namespace plugin_test
