// velmoraine: denoises a Y4M video stream through the velmoraine plug-in.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "core/version.h"
#include "tools/demo.h"
#include "tools/interrupt.h"
#include "tools/pipeline.h"

namespace {

using velmoraine::tools::RunError;

constexpr const char* kDescription =
    "velmoraine: denoises a Y4M video with the velmoraine plug-in. Every overlapping 8x8\n"
    "block of each plane is transformed, its small coefficients are dropped, and the\n"
    "blocks are put back together, weighted by how many coefficients they lost.";

constexpr const char* kFooter = R"(
IN and OUT are YUV4MPEG2 (Y4M) streams, '-' for standard input and output.
Accepted: 8-bit 4:2:0 (C420jpeg, C420mpeg2, C420paldv, C420 or no C tag) and
8-bit mono (Cmono). The output carries the input's header and FRAME lines
unchanged. In messages, frames are numbered from 0.

--T auto estimates the noise from the luma of the first 10 frames (those are
held back, then filtered) and takes T = 2.8 x sigma; --estimate IN prints
that sigma and T without filtering.

With ffmpeg, through pipes in both directions:
  ffmpeg -i in.mp4 -f yuv4mpegpipe -pix_fmt yuv420p - | velmoraine -q --T auto - - | ffmpeg -f yuv4mpegpipe -i - out.mp4
  ffmpeg -i in.mp4 -f yuv4mpegpipe -pix_fmt yuv420p - | velmoraine --T auto - filtered.y4m
  velmoraine --T 20 noisy.y4m - | ffmpeg -f yuv4mpegpipe -i - -c:v libx264 out.mp4

In chunks (each a whole Y4M stream; join the first whole and the others
without their header line, e.g. 'tail -n +2 part1.y4m'):
  velmoraine --estimate in.y4m                      # prints sigma and T
  velmoraine --T 20 --start 0 --frames 500 in.y4m part0.y4m
  velmoraine --T 20 --start 500 --frames 500 in.y4m part1.y4m

Ctrl-C (or SIGTERM) stops reading, writes the frames already read, says how
many frames the output holds and prints the commands that filter the rest
into a new file and join it on; a second Ctrl-C ends at once, still after a
whole frame.

Try it first: 'velmoraine --demo [DIR]' (DIR default out/demo) makes a noisy
test clip, filters it and prints PSNR before and after.)";

std::string ShowOpenError(const std::string& what, const std::string& path) {
  return "cannot open " + what + " '" + path + "': " + std::strerror(errno);
}

// True when both name the same existing file (also through links).
bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "velmoraine: %s\n", message.c_str());
  return 1;
}

// The check of an integer option: decimal digits with an optional sign,
// from `lowest` to `highest` (or, with `orAuto`, the word auto). The value is
// rewritten plainly for CLI11's conversion, which would read "010" as octal.
CLI::Validator IntegerFrom(int64_t lowest, int64_t highest, bool orAuto = false) {
  const std::string range = "must be an integer from " + std::to_string(lowest) + " to " +
                            std::to_string(highest) + (orAuto ? ", or 'auto'" : "");
  return CLI::Validator(
      [=](std::string& text) {
        if (orAuto && text == "auto") return std::string();
        const char* begin = text.data() + (text.size() > 1 && text[0] == '+' && text[1] != '-' ? 1 : 0);
        const char* end = text.data() + text.size();
        int64_t value = 0;
        const auto [stop, error] = std::from_chars(begin, end, value);
        if (error != std::errc() || stop != end || value < lowest || value > highest)
          return range + (text.empty() ? ", not an empty value" : ", not '" + text + "'");
        text = std::to_string(value);
        return std::string();
      },
      "");
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread starts: Ctrl-C and SIGTERM end a run between frames.
  velmoraine::tools::interrupt::Watch();
  CLI::App app(kDescription, "velmoraine");
  app.footer(kFooter);
  app.get_formatter()->column_width(20);
  velmoraine::tools::RunOptions options;
  velmoraine::tools::FilterSettings& s = options.settings;
  unsigned cores = std::thread::hardware_concurrency();
  options.threads = cores ? static_cast<int>(cores) : 1;
  std::string in, out, threshold = "0", estimate;
  bool demo = false, quiet = false, version = false;

  const CLI::Validator anyInt = IntegerFrom(INT32_MIN, INT32_MAX);
  app.add_option("-T,--T", threshold,
                 "threshold in orthonormal DCT units: smaller in-band coefficients are\n"
                 "dropped; 0 drops none. 'auto': 2.8 x the noise sigma estimated from\n"
                 "the first 10 frames (see --estimate)")
      ->check(IntegerFrom(INT32_MIN, INT32_MAX, true))
      ->type_name("N|auto")
      ->default_str("0");
  app.add_option("-P,--P", s.P,
                 "block weight by its count z of zero coefficients: 0 flat, 1 1024/(65-z),\n"
                 "2 256z/(65-z)+1, 3 z+1, 4..10 flat, >10 a step at z > P")
      ->check(anyInt)
      ->default_val(1);
  app.add_option("--lp", s.lp,
                 "band start: coefficients with lp <= u*u+v*v <= hp are thresholded,\n"
                 "u, v the horizontal and vertical frequency 0..7")
      ->check(anyInt)
      ->default_val(0);
  app.add_option("--hp", s.hp,
                 "band end (see --lp). u*u+v*v runs from 0 (DC) to 98, so lp 0 with\n"
                 "hp 98 or more takes in every coefficient (the default)")
      ->check(anyInt)
      ->default_val(100);
  app.add_option("--plugin", options.pluginPath,
                 "plug-in library (default: the libvelmoraine.so built with this program)");
  app.add_option("-j,--threads", options.threads,
                 "frames filtered at once, reading and writing alongside (default: all cores)")
      ->check(IntegerFrom(1, 256))
      ->type_name("N");
  int64_t start = 0, frames = -1;
  app.add_option("--start", start, "first frame to filter (from 0); the output holds only the chunk")
      ->check(IntegerFrom(0, INT32_MAX - 1))
      ->type_name("N");
  app.add_option("--frames", frames, "how many frames to filter (default: to the end)")
      ->check(IntegerFrom(0, INT32_MAX))
      ->type_name("K");
  app.add_option("--estimate", estimate,
                 "print the noise sigma of IN's luma (first 10 frames) and the T that\n"
                 "--T auto takes, and filter nothing")
      ->type_name("IN");
  app.add_flag("-q,--quiet", quiet, "no progress line, no notes; errors are still reported");
  app.add_flag("--version", version, "print the version and exit");
  app.add_flag("--demo", demo,
               "demo: noisy synthetic clip, filtered, PSNR printed; IN is then the folder\n"
               "for its files (default out/demo)");
  app.add_option("IN", in, "input Y4M file, '-' for standard input");
  app.add_option("OUT", out, "output Y4M file, '-' for standard output");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    // "--lp must be an integer ...", not "--lp: must be ...".
    std::string message = e.what();
    if (const size_t at = message.find(": must be an integer"); at != std::string::npos) message.erase(at, 1);
    std::fprintf(stderr, "velmoraine: %s\nRun 'velmoraine --help' for the options.\n", message.c_str());
    return 2;
  }

  if (version) {
    std::printf("velmoraine %s\n", VELMORAINE_VERSION_STRING);
    return 0;
  }
  // A reader that goes away (e.g. `| head`) is reported, not a silent death;
  // so is a file-size limit (ulimit -f): both are write errors.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);

  options.autoThreshold = threshold == "auto";
  if (!options.autoThreshold) s.T = std::stoi(threshold);  // checked above
  options.quiet = quiet;
  options.start = start;
  options.frames = frames;
  const bool chunk = app.count("--start") > 0 || app.count("--frames") > 0;
  if (options.autoThreshold && chunk) {
    std::fprintf(stderr,
                 "velmoraine: --T auto cannot be used with --start or --frames: every chunk must be\n"
                 "filtered with the same T. Take it from the whole input first, e.g.\n"
                 "  velmoraine --estimate IN\n"
                 "and give it to every chunk with --T.\n");
    return 2;
  }

  try {
    if (options.pluginPath.empty()) options.pluginPath = velmoraine::tools::DefaultPluginPath();
    if (!estimate.empty()) {
      if (!in.empty()) return Fail("--estimate takes one input and no other file");
      int fd = STDIN_FILENO;
      if (estimate != "-") {
        fd = open(estimate.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return Fail(ShowOpenError("input", estimate));
      }
      if (isatty(fd)) return Fail("the input is a terminal; give a Y4M file or pipe one in");
      const velmoraine::tools::NoiseReport report = velmoraine::tools::EstimateStream(fd);
      std::printf("sigma %.2f\nT %d\n", report.sigma, report.threshold);
      if (report.noEstimate)
        std::fprintf(stderr, "velmoraine: no noise estimate: %s\n", report.noEstimate);
      else if (!quiet)
        std::fprintf(stderr, "velmoraine: noise sigma in levels, from the luma of the first %lld frame%s; "
                     "T = 2.8 x sigma, as --T auto takes it\n",
                     static_cast<long long>(report.frames), report.frames == 1 ? "" : "s");
      return 0;
    }
    if (demo) {
      if (!out.empty()) return Fail("--demo takes at most one folder");
      if (app.count("--T") == 0) s.T = velmoraine::tools::kDemoThreshold;
      return velmoraine::tools::RunDemo(in.empty() ? "out/demo" : in, options);
    }
    if (in.empty() || out.empty()) {
      std::fprintf(stderr, "velmoraine: give IN and OUT (or --demo)\n%s",
                   app.help().c_str());
      return 2;
    }

    if (out == "-" && isatty(STDOUT_FILENO))
      return Fail("standard output is a terminal; redirect it to a file or a pipe, or give OUT");

    int input = STDIN_FILENO;
    if (in != "-") {
      input = open(in.c_str(), O_RDONLY | O_CLOEXEC);
      if (input < 0) return Fail(ShowOpenError("input", in));
    }
    if (isatty(input))
      return Fail("the input is a terminal; give a Y4M file or pipe one in, e.g.\n"
                  "  ffmpeg -i INPUT -f yuv4mpegpipe -pix_fmt yuv420p - | velmoraine --T auto - OUT.y4m");
    struct stat inputStat {};
    const bool inputIsFile = fstat(input, &inputStat) == 0 && S_ISREG(inputStat.st_mode);
    if (inputIsFile) {
      // Writing the output over the input would destroy it while reading.
      struct stat outputStat {};
      bool same = out == "-" ? fstat(STDOUT_FILENO, &outputStat) == 0
                             : stat(out.c_str(), &outputStat) == 0;
      if (same && SameFile(inputStat, outputStat))
        return Fail("the output '" + out + "' is the input file; write to another file");
    }

    int output = -1;
    auto openOutput = [&]() -> int {
      if (out == "-") return output = STDOUT_FILENO;
      output = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
      if (output < 0) throw RunError(ShowOpenError("output", out));
      return output;
    };
    options.progress = !quiet && isatty(STDERR_FILENO);
    options.program = argv[0];
    options.inputName = in;
    options.outputName = out;
    if (quiet) options.otherOptions.push_back("-q");
    if (app.count("--threads")) options.otherOptions.insert(options.otherOptions.end(), {"-j", std::to_string(options.threads)});
    if (app.count("--plugin")) options.otherOptions.insert(options.otherOptions.end(), {"--plugin", options.pluginPath});
    int status = 0;
    try {
      velmoraine::tools::FilterStream(input, openOutput, options);
    } catch (const RunError& e) {
      status = Fail(e.what());
    }
    if (output >= 0 && output != STDOUT_FILENO && close(output) != 0 && status == 0)
      status = Fail(std::string("output: write error: ") + std::strerror(errno));
    if (input != STDIN_FILENO) close(input);
    return status;
  } catch (const RunError& e) {
    return Fail(e.what());
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
