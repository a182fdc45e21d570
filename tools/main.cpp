// velmoraine: denoises a Y4M video stream with the plane filter, built in.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
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
    "velmoraine: denoises a Y4M video. Every overlapping 8x8\n"
    "block of each plane is transformed, its small coefficients are dropped, and the\n"
    "blocks are put back together, weighted by how many coefficients they lost.";

constexpr const char* kFooter = R"(
IN and OUT are YUV4MPEG2 (Y4M) streams, '-' for standard input and output.
Accepted at 8 bits: 4:2:0 (C420jpeg, C420mpeg2, C420paldv, C420 or no C tag),
C411, C422, C444, C444alpha (alpha passes through) and Cmono; at 9 to 16 bits:
C420pN, C422pN, C444pN and CmonoN (little-endian words, as ffmpeg writes them).
The output carries the input's header and FRAME lines unchanged. In messages,
frames are numbered from 0.

By default (--T auto) the noise is estimated from the luma of the first 10
frames, or as many as --memory holds (those are held back, then filtered),
and T = 2.8 x sigma is taken and printed; --estimate IN, given the same
--memory, prints that sigma and T without filtering. Sigma and T
are in 8-bit levels at every depth: 10-bit noise of sigma 40 reads as sigma
10. --T 0 drops nothing: the output is the input, rebuilt.

Interlaced streams (It, Ib) are filtered by field: the rows of each parity of
every plane (top: rows 0, 2, 4, ...) as a picture of their own, so that the
blocks never mix the two fields; --progressive filters whole frames instead.
Mixed streams (Im) are filtered as progressive ones, with a note.

With ffmpeg, through pipes in both directions:
  ffmpeg -i in.mp4 -f yuv4mpegpipe -pix_fmt yuv420p - | velmoraine -q --T auto - - | ffmpeg -f yuv4mpegpipe -i - out.mp4
  ffmpeg -i in.mp4 -f yuv4mpegpipe -pix_fmt yuv420p - | velmoraine --T auto - filtered.y4m
  velmoraine --T 20 noisy.y4m - | ffmpeg -f yuv4mpegpipe -i - -c:v libx264 out.mp4
At 10 bits, in and out:
  ffmpeg -i in.mkv -f yuv4mpegpipe -strict -1 -pix_fmt yuv420p10le - | velmoraine -q --T auto - - | ffmpeg -f yuv4mpegpipe -i - -c:v libx265 out.mkv

In chunks (each a whole Y4M stream; join the first whole and the others
without their header line, e.g. 'tail -n +2 part1.y4m'), all with the T that
--estimate prints (--T auto would estimate each chunk's own):
  velmoraine --estimate in.y4m                      # prints sigma and T, say T 20
  velmoraine --T 20 --start 0 --frames 500 in.y4m part0.y4m
  velmoraine --T 20 --start 500 --frames 500 in.y4m part1.y4m

Ctrl-C (or SIGTERM) stops reading, writes the frames already read, says how
many frames the output holds and prints the commands that filter the rest
into a new file and join it on (before the first frame is filtered, e.g.
while --T auto holds its frames back, it says nothing was written and how to
run again); a second Ctrl-C ends at once, still after a whole frame.

Exit status: 0 when every frame was written; 1 for a refused or damaged
input or a failed write; 2 for a usage error.

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

// Everything the command line gives.
struct CommandLine {
  velmoraine::tools::RunOptions options;
  std::string program = "velmoraine";  // as it was called
  std::string in, out, threshold = "auto", estimate, plugin;
  bool demo = false, quiet = false, version = false;
  bool threadsGiven = false;
};

// The option table.
void AddOptions(CLI::App& app, CommandLine& c) {
  velmoraine::tools::FilterSettings& s = c.options.settings;
  const CLI::Validator anyInt = IntegerFrom(INT32_MIN, INT32_MAX);
  app.add_option("-T,--T", c.threshold,
                 "threshold in orthonormal DCT units, in 8-bit levels at every depth:\n"
                 "smaller in-band coefficients are dropped; 0 drops none. 'auto' (the\n"
                 "default): 2.8 x the noise sigma estimated from the first 10 frames\n"
                 "filtered (fewer if --memory holds fewer), and printed (see --estimate)")
      ->check(IntegerFrom(INT32_MIN, INT32_MAX, true))
      ->type_name("N|auto")
      ->default_str("auto");
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
  app.add_option("-j,--threads", c.options.threads,
                 "frames filtered at once, 0 to 256, reading and writing alongside;\n"
                 "0 (the default) takes one per core")
      ->check(IntegerFrom(0, 256))
      ->type_name("N");
  app.add_option_function<int64_t>(
         "--memory", [&c](int64_t mib) { c.options.memoryBudget = static_cast<uint64_t>(mib) << 20; },
         "MiB the frames held at once may take, the ones --T auto holds back\n"
         "included (default 1024; one frame is always held, whatever its size)")
      ->check(IntegerFrom(1, int64_t{1} << 20))
      ->type_name("MIB");
  app.add_option("--start", c.options.start, "first frame to filter (from 0); the output holds only the chunk")
      ->check(IntegerFrom(0, INT32_MAX - 1))
      ->type_name("N");
  app.add_option("--frames", c.options.frames, "how many frames to filter (default: to the end)")
      ->check(IntegerFrom(0, INT32_MAX))
      ->type_name("K");
  app.add_option("--estimate", c.estimate,
                 "print the noise sigma of IN's luma (the frames --T auto looks at) and\n"
                 "the T that --T auto takes, and filter nothing")
      ->type_name("IN");
  app.add_flag("--progressive", c.options.progressive,
               "filter the whole frames of interlaced input (It, Ib), not field by field");
  app.add_flag("-q,--quiet", c.quiet, "no progress line, no notes; errors are still reported");
  app.add_flag("--version", c.version, "print the version and exit");
  app.add_flag("--demo", c.demo,
               "demo: noisy synthetic clip, filtered, PSNR printed; IN is then the folder\n"
               "for its files (default out/demo)");
  // Earlier releases loaded the filter from a plug-in library: the option
  // is refused with the reason, and no longer listed.
  app.add_option("--plugin", c.plugin)->group("");
  app.add_option("IN", c.in, "input Y4M file, '-' for standard input");
  app.add_option("OUT", c.out, "output Y4M file, '-' for standard output");
}

// A usage error: its line, the hint, and exit status 2.
int Usage(const std::string& message) {
  std::fprintf(stderr, "velmoraine: %s\nRun 'velmoraine --help' for the options.\n", message.c_str());
  return 2;
}

// The message for a command line CLI11 refused: an argument that looks like
// an option and is none is named, with the option it may stand for.
std::string ParseErrorMessage(const CLI::App& app, const CLI::ParseError& e, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") break;
    if (word.size() < 2 || word[0] != '-' || (word[1] >= '0' && word[1] <= '9')) continue;
    const std::string name = word.substr(0, word.find('='));
    if (app.get_option_no_throw(name) != nullptr || (name.size() > 2 && name[1] != '-')) continue;
    std::string other = name;
    for (char& ch : other) {
      const int c = static_cast<unsigned char>(ch);  // the <cctype> functions take no negative char
      ch = static_cast<char>(c == std::tolower(c) ? std::toupper(c) : std::tolower(c));
    }
    const bool known = app.get_option_no_throw(other) != nullptr;
    return "unknown option '" + name + "'" + (known ? " (options are case-sensitive: did you mean '" + other + "'?)" : "");
  }
  // "--lp must be an integer ...", not "--lp: must be ...".
  std::string message = e.what();
  if (const size_t at = message.find(": must be an integer"); at != std::string::npos) message.erase(at, 1);
  return message;
}

// The checks across options. Returns 0 when the options hold together, else
// the exit status after the message.
int CheckOptions(const CLI::App& app, CommandLine& c) {
  velmoraine::tools::RunOptions& options = c.options;
  if (app.count("--plugin") > 0)
    return Usage("--plugin is no longer taken: the program carries the filter itself and loads no "
                 "plug-in library; leave the option out");
  options.autoThreshold = c.threshold == "auto" && !c.demo;  // the demo has a T of its own
  if (c.threshold != "auto") options.settings.T = std::stoi(c.threshold);  // checked by its option
  if (options.threads == 0) {
    const unsigned cores = std::thread::hardware_concurrency();
    options.threads = cores == 0 ? 1 : static_cast<int>(std::min(cores, 256u));
  }
  if (options.settings.P < 0)
    return Usage("--P: velmoraine : 'P' incorrect. P=0 -> flat / P=1 -> 1/(1-z) / P=2 -> z/(1-z) / "
                "P=3 1+z / P>10 (z > P) ? 1 : 0");
  options.quiet = c.quiet;
  return 0;
}

// --estimate: the noise of a stream, nothing filtered.
int RunEstimate(const CommandLine& c) {
  int fd = STDIN_FILENO;
  if (c.estimate != "-") {
    fd = open(c.estimate.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Fail(ShowOpenError("input", c.estimate));
  }
  if (isatty(fd)) return Fail("the input is a terminal; give a Y4M file or pipe one in");
  const velmoraine::tools::NoiseReport report = velmoraine::tools::EstimateStream(fd, c.options);
  std::printf("sigma %.2f\nT %d\n", report.sigma, report.threshold);
  if (report.noEstimate)
    std::fprintf(stderr, "velmoraine: no noise estimate: %s\n", report.noEstimate);
  else if (!c.quiet)
    std::fprintf(stderr, "velmoraine: noise sigma in 8-bit levels, from the luma of the first %lld frame%s; "
                 "T = 2.8 x sigma, as --T auto takes it\n",
                 static_cast<long long>(report.frames), report.frames == 1 ? "" : "s");
  return 0;
}

// Opens IN, refusing a terminal and the output file itself; -1 after the
// message when it cannot be used.
int OpenInput(const CommandLine& c) {
  int input = STDIN_FILENO;
  if (c.in != "-") {
    input = open(c.in.c_str(), O_RDONLY | O_CLOEXEC);
    if (input < 0) return Fail(ShowOpenError("input", c.in)), -1;
  }
  if (isatty(input))
    return Fail("the input is a terminal; give a Y4M file or pipe one in, e.g.\n"
                "  ffmpeg -i INPUT -f yuv4mpegpipe -pix_fmt yuv420p - | velmoraine --T auto - OUT.y4m"), -1;
  struct stat inputStat {};
  if (fstat(input, &inputStat) == 0 && S_ISREG(inputStat.st_mode)) {
    // Writing the output over the input would destroy it while reading.
    struct stat outputStat {};
    const bool exists = c.out == "-" ? fstat(STDOUT_FILENO, &outputStat) == 0 : stat(c.out.c_str(), &outputStat) == 0;
    if (exists && SameFile(inputStat, outputStat))
      return Fail("the output '" + c.out + "' is the input file; write to another file"), -1;
  }
  return input;
}

// IN to OUT through the filter.
int RunFilter(const CommandLine& c) {
  if (c.out == "-" && isatty(STDOUT_FILENO))
    return Fail("standard output is a terminal; redirect it to a file or a pipe, or give OUT");
  const int input = OpenInput(c);
  if (input < 0) return 1;
  int output = -1;
  auto openOutput = [&]() -> int {
    if (c.out == "-") return output = STDOUT_FILENO;
    output = open(c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (output < 0) throw RunError(ShowOpenError("output", c.out));
    return output;
  };
  velmoraine::tools::RunOptions options = c.options;
  options.progress = !c.quiet && isatty(STDERR_FILENO);
  if (!c.quiet && !options.autoThreshold && options.settings.T == 0)
    std::fprintf(stderr, "velmoraine: --T 0 drops no coefficient: nothing is denoised (rounding may still move "
                         "samples by one level)\n");
  // What the hint after an interrupt repeats.
  options.program = c.program;
  options.inputName = c.in;
  options.outputName = c.out;
  if (c.quiet) options.otherOptions.push_back("-q");
  if (options.progressive) options.otherOptions.push_back("--progressive");
  if (c.threadsGiven) options.otherOptions.insert(options.otherOptions.end(), {"-j", std::to_string(options.threads)});
  if (options.memoryBudget != velmoraine::tools::kDefaultMemoryBudget)  // it also sets the frames --T auto takes
    options.otherOptions.insert(options.otherOptions.end(), {"--memory", std::to_string(options.memoryBudget >> 20)});
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
}

// What the options ask for: the estimate, the demo, or a run.
int Dispatch(const CLI::App& app, CommandLine& c) {
  if (!c.estimate.empty() && !c.in.empty()) return Usage("--estimate takes one input and no other file");
  if (c.demo && !c.out.empty()) return Usage("--demo takes at most one folder");
  if (c.estimate.empty() && !c.demo && (c.in.empty() || c.out.empty()))
    return Usage(c.in.empty() ? "give IN and OUT (or --demo)" : "give OUT after IN (or '-' for standard output)");
  if (!c.estimate.empty()) return RunEstimate(c);
  if (c.demo) {
    if (app.count("--T") == 0) c.options.settings.T = velmoraine::tools::kDemoThreshold;
    if (c.threshold == "auto" && app.count("--T") > 0) c.options.autoThreshold = true;
    return velmoraine::tools::RunDemo(c.in.empty() ? "out/demo" : c.in, c.options);
  }
  return RunFilter(c);
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread starts: Ctrl-C and SIGTERM end a run between frames.
  velmoraine::tools::interrupt::Watch();
  CLI::App app(kDescription, "velmoraine");
  app.footer(kFooter);
  app.get_formatter()->column_width(20);
  CommandLine c;
  c.options.threads = 0;  // one per core
  AddOptions(app, c);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    return Usage(ParseErrorMessage(app, e, argc, argv));
  }
  if (c.version) {
    std::printf("velmoraine %s\n", VELMORAINE_VERSION_STRING);
    return 0;
  }
  // A reader that goes away (e.g. `| head`) is reported, not a silent death;
  // so is a file-size limit (ulimit -f): both are write errors.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  if (const int status = CheckOptions(app, c)) return status;
  c.program = argv[0];
  c.threadsGiven = app.count("--threads") > 0;
  try {
    return Dispatch(app, c);
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
