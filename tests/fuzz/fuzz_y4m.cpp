// Fuzz target: the Y4M reader on arbitrary bytes.
//
// The input is served from a file in memory. The target reads the header and
// then every frame the way the source clip does: planes of the exposed sizes
// (chroma W/2 x H/2) in memory with a pitch wider than the rows and guard
// bytes around them, the odd chroma column and row in the spill. It checks:
//   - a refused stream gives an Error with a message, and an error inside a
//     frame names that frame's number;
//   - an accepted header respects the reader's limits;
//   - no byte outside the plane regions is written;
//   - writing the frames back reproduces the input byte for byte, up to the
//     last complete frame (everything, after a clean end).
// Frames larger than 1 MiB are not read here, only so that each run stays
// fast; what the reader accepts up to its limits is decided by the header.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "y4m/y4m.h"

namespace {

using velmoraine::y4m::Chroma;
using velmoraine::y4m::Error;
using velmoraine::y4m::PlaneRegion;
using velmoraine::y4m::Reader;
using velmoraine::y4m::StreamHeader;
using velmoraine::y4m::Writer;

constexpr size_t kMaxFrameBytesHere = size_t{1} << 20;
constexpr uint8_t kGuard = 0xA5;
constexpr size_t kGuardBytes = 32;

// A file in memory holding `size` bytes of `data`, read from its start.
int MemoryFile(const char* name, const uint8_t* data, size_t size) {
  const int fd = memfd_create(name, 0);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) {
      close(fd);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string Contents(int fd) {
  std::string out;
  lseek(fd, 0, SEEK_SET);
  char chunk[4096];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(n));
  return out;
}

[[noreturn]] void Fault(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "fuzz_y4m: %s %s\n", what, detail.c_str());
  std::abort();
}

// One plane in memory: `rows` rows of `width` samples of `sample` bytes,
// `pitch` apart, with guard bytes before, between the rows and after.
struct GuardedPlane {
  std::vector<uint8_t> bytes;
  PlaneRegion region;
  size_t rowBytes;

  GuardedPlane(int width, int sample, int rows) : rowBytes(static_cast<size_t>(width) * sample) {
    const ptrdiff_t pitch = static_cast<ptrdiff_t>(rowBytes) + 7;
    bytes.assign(2 * kGuardBytes + static_cast<size_t>(pitch) * rows, kGuard);
    region.data = bytes.data() + kGuardBytes;
    region.pitch = pitch;
    region.width = width;
    region.height = rows;
    for (int y = 0; y < rows; ++y) std::memset(region.data + y * pitch, 0, rowBytes);
  }
  bool GuardsIntact() const {
    auto guard = [&](size_t from, size_t to) {
      for (size_t i = from; i < to; ++i)
        if (bytes[i] != kGuard) return false;
      return true;
    };
    const size_t pitch = static_cast<size_t>(region.pitch), width = rowBytes;
    if (!guard(0, kGuardBytes)) return false;
    for (size_t y = 0; y < static_cast<size_t>(region.height); ++y)
      if (!guard(kGuardBytes + y * pitch + width, kGuardBytes + (y + 1) * pitch)) return false;
    return guard(bytes.size() - kGuardBytes, bytes.size());
  }
};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int in = MemoryFile("y4m-in", data, size);
  const int out = MemoryFile("y4m-out", nullptr, 0);
  if (in < 0 || out < 0) std::abort();

  // The bytes that a complete read accounts for: header, then whole frames.
  size_t accounted = 0;
  {
    Reader reader(in);
    Writer writer(out);
    bool headerRead = false;
    try {
      const StreamHeader& header = reader.ReadHeader();
      headerRead = true;
      if (header.width < 1 || header.height < 1 ||
          header.width > velmoraine::y4m::kMaxDimension ||
          header.height > velmoraine::y4m::kMaxDimension)
        Fault("header outside the limits:", header.line);
      if (header.line.size() > velmoraine::y4m::kMaxStreamHeaderBytes)
        Fault("header line longer than the limit");
      writer.WriteHeader(header);
      accounted = header.line.size() + 1;
      if (header.FrameBytes() > kMaxFrameBytesHere) {
        // Still read one frame line: that must not allocate the frame.
        std::string parameters;
        reader.ReadFrameHeader(parameters);
      } else {
        std::string parameters;
        while (reader.ReadFrameHeader(parameters)) {
          if (parameters.size() > velmoraine::y4m::kMaxFrameHeaderBytes)
            Fault("frame line longer than the limit");
          // Regions smaller than the planes (half the chroma), so that the
          // spill carries the rest.
          std::vector<GuardedPlane> planes;
          PlaneRegion regions[velmoraine::y4m::kMaxPlanes];
          for (int p = 0; p < header.PlaneCount(); ++p) {
            const int width = p == 1 || p == 2 ? header.PlaneWidth(p) / 2 : header.PlaneWidth(p);
            const int rows = p == 1 || p == 2 ? header.PlaneHeight(p) / 2 : header.PlaneHeight(p);
            planes.emplace_back(width, header.BytesPerSample(), rows);
          }
          for (int p = 0; p < header.PlaneCount(); ++p) regions[p] = planes[static_cast<size_t>(p)].region;
          std::vector<uint8_t> spill;
          reader.ReadFrameSamples(regions, spill);
          for (const GuardedPlane& plane : planes)
            if (!plane.GuardsIntact()) Fault("a write outside the plane regions");
          writer.WriteFrame(parameters, regions, spill);
          accounted += 5 + parameters.size() + 1 + header.FrameBytes();
        }
        // A clean end: every byte was part of the stream.
        if (accounted != size) Fault("clean end before the input's end");
      }
    } catch (const Error& e) {
      const std::string message = e.what();
      if (message.empty()) Fault("an error without a message");
      if (headerRead && !Contains(message, "frame " + std::to_string(reader.framesRead())))
        Fault("a frame error that does not name the frame:", message);
    }
    try {
      writer.Finish();
    } catch (const Error&) {
      Fault("writing to memory failed");
    }
  }
  // Everything read was written back unchanged.
  const std::string written = Contents(out);
  close(in);
  close(out);
  if (accounted > 0 && (written.size() != accounted || std::memcmp(written.data(), data, accounted) != 0))
    Fault("the frames written back differ from the input");
  return 0;
}
