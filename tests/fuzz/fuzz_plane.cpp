// Fuzz target: the plane filter.
//
// From the input: a plane of W x H (0..72 x 0..40, mostly 0..24 each) with a pitch of W plus
// 0..40 bytes, the settings T, P (>= 0), lp and hp, and the samples (taken
// from the input, or generated: noise, flat areas, full-range checkers).
// Sometimes the view is made malformed instead (negative size, pitch below
// the width, no data). The plane lies in a buffer with guard bytes before
// it, between its rows and after it.
//
// Checked, for FilterPlane and for every kernel version the build has (each
// set of instruction-set levels the dispatch can be asked for):
//   - the same answer and the same bytes as FilterPlaneReference;
//   - no byte outside the plane changes;
//   - a false answer leaves the plane untouched.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/plane_filter.h"
#include "tests/oracle/oracle.h"

#include "core/cpu.h"
#include "core/stream_dsp.h"

namespace {

using velmoraine::PlaneView;

constexpr size_t kGuardBytes = 64;

uint8_t GuardByte(size_t i) { return static_cast<uint8_t>(0x5A ^ (i * 131)); }

struct Buffer {
  std::vector<uint8_t> bytes;
  uint8_t* plane;  // first sample
};

[[noreturn]] void Fault(const char* what, int W, int H, ptrdiff_t pitch, int32_t T, int32_t P,
                        int32_t lp, int32_t hp, const char* version) {
  std::fprintf(stderr, "fuzz_plane: %s (%s): W=%d H=%d pitch=%td T=%d P=%d lp=%d hp=%d\n", what,
               version, W, H, pitch, T, P, lp, hp);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  // Small planes, which run fast and still hold every case of the pass: the
  // edges, a block row narrower than a vector, several vectors in a row. One
  // in sixteen up to 72 wide (past the widest vector's columns with the
  // edges), one in sixteen up to 40 high; otherwise up to 24 each.
  const uint8_t shape = in.ConsumeIntegral<uint8_t>();
  const int32_t W = in.ConsumeIntegralInRange<int32_t>(0, (shape & 15) == 0 ? 72 : 24);
  const int32_t H = in.ConsumeIntegralInRange<int32_t>(0, (shape & 0xF0) == 0 ? 40 : 24);
  const int32_t extra = in.ConsumeIntegralInRange<int32_t>(0, 40);
  // Settings: small values most of the time, any value sometimes.
  const bool wide = in.ConsumeBool();
  const int32_t T = wide ? in.ConsumeIntegral<int32_t>() : in.ConsumeIntegralInRange<int32_t>(-5, 300);
  const int32_t P = wide ? in.ConsumeIntegralInRange<int32_t>(0, INT32_MAX)
                         : in.ConsumeIntegralInRange<int32_t>(0, 70);
  const int32_t lp = wide ? in.ConsumeIntegral<int32_t>() : in.ConsumeIntegralInRange<int32_t>(-2, 100);
  const int32_t hp = wide ? in.ConsumeIntegral<int32_t>() : in.ConsumeIntegralInRange<int32_t>(-2, 100);
  const uint8_t malformed = in.ConsumeIntegralInRange<uint8_t>(0, 15);
  const uint8_t fill = in.ConsumeIntegralInRange<uint8_t>(0, 3);
  uint32_t seed = in.ConsumeIntegral<uint32_t>();

  ptrdiff_t pitch = W + extra;
  // The buffer is laid out for the well-formed plane; a malformed view
  // points into it the same way.
  const size_t rows = static_cast<size_t>(H);
  const size_t span = rows == 0 ? 0 : (rows - 1) * static_cast<size_t>(pitch) + static_cast<size_t>(W);
  Buffer original;
  original.bytes.resize(2 * kGuardBytes + span);
  for (size_t i = 0; i < original.bytes.size(); ++i) original.bytes[i] = GuardByte(i);
  original.plane = original.bytes.data() + kGuardBytes;
  std::vector<uint8_t> given = in.ConsumeRemainingBytes<uint8_t>();
  size_t k = 0;
  for (int32_t y = 0; y < H; ++y) {
    uint8_t* row = original.plane + y * pitch;
    for (int32_t x = 0; x < W; ++x, ++k) {
      seed = seed * 1664525u + 1013904223u;
      const uint8_t noise = static_cast<uint8_t>(seed >> 24);
      switch (fill) {
        case 0: row[x] = given.empty() ? noise : given[k % given.size()]; break;
        case 1: row[x] = noise; break;
        case 2: row[x] = static_cast<uint8_t>(((x / 16 + y / 16) % 2 ? 200 : 40) + (noise & 15)); break;
        default: row[x] = ((x ^ y) & 1) ? 255 : 0; break;
      }
    }
  }

  PlaneView view{original.plane, pitch, W, H};
  switch (malformed) {
    case 1: view.width = -1 - W; break;
    case 2: view.height = -1 - H; break;
    case 3: if (W > 0 && H > 1) view.pitch = W - 1; break;
    case 4: if (W > 0 && H > 0) view.data = nullptr; break;
    case 5: if (H > 1) view.pitch = -pitch; break;
    default: break;
  }

  auto run = [&](auto&& filter, std::vector<uint8_t>& bytes) {
    bytes = original.bytes;
    PlaneView v = view;
    if (v.data) v.data = bytes.data() + kGuardBytes;
    return filter(v);
  };

  std::vector<uint8_t> expected;
  const bool expectedOk = run(
      [&](const PlaneView& v) { return velmoraine::FilterPlaneReference(v, T, P, lp, hp); }, expected);
  if (!expectedOk && expected != original.bytes)
    Fault("refused plane changed", W, H, view.pitch, T, P, lp, hp, "reference");

  auto check = [&](bool ok, const std::vector<uint8_t>& bytes, const char* version) {
    if (ok != expectedOk) Fault("answer differs from the reference", W, H, view.pitch, T, P, lp, hp, version);
    for (size_t i = 0; i < bytes.size(); ++i) {
      const size_t offset = i - kGuardBytes;  // wraps for the leading guard: outside
      const bool inside = i >= kGuardBytes && i < kGuardBytes + span &&
                          static_cast<ptrdiff_t>(offset % static_cast<size_t>(pitch)) < W;
      if (!inside && bytes[i] != GuardByte(i))
        Fault("a byte outside the plane changed", W, H, view.pitch, T, P, lp, hp, version);
    }
    if (bytes != expected) Fault("bytes differ from the reference", W, H, view.pitch, T, P, lp, hp, version);
  };
  check(expectedOk, expected, "reference");

  std::vector<uint8_t> got;
  const bool ok = run([&](const PlaneView& v) { return velmoraine::FilterPlane(v, T, P, lp, hp); }, got);
  check(ok, got, "FilterPlane");

  // Every other subset of the instruction-set levels (FilterPlane ran with
  // all of them): the plain kernels (mask 0) and each faster version the
  // running processor allows.
  // A level the processor lacks gives the same kernels as the mask without
  // it: those masks are not run twice.
  static const uint32_t detected = velmoraine::DetectCpuFlags();
  for (uint32_t mask = 0; mask < velmoraine::kCpuAllFlags; ++mask) {
    if ((mask & ~velmoraine::kCpuAllFlags) != 0 || (mask & ~detected) != 0) continue;
    velmoraine::PreparedFilter prepared;
    velmoraine::PrepareFilter(T, P, lp, hp, mask, prepared);
    char name[32];
    std::snprintf(name, sizeof name, "kernels for mask %#x", mask);
    const bool versionOk = run([&](const PlaneView& v) { return velmoraine::FilterPlane(v, prepared); }, got);
    check(versionOk, got, name);
  }
  return 0;
}
