// The command-line program end to end: the built executable, run as a user
// would, on small clips.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/plane_filter.h"
#include "core/version.h"
#include "tests/hostile/run_cli.h"
#include "tools/demo.h"

namespace {

namespace fs = std::filesystem;
using velmoraine::tools::Picture;

const std::string kProgram = VELMORAINE_PROGRAM;

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream out;
  out << file.rdbuf();
  return out.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmoraine-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Path(const std::string& name) const { return dir_ / name; }

  // Runs the program with `arguments` (shell words); returns the exit status
  // and keeps standard error in error_.
  int Run(const std::string& arguments) {
    std::string command = kProgram + " " + arguments + " 2>" + Path("stderr").string();
    int status = velmoraine::testing::RunShell(command);
    error_ = ReadFile(Path("stderr"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Filters `input` with `options`; returns the output file's bytes.
  std::string Filter(const std::string& input, const std::string& options, int expectStatus = 0) {
    WriteFile(Path("in.y4m"), input);
    fs::remove(Path("out.y4m"));
    EXPECT_EQ(Run(options + " " + Path("in.y4m").string() + " " + Path("out.y4m").string()),
              expectStatus)
        << error_;
    return ReadFile(Path("out.y4m"));
  }

  fs::path dir_;
  std::string error_;
};

// A 4:2:0 stream of demo pictures with noise (any size, odd ones too).
std::string NoisyStream(int width, int height, int frames, const std::string& headerLine = "",
                        const std::vector<std::string>& parameters = {}, double sigma = 10.0) {
  std::string out = (headerLine.empty() ? "YUV4MPEG2 W" + std::to_string(width) + " H" +
                                              std::to_string(height) + " F25:1 Ip A1:1 C420jpeg"
                                        : headerLine) +
                    "\n";
  uint64_t seed = 7;
  for (int f = 0; f < frames; ++f) {
    Picture picture = velmoraine::tools::MakeDemoPicture(width, height, f);
    velmoraine::tools::AddGaussianNoise(picture, sigma, seed);
    out += "FRAME" + (f < static_cast<int>(parameters.size()) ? parameters[f] : "") + "\n";
    for (const auto& plane : picture.planes) out.append(plane.begin(), plane.end());
  }
  return out;
}

// Every layout, odd sizes and the verbatim header and FRAME lines: see
// layouts_test.cpp.

TEST_F(Cli, MonoStreamsFilterTheLumaOnly) {
  const int w = 40, h = 24;
  std::string line = "YUV4MPEG2 W40 H24 F25:1 Ip A1:1 Cmono";
  Picture picture = velmoraine::tools::MakeDemoPicture(w, h, 0);
  uint64_t seed = 3;
  velmoraine::tools::AddGaussianNoise(picture, 10.0, seed);
  std::string input = line + "\nFRAME\n" + std::string(picture.planes[0].begin(), picture.planes[0].end());
  std::string output = Filter(input, "-T 25 -P 2");
  std::vector<uint8_t> luma(input.end() - w * h, input.end());
  velmoraine::PlaneView view{luma.data(), w, w, h};
  ASSERT_TRUE(velmoraine::FilterPlane(view, 25, 2, 0, 100));
  EXPECT_TRUE(output == line + "\nFRAME\n" + std::string(luma.begin(), luma.end()));
}

// Each field of an interlaced frame is filtered as a plane of its own: the
// rows of one parity, copied out, through FilterPlane, and put back. One
// field is flat and the other a noisy ramp, so blocks that mixed them would
// smear the flat one. The odd height gives the top fields one row more.
TEST_F(Cli, InterlacedFramesAreFilteredFieldByField) {
  const int w = 40, h = 37, cw = 20, ch = 19;
  uint32_t seed = 5;
  std::vector<std::vector<uint8_t>> planes;
  for (int p = 0; p < 3; ++p) {
    const int pw = p ? cw : w, ph = p ? ch : h;
    std::vector<uint8_t> plane(static_cast<size_t>(pw) * ph);
    for (int y = 0; y < ph; ++y)
      for (int x = 0; x < pw; ++x) {
        seed = seed * 1664525u + 1013904223u;
        plane[y * pw + x] = static_cast<uint8_t>((y + p) % 2 ? 128 : 40 + 4 * x + (seed >> 27));
      }
    planes.push_back(plane);
  }
  auto filtered = [&](bool byField) {
    std::string frame;
    for (int p = 0; p < 3; ++p) {
      const int pw = p ? cw : w, ph = p ? ch : h;
      std::vector<uint8_t> plane = planes[p];
      for (int parity = 0; parity < (byField ? 2 : 1); ++parity) {
        std::vector<uint8_t> field;
        for (int y = parity; y < ph; y += byField ? 2 : 1) field.insert(field.end(), &plane[y * pw], &plane[y * pw] + pw);
        const int rows = static_cast<int>(field.size()) / pw;
        EXPECT_TRUE(velmoraine::FilterPlane(velmoraine::PlaneView{field.data(), pw, pw, rows}, 30, 1, 0, 100));
        for (int r = 0; r < rows; ++r) std::copy_n(&field[r * pw], pw, &plane[(parity + r * (byField ? 2 : 1)) * pw]);
      }
      frame.append(plane.begin(), plane.end());
    }
    return frame;
  };
  std::string samples;
  for (const auto& plane : planes) samples.append(plane.begin(), plane.end());
  const std::string byField = filtered(true), whole = filtered(false);
  ASSERT_FALSE(byField == whole);
  for (const char* tag : {"It", "Ib"}) {
    const std::string line = std::string("YUV4MPEG2 W40 H37 F25:1 ") + tag + " A1:1 C420jpeg\n";
    const std::string input = line + "FRAME\n" + samples + "FRAME Ixyz\n" + samples;
    EXPECT_TRUE(Filter(input, "--T 30") == line + "FRAME\n" + byField + "FRAME Ixyz\n" + byField) << tag;
    EXPECT_NE(error_.find("interlaced input"), std::string::npos) << error_;
    EXPECT_TRUE(Filter(input, "--T 30 --progressive") == line + "FRAME\n" + whole + "FRAME Ixyz\n" + whole) << tag;
  }
}

TEST_F(Cli, FlatFramesStayFlatAndThreadsChangeNoByte) {
  std::string flat = "YUV4MPEG2 W48 H32 C420\n";
  for (int level : {0, 17, 128, 255})
    flat += "FRAME\n" + std::string(48 * 32, static_cast<char>(level)) +
            std::string(2 * 24 * 16, static_cast<char>(255 - level));
  EXPECT_TRUE(Filter(flat, "--T 0 --P 0") == flat);
  EXPECT_TRUE(Filter(flat, "--T 80 --P 2 --lp 1 --hp 50") == flat);

  std::string noisy = NoisyStream(64, 48, 9);
  std::string one = Filter(noisy, "--T 25 --threads 1");
  std::string three = Filter(noisy, "--T 25 --threads 3");
  EXPECT_FALSE(one == noisy);
  EXPECT_TRUE(one == three);

  // Standard input and output are the same road.
  WriteFile(Path("in.y4m"), noisy);
  ASSERT_EQ(Run("--T 25 -j 2 - - <" + Path("in.y4m").string() + " >" + Path("piped.y4m").string()), 0)
      << error_;
  EXPECT_TRUE(ReadFile(Path("piped.y4m")) == one);
}

TEST_F(Cli, DamagedInputKeepsTheFramesBeforeTheDamage) {
  std::string good = NoisyStream(32, 32, 4);
  std::string prefix = good.substr(0, good.size() - (32 * 32 * 3 / 2 + 6));  // 3 frames
  std::string expected = Filter(prefix, "--T 25 -j 3");
  // (Bytes after frame 2 that start no FRAME line would leave it unproven.)
  for (const std::string& damaged : {good.substr(0, good.size() - 100), prefix + "FRAME",
                                     prefix + "FRAMEGARBAGE\n"}) {
    std::string output = Filter(damaged, "--T 25 -j 3", 1);
    EXPECT_NE(error_.find("frame 3"), std::string::npos) << error_;
    EXPECT_NE(error_.find("the output holds 3 whole frames, 0 to 2"), std::string::npos) << error_;
    EXPECT_TRUE(output == expected);
  }
}

TEST_F(Cli, RefusesBadInputAndSettingsClearly) {
  struct Case {
    std::string input;
    std::string options;
    std::string message;
  } cases[] = {
      {"YUV4MPEG2 W16 H16 C440\n", "", "unsupported colour space 'C440'"},
      {"YUV4MPEG2 W16 H16 C420p7\n", "", "C420pN"},
      {"GIF89a", "", "not a YUV4MPEG2 stream"},
      {"YUV4MPEG2 H16\n", "", "no width"},
      {"", "", "the input is empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options + " " + c.input.substr(0, 24));
    Filter(c.input, c.options, 1);
    EXPECT_NE(error_.find(c.message), std::string::npos) << error_;
    EXPECT_FALSE(fs::exists(Path("out.y4m")));  // refused before the output was made
  }

  // Every integer option answers alike, with its range in digits.
  const std::string any = " must be an integer from -2147483648 to 2147483647";
  const std::pair<const char*, std::string> badOptions[] = {
      {"--T abc", "--T" + any + ", or 'auto', not 'abc'"},
      {"--T 99999999999", "--T" + any + ", or 'auto', not '99999999999'"},
      {"--lp 99999999999", "--lp" + any + ", not '99999999999'"},
      {"--hp 1.5", "--hp" + any + ", not '1.5'"},
      {"-P ''", "--P" + any + ", not an empty value"},
      {"--threads -1", "--threads must be an integer from 0 to 256, not '-1'"},
      {"--start -1", "--start must be an integer from 0 to 2147483646, not '-1'"},
      {"--frames -1", "--frames must be an integer from 0 to 2147483647, not '-1'"},
      {"-P", "--P" + any + ", not 'a.y4m'"},
      {"--frobnicate", "unknown option '--frobnicate'"},
      {"-t 20", "unknown option '-t' (options are case-sensitive: did you mean '-T'?)"},
      {"--estimate x.y4m", "--estimate takes one input and no other file"},
      {"--P -1", "--P: velmoraine : 'P' incorrect. P=0 -> flat / P=1 -> 1/(1-z) / P=2 -> z/(1-z) / P=3 1+z / "
                 "P>10 (z > P) ? 1 : 0"},
      {"--plugin libvelmoraine.so", "--plugin is no longer taken: the program carries the filter itself"},
  };
  for (const auto& [options, message] : badOptions) {
    SCOPED_TRACE(options);
    EXPECT_EQ(Run(std::string(options) + " a.y4m b.y4m"), 2);
    // One line, then the hint.
    EXPECT_EQ(error_.rfind("velmoraine: " + message, 0), 0u) << error_;
    EXPECT_EQ(error_.substr(error_.find('\n') + 1), "Run 'velmoraine --help' for the options.\n");
  }
  EXPECT_EQ(Run(Path("only-in.y4m").string()), 2);
  EXPECT_EQ(error_, "velmoraine: give OUT after IN (or '-' for standard output)\nRun 'velmoraine --help' for the options.\n");
}

TEST_F(Cli, NeverWritesOverItsInput) {
  std::string input = NoisyStream(16, 16, 2);
  WriteFile(Path("in.y4m"), input);
  fs::create_symlink(Path("in.y4m"), Path("link.y4m"));
  for (const std::string& out : {Path("in.y4m").string(), Path("link.y4m").string()}) {
    EXPECT_EQ(Run("--T 9 " + Path("in.y4m").string() + " " + out), 1);
    EXPECT_NE(error_.find("is the input file"), std::string::npos) << error_;
  }
  EXPECT_EQ(Run("--T 9 - - <" + Path("in.y4m").string() + " >>" + Path("in.y4m").string()), 1);
  EXPECT_TRUE(ReadFile(Path("in.y4m")) == input);
}

TEST_F(Cli, HelpDocumentsEveryOptionAndThePipes) {
  std::string command = kProgram + " --help >" + Path("help").string();
  ASSERT_EQ(velmoraine::testing::RunShell(command), 0);
  std::string help = ReadFile(Path("help"));
  for (const char* word : {"--T", "--P", "--lp", "--hp", "yuv420p10le", "--threads", "--demo", "--T auto",
                           "--estimate", "--start", "--frames", "--quiet", "--version", "tail -n +2",
                           "ffmpeg -i in.mp4 -f yuv4mpegpipe", "ffmpeg -f yuv4mpegpipe -i -"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
}

// The stream's header line and its frames after `skip` records, as a chunk
// is joined to the one before it.
std::string WithoutHeader(const std::string& stream) { return stream.substr(stream.find('\n') + 1); }

TEST_F(Cli, ChunksJoinToTheWholeRun) {
  // Plain records (the program seeks), and FRAME lines with parameters
  // before and inside the chunks (it reads through).
  const std::vector<std::vector<std::string>> parameterSets = {{}, {"", " Ixyz", "", " XA=1", "", "", " Ib"}};
  for (const auto& parameters : parameterSets) {
    SCOPED_TRACE(parameters.size());
    const std::string input = NoisyStream(40, 32, 9, "", parameters);
    const std::string whole = Filter(input, "--T 20");
    const std::string first = Filter(input, "--T 20 --start 0 --frames 3");
    const std::string middle = Filter(input, "--T 20 --start 3 --frames 3");
    const std::string last = Filter(input, "--T 20 --start 6");
    EXPECT_TRUE(first + WithoutHeader(middle) + WithoutHeader(last) == whole);
    // A chunk past the end is a stream without frames.
    EXPECT_EQ(Filter(input, "--T 20 --start 20 --frames 5"), input.substr(0, input.find('\n') + 1));
  }

  // A damaged FRAME line before the chunk, in a file of plain records: the
  // program cannot know where frame 2 starts, reads through and says so.
  std::string input = NoisyStream(40, 32, 4);
  input.replace(input.find("FRAME"), 5, "FRAMX");
  Filter(input, "--T 20 --start 2 --frames 2", 1);
  EXPECT_NE(error_.find("frame 0: expected a FRAME line"), std::string::npos) << error_;
  EXPECT_FALSE(fs::exists(Path("out.y4m")));

}

// --T auto on a chunk takes the T of the chunk's own frames, as --estimate
// finds it in a stream of just those frames, and says that it may differ.
TEST_F(Cli, AutoThresholdOfAChunkIsItsOwn) {
  const std::string calm = NoisyStream(48, 32, 4, "", {}, 2.0), rough = NoisyStream(48, 32, 3, "", {}, 14.0);
  const std::string input = calm + WithoutHeader(rough);
  WriteFile(Path("chunk.y4m"), rough);
  ASSERT_EQ(velmoraine::testing::RunShell(kProgram + " -q --estimate " + Path("chunk.y4m").string() + " >" + Path("estimate").string()), 0);
  const std::string estimate = ReadFile(Path("estimate"));
  const std::string T = estimate.substr(estimate.find("\nT ") + 3, estimate.find('\n', estimate.find("\nT ") + 1) - estimate.find("\nT ") - 3);
  const std::string fixed = Filter(input, "--T " + T + " --start 4 --frames 3");
  EXPECT_TRUE(Filter(input, "--T auto --start 4 --frames 3") == fixed);
  EXPECT_NE(error_.find("-> T=" + T + "\n"), std::string::npos) << error_;
  EXPECT_NE(error_.find("chunk's own"), std::string::npos) << error_;
}

// The frames of a stream: each FRAME line with its samples.
std::vector<std::string> Frames(const std::string& stream, size_t frameBytes) {
  std::vector<std::string> frames;
  for (size_t at = stream.find('\n') + 1; at < stream.size();) {
    const size_t end = stream.find('\n', at) + 1 + frameBytes;
    frames.push_back(stream.substr(at, end - at));
    at = end;
  }
  return frames;
}

// A FRAME line with parameters exactly one plain record long makes a file
// whose size and record boundaries look plain although its frames are not
// where plain records would put them: every chunk must still be the
// matching frames of the whole run, and one past the end holds no frame.
TEST_F(Cli, ChunksOfAStreamThatOnlyLooksPlain) {
  const int w = 16, h = 16, count = 4;
  const size_t frameBytes = w * h * 3 / 2;
  const std::string oneRecordMore = " X" + std::string(6 + frameBytes - 2, 'x');
  for (int longFrame : {0, 2}) {
    std::vector<std::string> parameters(count);
    parameters[longFrame] = oneRecordMore;
    const std::string input = NoisyStream(w, h, count, "", parameters);
    const std::string whole = Filter(input, "--T 20");
    const std::string header = whole.substr(0, whole.find('\n') + 1);
    const std::vector<std::string> frames = Frames(whole, frameBytes);
    ASSERT_EQ(frames.size(), static_cast<size_t>(count));
    for (int start = 0; start <= count + 2; ++start) {
      for (int length : {-1, 1, 2}) {
        const std::string options =
            "--T 20 --start " + std::to_string(start) + (length < 0 ? "" : " --frames " + std::to_string(length));
        SCOPED_TRACE("long FRAME line on frame " + std::to_string(longFrame) + ": " + options);
        std::string expected = header;
        for (int f = start; f < count && (length < 0 || f < start + length); ++f) expected += frames[f];
        EXPECT_TRUE(Filter(input, options) == expected);
        if (start >= count) {
          EXPECT_NE(error_.find("the input has only 4 frames: no frame to filter from frame " + std::to_string(start)),
                    std::string::npos)
              << error_;
        }
      }
    }
  }
}

// --estimate prints the T that --T auto filters with, also on a pipe where
// the first frames are held back while it looks at them.
TEST_F(Cli, AutoThresholdIsTheEstimatesT) {
  WriteFile(Path("in.y4m"), NoisyStream(96, 80, 13));
  std::string command = kProgram + " --estimate " + Path("in.y4m").string() + " >" + Path("estimate").string();
  ASSERT_EQ(velmoraine::testing::RunShell(command), 0);
  const std::string estimate = ReadFile(Path("estimate"));
  const size_t at = estimate.find("\nT ");
  ASSERT_NE(at, std::string::npos) << estimate;
  const int T = std::stoi(estimate.substr(at + 3));
  const double sigma = std::stod(estimate.substr(estimate.find("sigma ") + 6));
  EXPECT_NEAR(sigma, 10.0, 1.5);
  EXPECT_GE(T, 20);

  ASSERT_EQ(Run("--T " + std::to_string(T) + " " + Path("in.y4m").string() + " " + Path("fixed.y4m").string()), 0);
  ASSERT_EQ(Run("--T auto - - <" + Path("in.y4m").string() + " 2>" + Path("note").string() + " | cat >" +
                Path("auto.y4m").string()),
            0);
  EXPECT_NE(ReadFile(Path("note")).find("T=" + std::to_string(T)), std::string::npos) << ReadFile(Path("note"));
  EXPECT_TRUE(ReadFile(Path("auto.y4m")) == ReadFile(Path("fixed.y4m")));
  // Without --T, the same.
  ASSERT_EQ(Run(Path("in.y4m").string() + " " + Path("default.y4m").string()), 0);
  EXPECT_TRUE(ReadFile(Path("default.y4m")) == ReadFile(Path("fixed.y4m")));

  // A budget of 1 MiB holds 4 frames of 384x384 (221184 bytes): --T auto
  // looks at those alone, rough ones before calm ones, and so does --estimate.
  WriteFile(Path("big.y4m"), NoisyStream(384, 384, 4, "", {}, 14.0) + WithoutHeader(NoisyStream(384, 384, 6, "", {}, 2.0)));
  ASSERT_EQ(Run("-q --memory 1 --estimate " + Path("big.y4m").string() + " >" + Path("estimate").string()), 0);
  const std::string budgeted = ReadFile(Path("estimate"));
  ASSERT_EQ(Run("--memory 1 -j 1 " + Path("big.y4m").string() + " /dev/null"), 0);
  EXPECT_NE(error_.find("(luma of frames 0 to 3) -> T=" + budgeted.substr(budgeted.find("\nT ") + 3)), std::string::npos)
      << budgeted << error_;

  command = kProgram + " --version >" + Path("version").string();
  ASSERT_EQ(velmoraine::testing::RunShell(command), 0);
  EXPECT_EQ(ReadFile(Path("version")), std::string("velmoraine ") + VELMORAINE_VERSION_STRING + "\n");
}

}  // namespace
