// Fuzz target: the Y4M reader on arbitrary bytes, and its seek.
//
// The first three bytes are options, the rest is the stream, served from a
// file in memory:
//   byte 0: the reader's and the writer's buffer, 1 .. 4096 bytes, so that
//           small streams cross refills and the large-read path too;
//   byte 1: bit 7 set: go to frame (byte & 7) with SeekToFrame, as a chunk
//           start does, after a first read through; bit 6: skip the samples
//           of every other frame after the seek (SkipFrameSamples);
//   byte 2: bit 0: the chroma regions one column and one row smaller than
//           the file's planes, the rest going to the spill.
// The read through reads every frame into planes in memory with a pitch
// wider than the rows and guard bytes around them. It checks:
//   - a refused stream gives an Error with a message, and an error inside a
//     frame names that frame's number;
//   - an accepted header respects the reader's limits;
//   - no byte outside the plane regions is written;
//   - writing the frames back reproduces the input byte for byte, up to the
//     last complete frame (everything, after a clean end);
//   - FramesInFile counts the frames of a file of plain FRAME lines that
//     ends cleanly.
// After a seek that reports success, reading on gives the same frames as the
// read through from framesRead() on, and ends the same way.
// Frames larger than 64 KiB are not read here, only so that each run stays
// fast; what the reader accepts up to its limits is decided by the header.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_files.h"
#include "y4m/y4m.h"

namespace {

using velmoraine::fuzz::Contents;
using velmoraine::fuzz::WriteAll;
using velmoraine::y4m::Error;
using velmoraine::y4m::PlaneRegion;
using velmoraine::y4m::Reader;
using velmoraine::y4m::StreamHeader;
using velmoraine::y4m::Writer;

constexpr size_t kMaxFrameBytesHere = size_t{1} << 16;
constexpr uint8_t kGuard = 0xA5;
constexpr size_t kGuardBytes = 32;
constexpr int kPlanes = velmoraine::y4m::kMaxPlanes;

struct Options {
  size_t bufferBytes = 4096;
  bool seek = false;
  int64_t seekTo = 0;
  bool skipAlternate = false;
  bool smallerChroma = false;
};

// A file in memory holding `size` bytes of `data`, read from its start. Two
// files serve every run (the input and the output), emptied each time: made
// once, they save the system calls that would otherwise take half the time.
int MemoryFile(int slot, const uint8_t* data, size_t size) {
  static int files[2] = {-1, -1};
  int& fd = files[slot];
  if (fd < 0) fd = memfd_create(slot == 0 ? "y4m-in" : "y4m-out", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0) std::abort();
  lseek(fd, 0, SEEK_SET);
  if (!WriteAll(fd, data, size)) std::abort();
  lseek(fd, 0, SEEK_SET);
  return fd;
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
  size_t rowBytes = 0;

  void Make(int width, int sample, int rows) {
    rowBytes = static_cast<size_t>(width) * sample;
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
    const size_t pitch = static_cast<size_t>(region.pitch);
    if (!guard(0, kGuardBytes)) return false;
    for (size_t y = 0; y < static_cast<size_t>(region.height); ++y)
      if (!guard(kGuardBytes + y * pitch + rowBytes, kGuardBytes + (y + 1) * pitch)) return false;
    return guard(bytes.size() - kGuardBytes, bytes.size());
  }
};

// Reads the samples of the frame whose FRAME line was just read into
// guarded planes, checks the guards and writes the frame to `writer`.
void ReadAndWriteFrame(Reader& reader, Writer& writer, const std::string& parameters,
                       const Options& options) {
  const StreamHeader& header = reader.header();
  GuardedPlane planes[kPlanes];
  PlaneRegion regions[kPlanes];
  for (int p = 0; p < header.PlaneCount() && p < kPlanes; ++p) {
    const bool chroma = p == 1 || p == 2;
    const int less = chroma && options.smallerChroma ? 1 : 0;
    planes[p].Make(std::max(0, header.PlaneWidth(p) - less), header.BytesPerSample(),
                   std::max(0, header.PlaneHeight(p) - less));
    regions[p] = planes[p].region;
  }
  std::vector<uint8_t> spill;
  reader.ReadFrameSamples(regions, spill);
  for (const GuardedPlane& plane : planes)
    if (!plane.bytes.empty() && !plane.GuardsIntact()) Fault("a write outside the plane regions");
  writer.WriteFrame(parameters, regions, spill);
}

// How a read from some frame on went: the bytes written for each frame (its
// record, FRAME line and samples, as written back), and how it ended.
struct Reading {
  std::vector<std::string> records;  // empty for a skipped frame
  int64_t firstFrame = 0;
  bool cleanEnd = false;
  bool allPlain = true;  // every FRAME line without parameters
  std::string error;
};

// Reads frames from where `reader` stands to the end, writing them back
// through one writer and cutting its output into the frames' records.
void ReadOn(Reader& reader, Reading& reading, const Options& options, bool skipAlternate) {
  reading.firstFrame = reader.framesRead();
  const int out = MemoryFile(1, nullptr, 0);
  std::vector<size_t> lengths;  // of each record written; 0 for a skipped frame
  {
    Writer writer(out, options.bufferBytes);
    writer.WriteHeader(reader.header());
    std::string parameters;
    try {
      while (reader.ReadFrameHeader(parameters)) {
        if (parameters.size() > velmoraine::y4m::kMaxFrameHeaderBytes) Fault("frame line longer than the limit");
        if (!parameters.empty()) reading.allPlain = false;
        if (skipAlternate && lengths.size() % 2 == 1) {
          reader.SkipFrameSamples();
          lengths.push_back(0);
          continue;
        }
        ReadAndWriteFrame(reader, writer, parameters, options);
        lengths.push_back(6 + parameters.size() + reader.header().FrameBytes());
      }
      reading.cleanEnd = true;
    } catch (const Error& e) {
      reading.error = e.what();
      if (reading.error.empty()) Fault("an error without a message");
      if (reading.error.find("frame " + std::to_string(reader.framesRead())) == std::string::npos)
        Fault("a frame error that does not name the frame:", reading.error);
    }
    writer.Finish();
  }
  const std::string written = Contents(out);
  size_t at = reader.header().line.size() + 1;
  for (size_t length : lengths) {
    if (at + length > written.size()) Fault("fewer bytes written than the frames read");
    reading.records.push_back(written.substr(at, length));
    at += length;
  }
  if (at != written.size()) Fault("more bytes written than the frames read");
}

// Reads the header; false (having checked the error's message) when the
// stream is refused.
bool ReadHeader(Reader& reader) {
  try {
    const StreamHeader& header = reader.ReadHeader();
    if (header.width < 1 || header.height < 1 || header.width > velmoraine::y4m::kMaxDimension ||
        header.height > velmoraine::y4m::kMaxDimension)
      Fault("header outside the limits:", header.line);
    if (header.line.size() > velmoraine::y4m::kMaxStreamHeaderBytes) Fault("header line longer than the limit");
    return true;
  } catch (const Error& e) {
    if (std::string(e.what()).empty()) Fault("an error without a message");
    return false;
  }
}

// After SeekToFrame reported success: the frames from there on are the read
// through's, and the reading ends the same way.
void CheckSeek(int in, const Reading& through, const Options& options) {
  lseek(in, 0, SEEK_SET);
  Reader reader(in, options.bufferBytes);
  if (!ReadHeader(reader)) Fault("the header read differently the second time");
  if (!reader.SeekToFrame(options.seekTo)) return;
  const int64_t at = reader.framesRead();
  if (at < 0 || at > options.seekTo) Fault("seek to frame", std::to_string(options.seekTo) + " stood at " + std::to_string(at));
  const int64_t known = static_cast<int64_t>(through.records.size());
  if (through.cleanEnd && at != std::min(options.seekTo, known))
    Fault("seek counted the frames wrong:", std::to_string(at) + " of " + std::to_string(known));
  if (at > known) Fault("seek went past the frames that read through", std::to_string(at));
  Reading after;
  ReadOn(reader, after, options, options.skipAlternate);
  for (size_t i = 0; i < after.records.size(); ++i) {
    const size_t k = static_cast<size_t>(at) + i;
    if (k >= through.records.size()) {
      if (through.cleanEnd) Fault("frames after the seek that a read through does not have");
      return;  // the read through stopped at an error; nothing to compare
    }
    if (!after.records[i].empty() && after.records[i] != through.records[k])
      Fault("a frame after the seek differs from the read through's, frame", std::to_string(k));
  }
  if (after.cleanEnd != through.cleanEnd && after.records.size() + at == through.records.size())
    Fault("the read after the seek ends differently:", after.error + " / " + through.error);
}

Options ParseOptions(const uint8_t* data) {
  Options options;
  // Mostly 16 .. 4096 bytes; one in eight 1 .. 8 (a system call per byte).
  options.bufferBytes = (data[0] & 0xE0) == 0 ? size_t{1} << (data[0] % 4) : size_t{16} << (data[0] % 9);
  options.seek = (data[1] & 0x80) != 0;
  options.seekTo = data[1] & 7;
  options.skipAlternate = (data[1] & 0x40) != 0;
  options.smallerChroma = (data[2] & 1) != 0;
  return options;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const Options options = ParseOptions(data);
  data += 3;
  size -= 3;
  const int in = MemoryFile(0, data, size);
  Reading through;
  bool small = false;
  {
    Reader reader(in, options.bufferBytes);
    if (ReadHeader(reader)) {
      const StreamHeader& header = reader.header();
      small = header.FrameBytes() <= kMaxFrameBytesHere;
      if (small) {
        ReadOn(reader, through, options, false);
      } else {
        // Still read one frame line: that must not allocate the frame.
        std::string parameters;
        try {
          reader.ReadFrameHeader(parameters);
        } catch (const Error&) {
        }
      }
      if (small) {
        // Everything read was written back unchanged.
        std::string written = header.line + "\n";
        for (const std::string& record : through.records) written += record;
        if (written.size() > size || std::memcmp(written.data(), data, written.size()) != 0)
          Fault("the frames written back differ from the input");
        if (through.cleanEnd && written.size() != size) Fault("clean end before the input's end");
        const int64_t counted = reader.FramesInFile();
        if (through.cleanEnd && through.allPlain && counted != static_cast<int64_t>(through.records.size()))
          Fault("FramesInFile miscounts a plain file:", std::to_string(counted));
      }
    }
  }
  if (small && options.seek) CheckSeek(in, through, options);
  return 0;
}
