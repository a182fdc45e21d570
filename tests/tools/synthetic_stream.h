// Synthetic Y4M streams of any layout and depth for the program's tests: a
// gradient with noise on every plane, the same on every machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmoraine::testing {

struct StreamShape {
  int width, height;
  const char* colourTag;  // e.g. "C420p10", or "" for none
  int planes;             // 1 (mono), 3, or 4 (with alpha)
  int chromaShiftX, chromaShiftY;
  int bits;
};

inline int PlaneWidth(const StreamShape& s, int p) {
  return p == 1 || p == 2 ? (s.width + (1 << s.chromaShiftX) - 1) >> s.chromaShiftX : s.width;
}
inline int PlaneHeight(const StreamShape& s, int p) {
  return p == 1 || p == 2 ? (s.height + (1 << s.chromaShiftY) - 1) >> s.chromaShiftY : s.height;
}

// The samples of one frame, plane after plane, as the file holds them
// (16-bit little-endian words above 8 bits).
inline std::string SyntheticFrame(const StreamShape& s, uint32_t seed) {
  std::string bytes;
  const int top = (1 << s.bits) - 1;
  for (int p = 0; p < s.planes; ++p) {
    for (int y = 0; y < PlaneHeight(s, p); ++y) {
      for (int x = 0; x < PlaneWidth(s, p); ++x) {
        seed = seed * 1664525u + 1013904223u;
        const int noise = static_cast<int>(seed >> 24) - 128;  // -128..127
        int v = (top / 4) + (x * 7 + y * 5 + p * 40) * top / 1024 + noise * top / 2048;
        v = v < 0 ? 0 : v > top ? top : v;
        bytes += static_cast<char>(v & 255);
        if (s.bits > 8) bytes += static_cast<char>(v >> 8);
      }
    }
  }
  return bytes;
}

// A whole stream: its header (with an X tag that must pass through), then
// `frames` frames, every third with a FRAME parameter.
inline std::string SyntheticStream(const StreamShape& s, int frames, uint32_t seed) {
  std::string stream = "YUV4MPEG2 W" + std::to_string(s.width) + " H" + std::to_string(s.height) +
                       " F30000:1001 Ip A1:1" + (*s.colourTag ? std::string(" ") + s.colourTag : "") +
                       " XCOLORRANGE=LIMITED\n";
  for (int i = 0; i < frames; ++i)
    stream += std::string(i % 3 == 1 ? "FRAME Ib\n" : "FRAME\n") + SyntheticFrame(s, seed + 977u * i);
  return stream;
}

// FNV-1a, 64 bits: a checksum to compare outputs with earlier revisions'.
inline uint64_t Checksum(const std::string& bytes) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  return h;
}

}  // namespace velmoraine::testing
