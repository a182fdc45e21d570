// Fuzz target: the plane filter.
//
// From the input: a plane of W x H (0..72 x 0..40, mostly 0..24 each) of
// 8-bit samples (half the time) or of 9..16-bit words, with a pitch of W plus
// 0..40 samples, the settings T, P (>= 0), lp and hp, and the samples (taken
// from the input, words above the depth's range included, or generated:
// noise, flat areas, full-range checkers).
// Sometimes the view is made malformed instead (negative size, pitch below
// the width, no data, an odd pitch for words). The plane lies in a buffer with guard bytes before
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
#include <type_traits>
#include <vector>

#include "core/plane_filter.h"
#include "tests/oracle/oracle.h"

#include "core/cpu.h"
#include "core/stream_dsp.h"

namespace {

using velmoraine::PlaneView;
using velmoraine::PlaneView16;

constexpr size_t kGuardBytes = 64;

uint8_t GuardByte(size_t i) { return static_cast<uint8_t>(0x5A ^ (i * 131)); }

// One case: the plane's shape and depth, the settings, and the buffer that
// holds the plane (pitch in bytes) with its guard bytes.
struct Case {
  int32_t W, H, bits;
  int32_t T, P, lp, hp;
  ptrdiff_t pitch;
  size_t span;  // bytes from the first sample to the end of the last row
  std::vector<uint8_t> original;
};

[[noreturn]] void Fault(const char* what, const Case& c, ptrdiff_t pitch, const char* version) {
  std::fprintf(stderr, "fuzz_plane: %s (%s): W=%d H=%d bits=%d pitch=%td T=%d P=%d lp=%d hp=%d\n", what,
               version, c.W, c.H, c.bits, pitch, c.T, c.P, c.lp, c.hp);
  std::abort();
}

// The sample at (x, y) for fill mode `fill`: from the input, noise, flat
// areas with a little noise, or a checker of 0 and the depth's largest value.
// Words from the input keep all 16 bits, so some lie above the depth's range.
uint32_t Sample(int fill, const std::vector<uint8_t>& given, size_t k, int32_t x, int32_t y, int32_t bits,
                uint32_t& seed) {
  seed = seed * 1664525u + 1013904223u;
  const uint32_t noise = (seed >> 8) & ((1u << bits) - 1);
  const uint32_t top = (1u << bits) - 1;
  switch (fill) {
    case 0: {
      if (given.empty()) return noise;
      if (bits == 8) return given[k % given.size()];
      return given[(2 * k) % given.size()] | uint32_t{given[(2 * k + 1) % given.size()]} << 8;
    }
    case 1: return noise;
    case 2: return ((((x / 16 + y / 16) % 2) ? 200u : 40u) << (bits - 8)) + (noise & 15);
    default: return ((x ^ y) & 1) ? top : 0;
  }
}

void FillPlane(Case& c, int fill, uint32_t seed, const std::vector<uint8_t>& given) {
  c.original.resize(2 * kGuardBytes + c.span);
  for (size_t i = 0; i < c.original.size(); ++i) c.original[i] = GuardByte(i);
  uint8_t* plane = c.original.data() + kGuardBytes;
  size_t k = 0;
  for (int32_t y = 0; y < c.H; ++y) {
    for (int32_t x = 0; x < c.W; ++x, ++k) {
      const uint32_t v = Sample(fill, given, k, x, y, c.bits, seed);
      if (c.bits == 8) {
        plane[y * c.pitch + x] = static_cast<uint8_t>(v);
      } else {
        const uint16_t word = static_cast<uint16_t>(v);
        std::memcpy(plane + y * c.pitch + 2 * x, &word, 2);
      }
    }
  }
}

// Whether byte i of the buffer belongs to the plane's samples.
bool Inside(const Case& c, size_t i) {
  const size_t offset = i - kGuardBytes;  // wraps for the leading guard: outside
  const size_t rowBytes = static_cast<size_t>(c.W) * (c.bits == 8 ? 1 : 2);
  return i >= kGuardBytes && i < kGuardBytes + c.span && offset % static_cast<size_t>(c.pitch) < rowBytes;
}

// The view of the plane in `bytes`, made malformed as `malformed` says.
template <typename View>
View MakeView(const Case& c, uint8_t malformed, uint8_t* bytes) {
  View view{};
  using Sample = std::remove_pointer_t<decltype(view.data)>;
  view.data = bytes ? reinterpret_cast<Sample*>(bytes + kGuardBytes) : nullptr;
  view.pitch = c.pitch;
  view.width = c.W;
  view.height = c.H;
  if constexpr (sizeof(*view.data) == 2) view.bits = c.bits;
  switch (malformed) {
    case 1: view.width = -1 - c.W; break;
    case 2: view.height = -1 - c.H; break;
    case 3: if (c.W > 0 && c.H > 1) view.pitch = c.bits == 8 ? c.W - 1 : 2 * c.W - 2; break;
    case 4: if (c.W > 0 && c.H > 0) view.data = nullptr; break;
    case 5: if (c.H > 1) view.pitch = -c.pitch; break;
    case 6: if (c.bits > 8 && c.H > 1) view.pitch = c.pitch - 1; break;
    default: break;
  }
  return view;
}

// Runs the reference, FilterPlane and every set of kernel versions the build
// has on the case's plane, and checks each against the reference.
template <typename View>
void CheckEveryVersion(const Case& c, uint8_t malformed) {
  const ptrdiff_t pitch = MakeView<View>(c, malformed, nullptr).pitch;
  auto run = [&](auto&& filter, std::vector<uint8_t>& bytes) {
    bytes = c.original;
    return filter(MakeView<View>(c, malformed, bytes.data()));
  };
  std::vector<uint8_t> expected;
  const bool expectedOk =
      run([&](const View& v) { return velmoraine::FilterPlaneReference(v, c.T, c.P, c.lp, c.hp); }, expected);
  if (!expectedOk && expected != c.original) Fault("refused plane changed", c, pitch, "reference");

  auto check = [&](bool ok, const std::vector<uint8_t>& bytes, const char* version) {
    if (ok != expectedOk) Fault("answer differs from the reference", c, pitch, version);
    for (size_t i = 0; i < bytes.size(); ++i)
      if (!Inside(c, i) && bytes[i] != GuardByte(i)) Fault("a byte outside the plane changed", c, pitch, version);
    if (bytes != expected) Fault("bytes differ from the reference", c, pitch, version);
  };
  check(expectedOk, expected, "reference");

  std::vector<uint8_t> got;
  const bool ok = run([&](const View& v) { return velmoraine::FilterPlane(v, c.T, c.P, c.lp, c.hp); }, got);
  check(ok, got, "FilterPlane");

  // Every other subset of the instruction-set levels (FilterPlane ran with
  // all of them): the plain kernels (mask 0) and each faster version the
  // running processor allows. A level the processor lacks gives the same
  // kernels as the mask without it: those masks are not run twice.
  static const uint32_t detected = velmoraine::DetectCpuFlags();
  for (uint32_t mask = 0; mask < velmoraine::kCpuAllFlags; ++mask) {
    if ((mask & ~velmoraine::kCpuAllFlags) != 0 || (mask & ~detected) != 0) continue;
    velmoraine::PreparedFilter prepared;
    velmoraine::PrepareFilter(c.T, c.P, c.lp, c.hp, c.bits, mask, prepared);
    char name[32];
    std::snprintf(name, sizeof name, "kernels for mask %#x", mask);
    check(run([&](const View& v) { return velmoraine::FilterPlane(v, prepared); }, got), got, name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  // Small planes, which run fast and still hold every case of the pass: the
  // edges, a block row narrower than a vector, several vectors in a row. One
  // in sixteen up to 72 wide (past the widest vector's columns with the
  // edges), one in sixteen up to 40 high; otherwise up to 24 each.
  Case c;
  const uint8_t shape = in.ConsumeIntegral<uint8_t>();
  c.W = in.ConsumeIntegralInRange<int32_t>(0, (shape & 15) == 0 ? 72 : 24);
  c.H = in.ConsumeIntegralInRange<int32_t>(0, (shape & 0xF0) == 0 ? 40 : 24);
  const int32_t extra = in.ConsumeIntegralInRange<int32_t>(0, 40);
  // Settings: small values most of the time, any value sometimes.
  const bool any = in.ConsumeBool();
  c.T = any ? in.ConsumeIntegral<int32_t>() : in.ConsumeIntegralInRange<int32_t>(-5, 300);
  c.P = any ? in.ConsumeIntegralInRange<int32_t>(0, INT32_MAX) : in.ConsumeIntegralInRange<int32_t>(0, 70);
  c.lp = any ? in.ConsumeIntegral<int32_t>() : in.ConsumeIntegralInRange<int32_t>(-2, 100);
  c.hp = any ? in.ConsumeIntegral<int32_t>() : in.ConsumeIntegralInRange<int32_t>(-2, 100);
  const uint8_t malformed = in.ConsumeIntegralInRange<uint8_t>(0, 15);
  const uint8_t fill = in.ConsumeIntegralInRange<uint8_t>(0, 3);
  const uint32_t seed = in.ConsumeIntegral<uint32_t>();
  // 8-bit samples half the time, else words of 9..16 bits.
  c.bits = in.ConsumeBool() ? 8 : in.ConsumeIntegralInRange<int32_t>(9, 16);

  const size_t sampleBytes = c.bits == 8 ? 1 : 2;
  c.pitch = static_cast<ptrdiff_t>((c.W + extra) * sampleBytes);
  // The buffer is laid out for the well-formed plane; a malformed view
  // points into it the same way.
  c.span = c.H == 0 ? 0 : static_cast<size_t>(c.H - 1) * static_cast<size_t>(c.pitch) + c.W * sampleBytes;
  FillPlane(c, fill, seed, in.ConsumeRemainingBytes<uint8_t>());
  if (c.bits == 8)
    CheckEveryVersion<PlaneView>(c, malformed);
  else
    CheckEveryVersion<PlaneView16>(c, malformed);
  return 0;
}
