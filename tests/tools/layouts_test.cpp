// The program on every layout and depth: each plane of its output equals the
// plane filter on the same samples, at the plane's stored size, with alpha,
// the header and the FRAME lines untouched; today's 8-bit 4:2:0 and mono
// output unchanged; chunks of a deep stream joining to the whole run; and a
// frame the filter fails on ending the run after the frames before it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/plane_filter.h"
#include "tests/hostile/run_cli.h"
#include "tests/tools/synthetic_stream.h"
#include "tools/pipeline.h"
#include "tools/stream_frame.h"

namespace velmoraine::testing {
namespace {

namespace fs = std::filesystem;

class Layouts : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmoraine-layouts-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The program's output for `input` with `options`, after checking it
  // succeeded; its standard error in error_.
  std::string Run(const std::string& input, const std::string& options) {
    std::ofstream(dir_ / "in.y4m", std::ios::binary) << input;
    const std::string command = std::string(VELMORAINE_PROGRAM) + " -q " + options + " " + (dir_ / "in.y4m").string() +
                                " " + (dir_ / "out.y4m").string() + " 2>" + (dir_ / "err").string();
    const int status = RunShell(command);
    error_ = Read(dir_ / "err");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << options << ": " << error_;
    return Read(dir_ / "out.y4m");
  }
  static std::string Read(const fs::path& path) {
    std::stringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
  }

  fs::path dir_;
  std::string error_;
};

// Plane p of a frame's samples, filtered with the plane filter (alpha as it is).
std::string FilteredPlane(const StreamShape& s, const std::string& plane, int p) {
  if (p == 3) return plane;
  const int w = PlaneWidth(s, p), h = PlaneHeight(s, p);
  if (s.bits == 8) {
    std::string out = plane;
    EXPECT_TRUE(FilterPlane(PlaneView{reinterpret_cast<uint8_t*>(out.data()), w, w, h}, 24, 2, 0, 100));
    return out;
  }
  std::vector<uint16_t> words(static_cast<size_t>(w) * h);
  for (size_t i = 0; i < words.size(); ++i)
    words[i] = static_cast<uint16_t>(static_cast<uint8_t>(plane[2 * i]) | static_cast<uint8_t>(plane[2 * i + 1]) << 8);
  EXPECT_TRUE(FilterPlane(PlaneView16{words.data(), 2 * w, w, h, s.bits}, 24, 2, 0, 100));
  std::string out;
  for (uint16_t word : words) out += static_cast<char>(word & 255), out += static_cast<char>(word >> 8);
  return out;
}

TEST_F(Layouts, EveryPlaneIsTheFilterOfTheWholePlane) {
  struct Row {
    const char* name;
    StreamShape shape;
  } rows[] = {
      {"8-bit 4:2:2", {38, 22, "C422", 3, 1, 0, 8}},
      {"8-bit 4:4:4 with alpha", {24, 18, "C444alpha", 4, 0, 0, 8}},
      {"10-bit 4:2:0", {41, 26, "C420p10 XYSCSS=420P10", 3, 1, 1, 10}},
      {"16-bit 4:4:4", {20, 17, "C444p16", 3, 0, 0, 16}},
      {"12-bit mono", {33, 20, "Cmono12", 1, 0, 0, 12}},
      {"odd-sized 8-bit 4:2:0", {37, 27, "C420jpeg", 3, 1, 1, 8}},
  };
  constexpr int kFrames = 3;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const StreamShape& s = row.shape;
    const std::string input = SyntheticStream(s, kFrames, 29);
    const std::string output = Run(input, "--T 24 --P 2 --threads 2");
    ASSERT_EQ(output.size(), input.size());
    // Header and FRAME lines as they came; then the planes, one by one.
    size_t at = input.find('\n') + 1;
    EXPECT_EQ(output.substr(0, at), input.substr(0, at));
    for (int f = 0; f < kFrames; ++f) {
      const size_t line = input.find('\n', at) + 1 - at;
      EXPECT_EQ(output.substr(at, line), input.substr(at, line)) << "frame " << f;
      at += line;
      for (int p = 0; p < s.planes; ++p) {
        const size_t bytes = static_cast<size_t>(PlaneWidth(s, p)) * PlaneHeight(s, p) * (s.bits > 8 ? 2 : 1);
        EXPECT_TRUE(output.substr(at, bytes) == FilteredPlane(s, input.substr(at, bytes), p))
            << "frame " << f << " plane " << p;
        at += bytes;
      }
    }
  }
}

TEST_F(Layouts, EvenSized8BitOutputIsTheEarlierRevisions) {
  // Checksums of what the program made of these streams before it called the
  // filter directly (through the 2.5 frame server and the plug-in).
  const StreamShape yuv{64, 48, "C420jpeg", 3, 1, 1, 8}, mono{48, 32, "Cmono", 1, 0, 0, 8};
  EXPECT_EQ(Checksum(Run(SyntheticStream(yuv, 4, 11), "--T 20 --P 2 --threads 2")), 0xdaadbbab13cc5828ull);
  EXPECT_EQ(Checksum(Run(SyntheticStream(mono, 3, 12), "--T 20 --P 2 --threads 2")), 0x1ff5e7f7f234b2dbull);
}

TEST_F(Layouts, ChunksOfADeepStreamJoinToTheWholeRun) {
  const std::string input = SyntheticStream({30, 20, "C420p10", 3, 1, 1, 10}, 7, 5);
  const std::string whole = Run(input, "--T 30 --threads 3");
  auto body = [](const std::string& stream) { return stream.substr(stream.find('\n') + 1); };
  EXPECT_TRUE(Run(input, "--T 30 --start 0 --frames 3") + body(Run(input, "--T 30 --start 3 --frames 3")) +
                  body(Run(input, "--T 30 --start 6 --threads 1")) ==
              whole);
}

TEST_F(Layouts, TheEstimateIsIn8BitLevelsAtEveryDepth) {
  // The same picture and noise at 8 and at 10 bits: the same sigma in 8-bit
  // levels, and --T auto takes the same T from it.
  auto sigma = [&](const StreamShape& s) {
    Run(SyntheticStream(s, 3, 41), "--T 0");  // writes in.y4m
    const std::string command = std::string(VELMORAINE_PROGRAM) + " -q --estimate " + (dir_ / "in.y4m").string() +
                                " >" + (dir_ / "estimate").string();
    EXPECT_EQ(RunShell(command), 0);
    return std::stod(Read(dir_ / "estimate").substr(6));
  };
  const double eight = sigma({96, 64, "C420jpeg", 3, 1, 1, 8}), ten = sigma({96, 64, "C420p10", 3, 1, 1, 10});
  EXPECT_GT(eight, 5.0);
  EXPECT_NEAR(ten, eight, 0.05 * eight);
}

TEST_F(Layouts, AFrameTheFilterFailsOnEndsTheRunAfterTheFramesBeforeIt) {
  // Frames before the failing one are written whole and in order, however
  // many are in flight, whether the filter reports the failure or throws.
  const std::string input = SyntheticStream({20, 14, "C422p12", 3, 1, 0, 12}, 10, 3);
  std::ofstream(dir_ / "in.y4m", std::ios::binary) << input;
  size_t sixFrames = input.find('\n') + 1;  // the header and frames 0..5
  for (int f = 0; f < 6; ++f) sixFrames = input.find('\n', sixFrames) + 1 + 2 * (20 * 14 + 2 * 10 * 14);
  for (int manner = 0; manner < 2; ++manner) {
    for (int threads : {1, 2, 5}) {
      SCOPED_TRACE(::testing::Message() << "manner " << manner << ", " << threads << " threads");
      const int in = open((dir_ / "in.y4m").c_str(), O_RDONLY), out = creat((dir_ / "out.y4m").c_str(), 0644);
      tools::RunOptions options;
      options.threads = threads;
      std::string message;
      try {
        tools::FilterStream(in, [out] { return out; }, options, [manner](tools::StreamFrame& f) -> std::string {
          if (f.number != 6) return "";
          if (manner == 0) return "refused";
          throw std::runtime_error("an exception");
        });
      } catch (const tools::RunError& e) {
        message = e.what();
      }
      close(in);
      close(out);
      EXPECT_NE(message.find("frame 6: "), std::string::npos) << message;
      EXPECT_NE(message.find("the output holds 6 whole frames, 0 to 5"), std::string::npos) << message;
      EXPECT_TRUE(Read(dir_ / "out.y4m") == input.substr(0, sixFrames));
    }
  }
}

}  // namespace
}  // namespace velmoraine::testing
