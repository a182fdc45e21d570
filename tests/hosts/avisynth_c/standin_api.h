// The test side of the stand-in plain-C host (libavisynth.so.11 on Linux,
// AviSynth.dll on Windows). Tests load the library by path with local scope,
// as real applications do, and reach this table through the one extra symbol
// the library exports, velmoraine_standin_api; the host's own functions
// (avs_get_frame, avs_get_read_ptr_p, ...) they look up by name like any
// other caller.
//
// The stand-in is strict where the host is lenient: it counts every clip and
// frame reference and reports a leak or a second release, checks guard bytes
// after every row of every frame, hands out a private copy from
// avs_make_writable whenever a frame is shared, poisons the temporary
// environment after the calls it was lent for, asks a new filter the cache
// hints the host asks (the MT mode among them; every other hint must be
// answered with 0), reports an error text (create or frame) that is neither a
// literal nor a string saved with avs_save_string, and a call into the
// plug-in that leaves the SSE control register changed.
//
// Freestanding: the same source builds the Windows stand-in.
#pragma once

#include <stdint.h>

#include "interface/avisynth_c_interface.h"

extern "C" {

// A source clip whose frames the stand-in makes: every sample of plane p
// (0 = Y, 1 = U, 2 = V, 3 = A; planar RGB: 0 = G, 1 = B, 2 = R, 3 = A) at
// (x, y) of frame n is StandinSample(seed, n, p, x, y), or
// StandinSample16(seed, n, p, x, y, bits) at 10 to 16 bits.
typedef struct StandinSourceSettings {
  int32_t width;
  int32_t height;
  int32_t pixel_type;
  int32_t num_frames;
  uint32_t seed;
  // Non-zero: the source keeps a reference to every frame it serves, as a
  // host's cache does, so the frames a filter receives are shared.
  int32_t hold_frames;
  // A frame number the source cannot deliver (avs_get_frame returns null with
  // a clip error), or -1.
  int32_t failing_frame;
  // The frame property "_velmoraine_test" of frame n is property_base + n.
  int64_t property_base;
  // Non-zero: avs_new_c_filter refuses this clip as a child, with an error
  // whose text belongs to the temporary environment of the call.
  int32_t refuse_as_child;
} StandinSourceSettings;

// One argument of an invocation: positional when name is null.
typedef struct StandinArgument {
  const char* name;
  AVS_Value value;
} StandinArgument;

enum {
  STANDIN_ENTRY_INIT = 1,   // avisynth_c_plugin_init: 64-bit values arrive narrowed
  STANDIN_ENTRY_INIT2 = 2,  // avisynth_c_plugin_init2: 64-bit values arrive as they are
};

typedef struct StandinApi {
  // Opens a plug-in library (local scope) and calls the named entry with a
  // temporary environment. Returns the entry's description, or null (then
  // last_error says why).
  const char* (*load_plugin)(const char* path, int entry);
  const char* (*last_error)(void);
  int (*function_exists)(const char* name);
  // A new source clip, one reference for the caller.
  AVS_Clip* (*new_source)(const StandinSourceSettings* settings);
  // Calls a registered function on `clip` and further arguments, checked
  // against its parameter string as the host checks them. The result is a
  // clip value (release it with release_value) or an error value.
  AVS_Value (*invoke)(const char* function, AVS_Clip* clip, const StandinArgument* arguments, int count);
  void (*release_value)(AVS_Value* value);
  AVS_Clip* (*value_clip)(const AVS_Value* value);  // the clip of a clip value, no new reference
  // What the filter answered to the MT-mode query when it was made
  // (0 when it has no set_cache_hints).
  int (*mt_mode)(AVS_Clip* clip);
  int64_t (*frame_property)(const AVS_VideoFrame* frame);
  // Live references of every kind, for leak checks.
  int64_t (*live_clips)(void);
  int64_t (*live_frames)(void);
  // Faults seen so far (second releases, overwritten guard bytes, a frame
  // returned with an error, a temporary environment used too late, ...) and
  // the first one's description.
  int64_t (*violations)(void);
  const char* (*first_violation)(void);
  // Forgets registered functions, saved strings and faults (not live counts).
  void (*reset)(void);
  // What the end of a script frees, for callers that run many scripts on one
  // loaded plug-in: the saved strings and, when no clip or frame is live,
  // every released object and lent environment (a late use of one is then a
  // use-after-free, for a sanitizer to see). Registered functions stay.
  void (*end_script)(void);
} StandinApi;

typedef const StandinApi* (*StandinApiFunc)(void);

}  // extern "C"

// Bits per sample as a host decodes pixel_type bits 16-18: 0 is 8 bits,
// 5/6/7 are 10/12/14, 1 is 16, 2 is 32-bit float; 3 and 4 are unused (0).
// Written out here, not taken from the plug-in's own decoding, so that a
// wrong code on the plug-in's side makes the host and the plug-in disagree.
inline int StandinSampleBits(uint32_t pixelType) {
  switch ((pixelType >> 16) & 7u) {
    case 0: return 8;
    case 5: return 10;
    case 6: return 12;
    case 7: return 14;
    case 1: return 16;
    case 2: return 32;
    default: return 0;
  }
}

// The samples of a stand-in source: gradients and blocky edges with hashed
// noise, so that thresholding has something to remove and something to keep.
inline uint8_t StandinSample(uint32_t seed, int32_t n, int plane, int32_t x, int32_t y) {
  uint32_t h = seed * 0x9E3779B1u + static_cast<uint32_t>(n) * 0x7FEB352Du + static_cast<uint32_t>(plane) * 0x85EBCA77u;
  h ^= static_cast<uint32_t>(x) * 0xC2B2AE3Du;
  h ^= static_cast<uint32_t>(y) * 0x27D4EB2Fu;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  uint32_t base = static_cast<uint32_t>(x * 3 + y * 2) + seed * 17u + static_cast<uint32_t>(plane) * 40u;
  if (((x / 8) + (y / 5)) % 3 == 0) base += 60u;
  return static_cast<uint8_t>((base & 0xFFu) ^ (h >> 28));
}

// The same picture at `bits` (10 to 16) bits per sample: StandinSample in the
// high bits, hashed noise in the low ones, and here and there the word 0xFFFF,
// above 2^bits - 1 below 16 bits (hosts do not clamp samples).
inline uint16_t StandinSample16(uint32_t seed, int32_t n, int plane, int32_t x, int32_t y, int bits) {
  if ((x * 7 + y * 13 + n * 3 + plane) % 89 == 0) return 0xFFFFu;
  const uint32_t high = static_cast<uint32_t>(StandinSample(seed, n, plane, x, y)) << (bits - 8);
  const uint32_t noise = StandinSample(seed + 1u, n, plane, y, x) * 0x0101u;
  return static_cast<uint16_t>(high | (noise & ((1u << (bits - 8)) - 1u)));
}
