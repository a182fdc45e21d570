// The catalogue of hostile input to the command-line program.
//
// Each case builds its input, runs the built velmoraine as a child process
// and checks the outcome: a refused input or setting ends with a non-zero
// exit status (never a signal, never a sanitizer report), one message on
// standard error that starts with "velmoraine:" and names the problem (and
// the frame, where there is one); a stream that breaks in its middle still
// gets every complete frame before the damage filtered and written, exactly
// as filtering those frames alone would write them. Valid oddities succeed.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "y4m/y4m.h"
#include "tests/hostile/run_cli.h"

namespace velmoraine::testing {
namespace {

// A problem that the program must refuse.
struct Hostile {
  const char* name;
  std::string input;              // written to the input file
  std::vector<std::string> args;  // "IN" and "OUT" stand for the two files
  std::vector<std::string> mention;  // each must appear in the message
  // Complete frames before the damage, whose filtered output must be
  // written; -1 when the output file must not even be created (the input
  // or the settings were refused before any frame).
  int framesBefore;
  int maxLines = 2;  // lines on standard error
};

std::vector<std::string> Substitute(const std::vector<std::string>& args, const std::string& in,
                                    const std::string& out) {
  std::vector<std::string> result;
  for (const std::string& a : args) result.push_back(a == "IN" ? in : a == "OUT" ? out : a);
  return result;
}

// `maxLines`: the message, and for option errors a pointer to --help.
void ExpectCleanFailure(const CliResult& r, const std::vector<std::string>& mention, int maxLines = 2) {
  EXPECT_FALSE(r.timedOut) << "hung";
  ASSERT_TRUE(r.exited) << "ended by signal " << r.signal << "; stderr: " << r.err;
  EXPECT_NE(r.status, 0) << "a refused input reported success";
  EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
  EXPECT_LE(r.StderrLines(), maxLines) << r.err;
  // The first line says it all.
  const std::string first = r.err.substr(0, r.err.find('\n'));
  EXPECT_EQ(first.rfind("velmoraine: ", 0), 0u) << r.err;
  for (const std::string& m : mention) EXPECT_NE(first.find(m), std::string::npos) << "no '" << m << "' in: " << first;
}

// What the program writes for the first `frames` frames of `stream`, which
// are complete and whose header is valid.
std::string FilteredPrefix(const std::string& stream, int frames, const std::vector<std::string>& options) {
  size_t end = stream.find('\n') + 1;
  const size_t frameBytes = y4m::ParseStreamHeader(stream.substr(0, end - 1)).FrameBytes();
  for (int i = 0; i < frames; ++i) end = stream.find('\n', end) + 1 + frameBytes;
  TempDir dir;
  WriteFile(dir / "prefix.y4m", stream.substr(0, end));
  std::vector<std::string> args = options;
  args.push_back((dir / "prefix.y4m").string());
  args.push_back((dir / "prefix.out").string());
  CliResult r = RunCli(args);
  EXPECT_EQ(r.status, 0) << r.err;
  return ReadFile(dir / "prefix.out");
}

void RunHostile(const Hostile& c) {
  SCOPED_TRACE(c.name);
  TempDir dir;
  const std::string in = (dir / "in.y4m").string(), out = (dir / "out.y4m").string();
  WriteFile(in, c.input);
  // Quiet: the note of the T chosen would come before the error.
  std::vector<std::string> args = Substitute(c.args, in, out);
  args.insert(args.begin(), "-q");
  CliResult r = RunCli(args);
  ExpectCleanFailure(r, c.mention, c.maxLines);
  if (c.framesBefore < 0) {
    EXPECT_FALSE(std::filesystem::exists(out)) << "output created for a refused input";
  } else {
    // Options are those before IN.
    std::vector<std::string> options;
    for (const std::string& a : c.args) {
      if (a == "IN") break;
      options.push_back(a);
    }
    EXPECT_EQ(ReadFile(out), FilteredPrefix(c.input, c.framesBefore, options))
        << "the complete frames before the damage were not all written";
  }
}

const std::string kGood16 = Stream(16, 16, 3);

TEST(HostileInput, RefusedStreamHeaders) {
  const std::string few = Noise(40, 7);
  const Hostile cases[] = {
      {"empty input", "", {"IN", "OUT"}, {"empty"}, -1},
      {"not a Y4M stream", "RIFF\x24\x00\x00\x00WAVEfmt " + few, {"IN", "OUT"}, {"not a YUV4MPEG2 stream"}, -1},
      {"magic without a space", "YUV4MPEG2W16 H16\n", {"IN", "OUT"}, {"not a YUV4MPEG2 stream"}, -1},
      {"only NUL bytes", std::string(100, '\0'), {"IN", "OUT"}, {"not a YUV4MPEG2 stream"}, -1},
      {"no width", "YUV4MPEG2 H16 C420jpeg\n" + Frame(16, 16, 1), {"IN", "OUT"}, {"width"}, -1},
      {"no height", "YUV4MPEG2 W16 C420jpeg\n" + Frame(16, 16, 1), {"IN", "OUT"}, {"height"}, -1},
      {"zero width", "YUV4MPEG2 W0 H16\n" + few, {"IN", "OUT"}, {"width", "W0"}, -1},
      {"zero height", "YUV4MPEG2 W16 H0\n" + few, {"IN", "OUT"}, {"height", "H0"}, -1},
      {"negative width", "YUV4MPEG2 W-16 H16\n" + few, {"IN", "OUT"}, {"width", "W-16"}, -1},
      {"width not a number", "YUV4MPEG2 W1e3 H16\n" + few, {"IN", "OUT"}, {"width"}, -1},
      {"width beyond 32 bits", "YUV4MPEG2 W4294967312 H16\n" + few, {"IN", "OUT"}, {"width"}, -1},
      {"width past the limit", "YUV4MPEG2 W16385 H16\n" + few, {"IN", "OUT"}, {"width", "16384"}, -1},
      // 10^12 samples claimed, 40 bytes given.
      {"10^12 samples", "YUV4MPEG2 W1000000 H1000000\nFRAME\n" + few, {"IN", "OUT"}, {"width", "limit"}, -1},
      {"area past the limit", "YUV4MPEG2 W16384 H16385\nFRAME\n" + few, {"IN", "OUT"}, {"height"}, -1},
      {"width given twice", "YUV4MPEG2 W16384 H16384 W2\n", {"IN", "OUT"}, {"width twice"}, -1},
      {"NUL inside a tag", std::string("YUV4MPEG2 W16\0 H16\n", 20) + Frame(16, 16, 1), {"IN", "OUT"}, {"width"}, -1},
      {"4:4:0", "YUV4MPEG2 W16 H16 C440\n" + few, {"IN", "OUT"}, {"colour space", "C440", "C422"}, -1},
      {"7-bit 4:2:0", "YUV4MPEG2 W16 H16 C420p7\n" + few, {"IN", "OUT"}, {"C420p7", "ffmpeg"}, -1},
      {"17-bit mono", "YUV4MPEG2 W16 H16 Cmono17\n" + few, {"IN", "OUT"}, {"Cmono17"}, -1},
      {"unknown colour tag", "YUV4MPEG2 W16 H16 Cbogus\n" + few, {"IN", "OUT"}, {"Cbogus"}, -1},
      {"high-depth subsampling tag alone", "YUV4MPEG2 W16 H16 XYSCSS=420P12\n" + few, {"IN", "OUT"}, {"420P12"}, -1},
      {"header without its newline", "YUV4MPEG2 W16 H16 C420jpeg", {"IN", "OUT"}, {"header"}, -1},
      {"bad frame rate", "YUV4MPEG2 W16 H16 F25:0\n" + few, {"IN", "OUT"}, {"frame rate"}, -1},
  };
  for (const Hostile& c : cases) RunHostile(c);
}

// Peak memory of a child is compared with what the input claims; the test
// process itself stays small (the child's count starts from the parent's,
// which it was forked from), so inputs are written to files in pieces.
constexpr long kSmallRssKiB = 96 * 1024;

TEST(HostileInput, EndlessHeaderLineIsCutAtItsLimitWithoutHoldingIt) {
  // 128 MiB of header line with no newline, named and on standard input:
  // refused at the line limit, never held in memory.
  TempDir dir;
  {
    std::ofstream out(dir / "in", std::ios::binary);
    out << "YUV4MPEG2 W16 H16 X";
    const std::string chunk(1 << 20, 'x');
    for (int i = 0; i < 128; ++i) out << chunk;
  }
  for (const std::string& input : {(dir / "in").string(), std::string("-")}) {
    SCOPED_TRACE(input);
    CliResult r = input == "-" ? RunCli({"-", (dir / "out").string()}, (dir / "in").string())
                               : RunCli({input, (dir / "out").string()});
    ExpectCleanFailure(r, {"header", "limit"});
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
    EXPECT_LT(r.peakRssKiB, kSmallRssKiB) << "peak memory in KiB";
  }
}

TEST(HostileInput, HugeClaimsAllocateNothingTheInputDoesNotHold) {
  // The largest frame the limits allow (2^28 luma samples, 384 MiB a frame)
  // with only its header behind it: a clean, empty stream, and no frame is
  // allocated for it.
  TempDir dir;
  WriteFile(dir / "in", "YUV4MPEG2 W16384 H16384 C420jpeg\n");
  CliResult r = RunCli({(dir / "in").string(), (dir / "out").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir / "out"), "YUV4MPEG2 W16384 H16384 C420jpeg\n");
  EXPECT_LT(r.peakRssKiB, kSmallRssKiB) << "peak memory in KiB";
  // A largest frame announced in a file that holds only a few bytes of it: the
  // file's size shows it cannot be there, so nothing is allocated for it.
  WriteFile(dir / "in", "YUV4MPEG2 W16384 H16384 C420jpeg\nFRAME\n" + Noise(64, 5));
  r = RunCli({(dir / "in").string(), (dir / "out").string()});
  ExpectCleanFailure(r, {"frame 0", "truncated", "64 of its 402653184 bytes"});
  EXPECT_LT(r.peakRssKiB, kSmallRssKiB) << "peak memory in KiB";
  // Claims past the limits are refused before anything is allocated.
  for (const char* header : {"YUV4MPEG2 W1000000 H1000000\nFRAME\n", "YUV4MPEG2 W16384 H16385\nFRAME\n",
                             "YUV4MPEG2 W999999999 H999999999\nFRAME\n"}) {
    SCOPED_TRACE(header);
    WriteFile(dir / "in", header + Noise(64, 3));
    r = RunCli({(dir / "in").string(), (dir / "out").string()});
    ExpectCleanFailure(r, {"limit"});
    EXPECT_LT(r.peakRssKiB, kSmallRssKiB) << "peak memory in KiB";
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELMORAINE_SANITIZED 1
#endif

TEST(HostileInput, MemoryIsBoundedByTheFramesInFlightNotTheStream) {
#ifdef VELMORAINE_SANITIZED
  GTEST_SKIP() << "sanitizers keep freed memory in quarantine: peak memory says nothing here";
#endif
  // 64 frames of 768x768 (54 MiB of stream) through 3 workers: at most
  // 5 frames are held at once.
  TempDir dir;
  {
    std::ofstream out(dir / "in", std::ios::binary);
    out << "YUV4MPEG2 W768 H768 C420jpeg\n";
    for (int i = 0; i < 64; ++i) out << Frame(768, 768, 40 + static_cast<uint32_t>(i % 4));
  }
  CliResult r = RunCli({"--threads", "3", "--T", "10", (dir / "in").string(), (dir / "out").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::filesystem::file_size(dir / "out"), std::filesystem::file_size(dir / "in"));
  EXPECT_LT(r.peakRssKiB, 40 * 1024) << "peak memory in KiB";
}

// A frame is written only once the next FRAME line or the clean end shows
// it whole: a frame followed by anything else is left out with the damage.
TEST(HostileInput, DamageInTheMiddleKeepsTheFramesBefore) {
  const std::string header = "YUV4MPEG2 W16 H16 F25:1 C420jpeg\n";
  const std::string f0 = Frame(16, 16, 1), f1 = Frame(16, 16, 2), f2 = Frame(16, 16, 3);
  const std::string cut = f2.substr(0, 100);
  // As a writer with a fault makes them (sizes counted by hand): 853x481 at
  // 10 bits is 820586 bytes of luma and 2 x 427 x 241 words of chroma,
  // 1232214 a frame; with each of the 482 chroma rows a byte short,
  // 1231732. 8-bit samples under a 10-bit tag: 384 bytes, not 768.
  const std::string shortRows = "FRAME\n" + Noise(1231732, 9);
  const std::string eightBit = "FRAME\n" + Noise(384, 8);
  const Hostile cases[] = {
      {"truncated frame", header + f0 + f1 + cut, {"IN", "OUT"}, {"frame 2", "truncated"}, 2},
      {"truncated first frame", header + cut, {"IN", "OUT"}, {"frame 0", "truncated"}, 0},
      {"truncated inside a FRAME line", header + f0 + "FRA", {"IN", "OUT"}, {"frame 1"}, 1},
      {"FRAME line without newline", header + f0 + "FRAME Ixyz", {"IN", "OUT"}, {"frame 1"}, 1},
      {"garbled FRAME marker", header + f0 + f1 + "FRAMX" + f2.substr(5), {"IN", "OUT"}, {"frame 1", "'FRAMX'"}, 1},
      {"lowercase frame marker", header + f0 + "frame" + f1.substr(5), {"IN", "OUT"}, {"frame 0", "'frame'"}, 0},
      {"NUL bytes instead of a frame", header + f0 + std::string(600, '\0'), {"IN", "OUT"}, {"frame 0"}, 0},
      {"junk after the last frame", header + f0 + f1 + "\n", {"IN", "OUT"}, {"frame 1", "not whole"}, 1},
      {"endless FRAME line", header + f0 + "FRAME " + std::string(1 << 20, 'p'), {"IN", "OUT"}, {"frame 1", "limit"}, 1},
      {"frame with extra bytes", header + f0 + f1.substr(0, 6) + "xx" + f1.substr(6) + f2, {"IN", "OUT"},
       {"frame 1", "frames of 384 bytes", "starts 386 bytes after"}, 1},
      {"chroma rows a byte short", "YUV4MPEG2 W853 H481 C420p10\n" + shortRows + shortRows + shortRows, {"IN", "OUT"},
       {"frame 0", "frames of 1232214 bytes", "starts 1231732 bytes after", "pad"}, 0},
      {"8-bit samples under a 10-bit tag", "YUV4MPEG2 W16 H16 C420p10\n" + eightBit + eightBit + eightBit,
       {"IN", "OUT"}, {"frame 0", "frames of 768 bytes", "starts 384 bytes after"}, 0},
  };
  for (const Hostile& c : cases) RunHostile(c);
}

TEST(HostileInput, DamageAfterManyFramesWithEveryThreadCount) {
  // The damage comes while frames are in flight on several workers: still
  // every frame before it is written, in order.
  const std::string stream = Stream(24, 18, 12);
  const std::string damaged = stream.substr(0, stream.size() - 50);
  for (const char* threads : {"1", "3", "8"}) {
    RunHostile({"truncated after 11 frames", damaged, {"--threads", threads, "--T", "12", "IN", "OUT"},
                {"frame 11", "truncated"}, 11});
  }
}

TEST(HostileInput, UnreadableAndUnwritablePaths) {
  TempDir dir;
  const std::string good = (dir / "good.y4m").string();
  WriteFile(good, kGood16);

  CliResult r = RunCli({(dir / "missing.y4m").string(), (dir / "out").string()});
  ExpectCleanFailure(r, {"missing.y4m", "No such file"});
  EXPECT_FALSE(std::filesystem::exists(dir / "out"));

  r = RunCli({dir.path().string(), (dir / "out").string()});  // a folder as input
  ExpectCleanFailure(r, {"input"});

  r = RunCli({"-q", good, (dir / "no-such-folder" / "out.y4m").string()});
  ExpectCleanFailure(r, {"no-such-folder", "No such file"});

  r = RunCli({"-q", good, dir.path().string()});  // a folder as output
  ExpectCleanFailure(r, {"output"});

  r = RunCli({"-q", good, "/dev/full"});  // every write fails
  ExpectCleanFailure(r, {"output", "write error"});

  // A reader that has gone away: a write error, not death by SIGPIPE.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  const std::string longer = Stream(64, 64, 40);  // more than a pipe holds
  WriteFile(dir / "long.y4m", longer);
  r = RunCli({"-q", (dir / "long.y4m").string(), "-"}, "", 120, fds[1]);
  close(fds[1]);
  ExpectCleanFailure(r, {"output", "write error"});

  r = RunCli({good, good});  // the output would overwrite the input
  ExpectCleanFailure(r, {"input"});
  EXPECT_EQ(ReadFile(good), kGood16);
}

TEST(HostileInput, BadOptionValues) {
  const Hostile cases[] = {
      {"T not a number", kGood16, {"--T", "abc", "IN", "OUT"}, {"--T", "abc"}, -1},
      {"T beyond int", kGood16, {"--T", "99999999999", "IN", "OUT"}, {"--T"}, -1},
      {"T empty", kGood16, {"--T", "", "IN", "OUT"}, {"--T", "empty"}, -1},
      {"hp empty", kGood16, {"--hp=", "IN", "OUT"}, {"--hp"}, -1},
      {"P negative", kGood16, {"--P", "-1", "IN", "OUT"}, {"'P' incorrect"}, -1},
      {"P fractional", kGood16, {"--P", "1.5", "IN", "OUT"}, {"--P"}, -1},
      {"lp beyond int", kGood16, {"--lp", "-2147483649", "IN", "OUT"}, {"--lp"}, -1},
      {"hp not a number", kGood16, {"--hp", "x", "IN", "OUT"}, {"--hp"}, -1},
      {"negative threads", kGood16, {"--threads", "-1", "IN", "OUT"}, {"--threads", "0 to 256"}, -1},
      {"too many threads", kGood16, {"--threads", "100000", "IN", "OUT"}, {"--threads"}, -1},
      {"unknown option", kGood16, {"--bogus", "IN", "OUT"}, {"--bogus"}, -1},
      {"option without its value", kGood16, {"IN", "OUT", "--T"}, {"--T"}, -1},
      {"no output named", kGood16, {"IN"}, {"OUT"}, -1},
      {"an unknown option in another case", kGood16, {"-t", "20", "IN", "OUT"}, {"'-t'", "'-T'"}, -1},
      {"a plug-in named", kGood16, {"--plugin", "/nonexistent/libvelmoraine.so", "IN", "OUT"}, {"--plugin", "no longer"}, -1},
  };
  for (const Hostile& c : cases) RunHostile(c);
}

// --- Valid oddities ----------------------------------------------------------

struct Oddity {
  const char* name;
  std::string input;
  std::string note = "";  // the start of the one line on standard error, if any
};

TEST(ValidOddities, Succeed) {
  const Oddity cases[] = {
      {"empty stream with a header", "YUV4MPEG2 W320 H240 F30000:1001 It A1:1 C420jpeg\n",
       "velmoraine: interlaced input (top field first)"},
      {"interlaced, one row", Stream(1, 1, 1, " Ib C420jpeg"),
       "velmoraine: interlaced input (bottom field first)"},
      {"interlaced, odd height", Stream(9, 3, 2, " It C420jpeg"), "velmoraine: interlaced input (top field first)"},
      {"frame parameters", "YUV4MPEG2 W16 H16 C420mpeg2\n" + Frame(16, 16, 1, false, " Ib X=yes") +
                               Frame(16, 16, 2, false, " ")},
      {"interlace tags", "YUV4MPEG2 W16 H24 F25:1 Im A128:117 C420paldv\n" + Frame(16, 24, 3),
       "velmoraine: mixed interlacing (Im): frames are filtered whole"},
      {"4x4 frames", Stream(4, 4, 2)},
      {"1x1 frame", Stream(1, 1, 1)},
      {"odd sizes", Stream(17, 9, 2, " C420")},
      {"no colour tag", Stream(10, 10, 1, "")},
      {"mono", Stream(13, 11, 2, " Cmono", true)},
      {"tags in any order, doubled spaces", "YUV4MPEG2  C420jpeg  H16 W18 XCOLORRANGE=LIMITED\n" + Frame(18, 16, 4)},
      {"CR in the header line kept as an unknown tag", "YUV4MPEG2 W16 H16 Ip\r\n" + Frame(16, 16, 5)},
  };
  for (const Oddity& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir / "in", c.input);
    CliResult r = RunCli({"--T", "20", (dir / "in").string(), (dir / "out").string()});
    ASSERT_TRUE(r.exited) << r.signal;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.rfind(c.note, 0), 0u) << r.err;
    EXPECT_LE(r.StderrLines(), c.note.empty() ? 0 : 1) << r.err;
    const std::string out = ReadFile(dir / "out");
    // Same size, the same header and frame lines; samples may change.
    ASSERT_EQ(out.size(), c.input.size());
    EXPECT_EQ(out.substr(0, out.find('\n')), c.input.substr(0, c.input.find('\n')));
    size_t at = 0;
    while ((at = c.input.find("FRAME", at)) != std::string::npos) {
      const size_t end = c.input.find('\n', at);
      EXPECT_EQ(out.substr(at, end - at), c.input.substr(at, end - at));
      at = end;
      break;  // the first frame line; the rest follow the same path
    }
  }
}

TEST(ValidOddities, ExtremeSettingsAreAcceptedAndHarmless) {
  // The whole int range is a valid setting: huge thresholds drop every
  // in-band coefficient, negative ones or an empty band drop none. Under the
  // sanitizer build this also shows no arithmetic overflows on the way.
  TempDir dir;
  const std::string stream = Stream(19, 21, 2);
  WriteFile(dir / "in", stream);
  const std::vector<std::vector<std::string>> settings = {
      {"--T", "2147483647"},
      {"--T", "-2147483648"},
      {"--T", "50", "--P", "2147483647"},
      {"--T", "50", "--lp", "-2147483648", "--hp", "2147483647"},
      {"--T", "50", "--lp", "2147483647", "--hp", "-2147483648"},
  };
  for (const auto& s : settings) {
    SCOPED_TRACE(s[1] + (s.size() > 2 ? " " + s[3] : ""));
    std::vector<std::string> args = s;
    args.insert(args.end(), {(dir / "in").string(), "-"});
    CliResult r = RunCli(args);
    ASSERT_TRUE(r.exited) << r.signal;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.size(), stream.size());
  }
}

TEST(ValidOddities, TinyPlanesPassThroughUnchanged) {
  // No 8x8 block fits a 4x4 frame (nor its 2x2 chroma): nothing changes.
  TempDir dir;
  const std::string stream = Stream(4, 4, 3);
  WriteFile(dir / "in", stream);
  CliResult r = RunCli({"--T", "50", "-", "-"}, (dir / "in").string());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, stream);
}

}  // namespace
}  // namespace velmoraine::testing
