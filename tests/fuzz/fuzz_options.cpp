// Fuzz target: the program's option table and the chunk it selects.
//
// The program's own main.cpp is compiled into this target (its main renamed)
// so that the very option table, its checks and the checks across options
// are driven, not a copy of them. The input:
//   byte 0: bits 0..3: frames in the generated stream (0 .. 15);
//           bit 4: the stream comes through a pipe, not a file in memory
//           (reading through to the chunk instead of seeking);
//           bit 5: 10-bit samples (C420p10) instead of 8-bit 4:2:0;
//   the rest: the command-line words, separated by NUL bytes.
// It checks:
//   - parsing ends in --help's exit, a usage error or accepted options, and
//     accepted options hold the ranges of their checks (start >= 0,
//     frames >= 0 when given, 1 <= threads <= 256 once 0 is resolved,
//     P >= 0);
//   - a filter run with the accepted options over a 16 x 16 stream writes
//     the stream's header and exactly the chunk's frames (start .. start +
//     frames - 1, cut at the stream's end; none past it), each FRAME line
//     unchanged, and returns that count.
// Options that touch files (--demo, --estimate, the named IN and OUT) are
// parsed and checked, never run: the stream is always a file in memory or a
// pipe, the output a file in memory.
#include <sys/mman.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_files.h"
#include "tools/pipeline.h"

#define main VelmoraineProgramMain
#include "tools/main.cpp"
#undef main

namespace {

constexpr int kWidth = 16, kHeight = 16;

[[noreturn]] void Fault(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "fuzz_options: %s %s\n", what, detail.c_str());
  std::abort();
}

int MemoryFile(const char* name, const std::string& data) {
  const int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) Fault("memfd_create");
  if (!velmoraine::fuzz::WriteAll(fd, data.data(), data.size())) Fault("write");
  lseek(fd, 0, SEEK_SET);
  return fd;
}

// A pipe whose write end already holds the whole stream (it is smaller than
// a pipe's buffer) and is closed.
int PipeOf(const std::string& data) {
  int ends[2];
  if (pipe(ends) != 0) Fault("pipe");
  if (write(ends[1], data.data(), data.size()) != static_cast<ssize_t>(data.size())) Fault("pipe write");
  close(ends[1]);
  return ends[0];
}

struct Stream {
  std::string header, bytes;
  size_t frameBytes = 0;  // FRAME line and samples
};

// A stream of `frames` flat frames of 16 x 16 (8-bit frame i holds 16 i).
Stream MakeStream(int frames, bool deep) {
  Stream s;
  s.header = std::string("YUV4MPEG2 W16 H16 F25:1 Ip A1:1 ") + (deep ? "C420p10" : "C420jpeg") + "\n";
  const size_t samples = (kWidth * kHeight * 3 / 2) * (deep ? 2 : 1);
  s.frameBytes = 6 + samples;
  s.bytes = s.header;
  for (int i = 0; i < frames; ++i) s.bytes += "FRAME\n" + std::string(samples, deep ? '\0' : char(16 * i));
  return s;
}

void CheckAccepted(const CommandLine& c, const CLI::App& app) {
  const velmoraine::tools::RunOptions& o = c.options;
  if (o.start < 0 || o.threads < 1 || o.threads > 256 || o.settings.P < 0) Fault("option out of its range");
  if (app.count("--frames") > 0 && o.frames < 0) Fault("negative --frames accepted");
}

void RunChunk(const CommandLine& c, const Stream& stream, int frames, bool throughPipe) {
  velmoraine::tools::RunOptions options = c.options;
  options.quiet = true;
  options.progress = false;
  options.threads = 1 + options.threads % 2;
  const int in = throughPipe ? PipeOf(stream.bytes) : MemoryFile("in", stream.bytes);
  int out = -1;
  int64_t written = -1;
  try {
    written = velmoraine::tools::FilterStream(in, [&] { return out = MemoryFile("out", ""); }, options);
  } catch (const RunError& e) {
    Fault("a run over a sound stream failed:", e.what());
  }
  close(in);
  const int64_t end = options.frames >= 0 && options.frames <= INT64_MAX - options.start
                          ? std::min<int64_t>(frames, options.start + options.frames)
                          : frames;
  const int64_t expected = std::max<int64_t>(0, end - options.start);
  if (written != expected) Fault("frame count", std::to_string(written) + " vs " + std::to_string(expected));
  const std::string output = out >= 0 ? velmoraine::fuzz::Contents(out) : std::string();
  if (out >= 0) close(out);
  if (output.size() != stream.header.size() + static_cast<size_t>(expected) * stream.frameBytes ||
      output.compare(0, stream.header.size(), stream.header) != 0)
    Fault("output size or header");
  for (int64_t i = 0; i < expected; ++i)
    if (output.compare(stream.header.size() + static_cast<size_t>(i) * stream.frameBytes, 6, "FRAME\n") != 0)
      Fault("FRAME line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 512) return 0;
  const int frames = data[0] & 15;
  const bool throughPipe = data[0] & 16, deep = data[0] & 32;
  std::vector<std::string> words{"velmoraine"};
  std::string word;
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(word), word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  if (size > 1) words.push_back(word);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());

  CLI::App app(kDescription, "velmoraine");
  CommandLine c;
  c.options.threads = 2;
  AddOptions(app, c);
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError&) {
    return 0;  // --help or a usage error: both reported by the program
  }
  if (c.version) return 0;
  if (CheckOptions(app, c) != 0) return 0;
  CheckAccepted(c, app);
  if (!c.estimate.empty() || c.demo) return 0;  // they read or write files
  RunChunk(c, MakeStream(frames, deep), frames, throughPipe);
  return 0;
}
