// velmoraine: denoises a Y4M video stream through the velmoraine plug-in.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "tools/demo.h"
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

With ffmpeg, through pipes in both directions:
  ffmpeg -i in.mp4 -f yuv4mpegpipe -pix_fmt yuv420p - | velmoraine --T 10 - - | ffmpeg -f yuv4mpegpipe -i - out.mp4
  ffmpeg -i in.mp4 -f yuv4mpegpipe -pix_fmt yuv420p - | velmoraine --T 10 - filtered.y4m
  velmoraine --T 10 noisy.y4m - | ffmpeg -f yuv4mpegpipe -i - -c:v libx264 out.mp4

Try it first: 'velmoraine --demo DIR' makes a noisy test clip, filters it and
prints PSNR before and after.)";

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

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "velmoraine");
  app.footer(kFooter);
  app.get_formatter()->column_width(20);
  velmoraine::tools::RunOptions options;
  velmoraine::tools::FilterSettings& s = options.settings;
  unsigned cores = std::thread::hardware_concurrency();
  options.threads = cores ? static_cast<int>(cores) : 1;
  std::string in, out;
  bool demo = false;

  // CLI11 reads an empty value for a number as no value at all: refuse it.
  const CLI::Validator notEmpty(
      [](std::string& value) {
        return value.empty() ? std::string("an integer is expected, not an empty value") : std::string();
      },
      "");

  app.add_option("-T,--T", s.T,
                 "threshold in orthonormal DCT units: smaller in-band coefficients are\n"
                 "dropped; 0 drops none. Try 2-3 x the noise's sigma in levels")
      ->check(notEmpty)
      ->default_val(0);
  app.add_option("-P,--P", s.P,
                 "block weight by its count z of zero coefficients: 0 flat, 1 1024/(65-z),\n"
                 "2 256z/(65-z)+1, 3 z+1, 4..10 flat, >10 a step at z > P")
      ->check(notEmpty)
      ->default_val(1);
  app.add_option("--lp", s.lp,
                 "band start: coefficients with lp <= u*u+v*v <= hp are thresholded,\n"
                 "u, v the horizontal and vertical frequency 0..7")
      ->check(notEmpty)
      ->default_val(0);
  app.add_option("--hp", s.hp, "band end (see --lp); 0..98 covers all")
      ->check(notEmpty)
      ->default_val(100);
  app.add_option("--plugin", options.pluginPath,
                 "plug-in library (default: the libvelmoraine.so built with this program)");
  app.add_option("-j,--threads", options.threads,
                 "frames filtered at once, reading and writing alongside (default: all cores)")
      ->check(CLI::Range(1, 256).description(""))
      ->type_name("N");
  app.add_flag("--demo", demo,
               "demo: noisy synthetic clip, filtered, PSNR printed; IN is then the folder\n"
               "for its files (default velmoraine-demo)");
  app.add_option("IN", in, "input Y4M file, '-' for standard input");
  app.add_option("OUT", out, "output Y4M file, '-' for standard output");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    std::fprintf(stderr, "velmoraine: %s\nRun 'velmoraine --help' for the options.\n", e.what());
    return 2;
  }

  // A reader that goes away (e.g. `| head`) is reported, not a silent death.
  signal(SIGPIPE, SIG_IGN);

  try {
    if (options.pluginPath.empty()) options.pluginPath = velmoraine::tools::DefaultPluginPath();
    if (demo) {
      if (!out.empty()) return Fail("--demo takes at most one folder");
      if (app.count("--T") == 0) s.T = velmoraine::tools::kDemoThreshold;
      return velmoraine::tools::RunDemo(in.empty() ? "velmoraine-demo" : in, options);
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
    options.progress = isatty(STDERR_FILENO);
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
