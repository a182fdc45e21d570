// The environment's services: messages, loading, and the binary shape of the
// interface classes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/hosts/avisynth25/frame_server.h"

using namespace velmoraine::host;

TEST(Environment, ThrowErrorFormatsAndTheMessageOutlivesTheThrow) {
  ScriptEnvironment env;
  const char* first = nullptr;
  try {
    env.ThrowError("plane %c of %dx%d: %s", 'U', 360, 288, "bad");
  } catch (const AvisynthError& e) {
    first = e.msg;
  }
  ASSERT_NE(first, nullptr);
  try {
    env.ThrowError("%s", std::string(5000, 'x').c_str());
  } catch (const AvisynthError& e) {
    EXPECT_EQ(std::strlen(e.msg), 5000u);
  }
  EXPECT_STREQ(first, "plane U of 360x288: bad");  // still valid
  EXPECT_STREQ(env.Sprintf("%d-%s", 4, "x"), "4-x");
  EXPECT_STREQ(env.SaveString("abcdef", 3), "abc");
}

TEST(Environment, VariablesHoldValuesAndClipReferences) {
  ScriptEnvironment env;
  PClip clip = new MemoryClip(MakeVideoInfo(16, 16, CS_YV12));
  env.SetVar("source", AVSValue(clip));
  EXPECT_EQ(clip->RefCount(), 2);
  EXPECT_EQ(env.GetVar("source").AsClip().Get(), clip.Get());
  EXPECT_THROW(env.GetVar("missing"), AvisynthError);
  env.SetVar("source", AVSValue(3));
  EXPECT_EQ(clip->RefCount(), 1);
}

TEST(Environment, LoadPluginRefusesMissingFilesAndLibrariesWithoutTheEntryPoint) {
  ScriptEnvironment env;
  try {
    env.LoadPlugin("/nonexistent/libnothing.so");
    FAIL() << "loaded";
  } catch (const AvisynthError& e) {
    EXPECT_NE(std::string(e.msg).find("cannot load plug-in '/nonexistent/libnothing.so'"),
              std::string::npos)
        << e.msg;
  }
  try {
    env.LoadPlugin(NOT_A_PLUGIN_PATH);
    FAIL() << "loaded";
  } catch (const AvisynthError& e) {
    EXPECT_NE(std::string(e.msg).find("has no AvisynthPluginInit2"), std::string::npos) << e.msg;
  }
  EXPECT_TRUE(env.Functions().empty());
}

TEST(Environment, MemoryClipServesFramesByNumberAndItsFaultHook) {
  ScriptEnvironment env;
  MemoryClip* memory = new MemoryClip(MakeVideoInfo(16, 16, CS_YV12, 3));
  PClip clip = memory;
  PVideoFrame f = env.NewVideoFrame(clip->GetVideoInfo());
  memory->SetFrame(1, f);
  EXPECT_EQ(clip->GetFrame(1, &env).Get(), f.Get());
  EXPECT_EQ(clip->GetFrame(7, &env).Get(), clip->GetFrame(2, &env).Get());  // clamped
  EXPECT_EQ(PlaneBytes(clip->GetFrame(0, &env), PLANAR_Y)[5], 16);       // black
  memory->SetGetFrameFault(true);
  EXPECT_THROW(clip->GetFrame(0, &env), AvisynthError);
}

#if defined(__x86_64__) && defined(__GNUC__)
namespace {

// Vtable slot of a virtual member function under the Itanium C++ ABI: the
// member pointer holds 1 + the slot's byte offset.
template <typename F>
long Slot(F f) {
  static_assert(sizeof(F) == 2 * sizeof(void*));
  uintptr_t raw[2];
  std::memcpy(raw, &f, sizeof raw);
  return static_cast<long>((raw[0] - 1) / sizeof(void*));
}

}  // namespace

TEST(InterfaceLayout, VtableSlotsMatchTheHostsOnLinux) {
  EXPECT_EQ(Slot(&IScriptEnvironment::GetCPUFlags), 2);
  EXPECT_EQ(Slot(&IScriptEnvironment::SaveString), 3);
  EXPECT_EQ(Slot(&IScriptEnvironment::ThrowError), 6);
  EXPECT_EQ(Slot(&IScriptEnvironment::AddFunction), 7);
  EXPECT_EQ(Slot(&IScriptEnvironment::Invoke), 9);
  EXPECT_EQ(Slot(&IScriptEnvironment::NewVideoFrame), 15);
  EXPECT_EQ(Slot(&IScriptEnvironment::MakeWritable), 16);
  EXPECT_EQ(Slot(&IClip::GetVersion), 0);
  EXPECT_EQ(Slot(&IClip::GetFrame), 1);
  EXPECT_EQ(Slot(&IClip::GetParity), 2);
  EXPECT_EQ(Slot(&IClip::GetAudio), 3);
  EXPECT_EQ(Slot(&IClip::SetCacheHints), 4);
  EXPECT_EQ(Slot(&IClip::GetVideoInfo), 5);
}
#endif

TEST(InterfaceLayout, ScriptValuesCopyShallowlyAndCountClipReferences) {
  PClip clip = new MemoryClip(MakeVideoInfo(16, 16, CS_YV12));
  {
    AVSValue a(clip);
    AVSValue b = a;
    AVSValue c;
    c = b;
    AVSValue& same = c;
    c = same;  // self-assignment keeps the reference
    EXPECT_EQ(clip->RefCount(), 4);
    const AVSValue items[2] = {a, AVSValue(5)};
    AVSValue array(items, 2);
    AVSValue copy = array;  // shallow: no new clip reference
    EXPECT_EQ(clip->RefCount(), 5);
    EXPECT_EQ(copy[1].AsInt(), 5);
    EXPECT_FALSE(copy[2].IsInt());  // out of range: absent
    EXPECT_FLOAT_EQ(copy[1].AsFloat(), 5.0f);
  }
  EXPECT_EQ(clip->RefCount(), 1);
}
