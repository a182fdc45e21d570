// A 64-bit Windows test host for velmoraine.dll's plain-C entry, run under
// wine64. Freestanding x86-64 code (no C++ standard library), built like the
// DLL. It loads the stand-in host AviSynth.dll (tests/hosts/avisynth_c, the same
// source as the Linux stand-in) by path; the plug-in then finds the host's
// functions in that already loaded module, as it does in a real one.
//
//   wine64_c_host.exe AVISYNTH_DLL VELMORAINE_DLL EXPECTED_FILE
//
// EXPECTED_FILE comes from windows_c_expected_frames (the Linux build's planes
// for the cases of c_frame_cases.h). The last line is "N passed, N failed".
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "tests/hosts/avisynth_c/standin_api.h"
#include "interface/avisynth_c_interface.h"
#include "tests/windows/c_frame_cases.h"
#include "tests/windows/test_report.h"

extern "C" {
void* __cdecl fopen(const char* path, const char* mode);
size_t __cdecl fread(void* buffer, size_t size, size_t count, void* file);
int __cdecl fclose(void* file);
__declspec(dllimport) void* __stdcall LoadLibraryA(const char* path);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
}

namespace {

using wintest_report::Report;

// The expected file, whole.
uint8_t* expected = nullptr;
size_t expectedSize = 0;

bool LoadExpected(const char* path) {
  void* file = fopen(path, "rb");
  if (file == nullptr) return false;
  size_t capacity = 1 << 20;
  expected = static_cast<uint8_t*>(malloc(capacity));
  size_t got;
  while (expected != nullptr && (got = fread(expected + expectedSize, 1, capacity - expectedSize, file)) > 0) {
    expectedSize += got;
    if (expectedSize == capacity) {
      uint8_t* larger = static_cast<uint8_t*>(malloc(capacity * 2));
      if (larger != nullptr) memcpy(larger, expected, expectedSize);
      free(expected);
      expected = larger;
      capacity *= 2;
    }
  }
  fclose(file);
  if (expected == nullptr || expectedSize < 16 || memcmp(expected, "VMCEXPCT", 8) != 0) return false;
  const uint32_t frames = expected[8] | expected[9] << 8 | expected[10] << 16 | uint32_t(expected[11]) << 24;
  const uint32_t params = expected[12] | expected[13] << 8 | expected[14] << 16 | uint32_t(expected[15]) << 24;
  return frames == uint32_t(wintest_c::kFrameCaseCount) && params == uint32_t(wintest_c::kParamCaseCount);
}

struct Host {
  const StandinApi* api;
  avs_get_frame_func getFrame;
  avs_release_video_frame_func releaseFrame;
  avs_release_clip_func releaseClip;
  avs_clip_get_error_func clipError;
  avs_get_pitch_p_func pitch;
  avs_get_row_size_p_func rowSize;
  avs_get_height_p_func height;
  const uint8_t*(VELMORAINE_AVSC_CC* readPtr)(const AVS_VideoFrame*, int);
};

AVS_Value Int(int32_t v) {
  AVS_Value value = {};
  value.type = AVS_TYPE_INT;
  value.d.integer = v;
  return value;
}

StandinSourceSettings SettingsOf(const wintest_c::FrameCase& c) {
  StandinSourceSettings settings = {};
  settings.width = c.width;
  settings.height = c.height;
  settings.pixel_type = static_cast<int32_t>(c.pixelType);
  settings.num_frames = 2;
  settings.seed = c.seed;
  settings.hold_frames = 1;  // shared frames: the filter must work on a copy
  settings.failing_frame = -1;
  return settings;
}

AVS_Value Invoke(const Host& host, const wintest_c::FrameCase& c, const StandinArgument* args, int count) {
  const StandinSourceSettings settings = SettingsOf(c);
  AVS_Clip* source = host.api->new_source(&settings);
  AVS_Value result = host.api->invoke("velmoraine", source, args, count);
  host.releaseClip(source);
  return result;
}

// Filters frame 0 of every case with every parameter set and compares each
// plane with the Linux build's bytes. Returns a failure description or null.
const char* CompareFrames(const Host& host) {
  static char detail[160];
  const uint8_t* next = expected + 16;
  for (int f = 0; f < wintest_c::kFrameCaseCount; ++f) {
    const wintest_c::FrameCase& c = wintest_c::kFrameCases[f];
    for (int p = 0; p < wintest_c::kParamCaseCount; ++p) {
      const wintest_c::ParamCase& params = wintest_c::kParamCases[p];
      StandinArgument args[4] = {{"T", Int(params.T)}, {"P", Int(params.P)}, {"lp", Int(params.lp)},
                                 {"hp", Int(params.hp)}};
      AVS_Value clip = Invoke(host, c, args, p == 0 ? 0 : 4);
      if (clip.type != AVS_TYPE_CLIP) return "the filter was refused";
      AVS_VideoFrame* frame = host.getFrame(host.api->value_clip(&clip), 0);
      if (frame == nullptr) {
        host.api->release_value(&clip);
        return "no frame";
      }
      const int ids[3] = {AVS_PLANAR_Y, AVS_PLANAR_U, AVS_PLANAR_V};
      bool same = true;
      for (int plane = 0; plane < wintest_c::PlaneCount(c) && same; ++plane) {
        const int32_t width = wintest_c::PlaneWidth(c, plane) * wintest_c::BytesPerSample(c);  // bytes
        const int32_t height = wintest_c::PlaneHeight(c, plane);
        if (host.rowSize(frame, ids[plane]) != width || host.height(frame, ids[plane]) != height) same = false;
        const uint8_t* data = host.readPtr(frame, ids[plane]);
        const int pitch = host.pitch(frame, ids[plane]);
        for (int32_t y = 0; y < height && same; ++y) {
          if (next + width > expected + expectedSize ||
              memcmp(data + static_cast<ptrdiff_t>(y) * pitch, next, static_cast<size_t>(width)) != 0)
            same = false;
          next += width;
        }
      }
      host.releaseFrame(frame);
      host.api->release_value(&clip);
      if (!same) {
        static const char kFormat[] = "frame case 0, parameter set 0 differs";
        memcpy(detail, kFormat, sizeof(kFormat));
        detail[11] = static_cast<char>('0' + f);
        detail[28] = static_cast<char>('0' + p);
        return detail;
      }
    }
  }
  return next == expected + expectedSize ? nullptr : "the expected file holds more planes than were compared";
}

int RunTests(const char* avisynthPath, const char* pluginPath, const char* expectedPath) {
  if (!LoadExpected(expectedPath)) {
    printf("cannot read the expected planes from %s (or they do not match c_frame_cases.h)\n", expectedPath);
    return 2;
  }
  void* avisynth = LoadLibraryA(avisynthPath);
  Report(avisynth != nullptr, "LoadLibrary loads the stand-in AviSynth.dll");
  if (avisynth == nullptr) return 1;
  StandinApiFunc apiFunc = reinterpret_cast<StandinApiFunc>(GetProcAddress(avisynth, "velmoraine_standin_api"));
  if (apiFunc == nullptr) return 1;
  Host host;
  host.api = apiFunc();
  host.getFrame = reinterpret_cast<avs_get_frame_func>(GetProcAddress(avisynth, "avs_get_frame"));
  host.releaseFrame = reinterpret_cast<avs_release_video_frame_func>(GetProcAddress(avisynth, "avs_release_video_frame"));
  host.releaseClip = reinterpret_cast<avs_release_clip_func>(GetProcAddress(avisynth, "avs_release_clip"));
  host.clipError = reinterpret_cast<avs_clip_get_error_func>(GetProcAddress(avisynth, "avs_clip_get_error"));
  host.pitch = reinterpret_cast<avs_get_pitch_p_func>(GetProcAddress(avisynth, "avs_get_pitch_p"));
  host.rowSize = reinterpret_cast<avs_get_row_size_p_func>(GetProcAddress(avisynth, "avs_get_row_size_p"));
  host.height = reinterpret_cast<avs_get_height_p_func>(GetProcAddress(avisynth, "avs_get_height_p"));
  host.readPtr = reinterpret_cast<const uint8_t*(VELMORAINE_AVSC_CC*)(const AVS_VideoFrame*, int)>(
      GetProcAddress(avisynth, "avs_get_read_ptr_p"));

  const char* description = host.api->load_plugin(pluginPath, STANDIN_ENTRY_INIT2);
  Report(description != nullptr, "the DLL loads and avisynth_c_plugin_init2 runs",
         description == nullptr ? host.api->last_error() : "");
  if (description == nullptr) return 1;
  Report(host.api->function_exists("velmoraine") && host.api->function_exists("velmoraine_velmoraine"),
         "velmoraine is registered under its name and the library-prefixed one");

  const char* failure = CompareFrames(host);
  Report(failure == nullptr, "YV12, YV24 and 16-bit 4:2:0 frames equal the Linux build's, byte for byte", failure ? failure : "");

  static const char kNegativeP[] =
      "velmoraine : 'P' incorrect. P=0 -> flat / P=1 -> 1/(1-z) / P=2 -> z/(1-z) / P=3 1+z / "
      "P>10 (z > P) ? 1 : 0";
  StandinArgument negative[1] = {{"P", Int(-1)}};
  AVS_Value refused = Invoke(host, wintest_c::kFrameCases[0], negative, 1);
  Report(refused.type == AVS_TYPE_ERROR && strcmp(refused.d.string, kNegativeP) == 0,
         "a negative P is a script error with the exact message");

  StandinArgument wide[1] = {{"T", {}}};
  wide[0].value.type = AVS_TYPE_LONG;
  wide[0].value.d.longlong = 4294967297LL;
  AVS_Value outOfRange = Invoke(host, wintest_c::kFrameCases[0], wide, 1);
  Report(outOfRange.type == AVS_TYPE_ERROR && memcmp(outOfRange.d.string, "velmoraine: 'T' is out of range", 31) == 0,
         "a 64-bit T beyond 32 bits is a script error naming T");

  const wintest_c::FrameCase yuy2 = {AVS_CS_YUY2, 32, 16, 1u};
  AVS_Value interleaved = Invoke(host, yuy2, nullptr, 0);
  Report(interleaved.type == AVS_TYPE_ERROR && memcmp(interleaved.d.string, "velmoraine: unsupported clip format", 35) == 0,
         "YUY2 is refused with the format message");

  Report(host.api->live_clips() == 0 && host.api->live_frames() == 0, "every clip and frame reference was released");
  const char* fault = host.api->first_violation();
  Report(host.api->violations() == 0, "the host saw no fault", fault ? fault : "");
  return 0;
}

}  // namespace

extern "C" void __cdecl HostStart() {
  wintest_report::RunHost(4, "wine64_c_host.exe AVISYNTH_DLL VELMORAINE_DLL EXPECTED_FILE", [](char** argv) { return RunTests(argv[1], argv[2], argv[3]); });
}
