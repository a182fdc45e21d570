// The program as people run it when things go wrong around it: Ctrl-C and
// kill, a full disk, a file-size limit, a terminal or an MP4 file as input.
// Whatever happens, the output holds whole frames only, exactly as a clean
// run writes them, and the message says how many.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/hostile/run_cli.h"

namespace velmoraine::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kW = 64, kH = 48;
constexpr size_t kRecord = 6 + kW * kH * 3 / 2;  // "FRAME\n" and the samples

// Starts velmoraine with the given descriptors as standard input, output and
// error, and an optional file-size limit.
pid_t StartProgram(const std::vector<std::string>& args, int in, int out, int err, rlim_t fileLimit = RLIM_INFINITY) {
  std::vector<std::string> all = {VELMORAINE_EXE};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (fileLimit != RLIM_INFINITY) {
      struct rlimit limit = {fileLimit, fileLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    dup2(in, 0), dup2(out, 1), dup2(err, 2);
    execv(VELMORAINE_EXE, argv.data());
    _exit(127);
  }
  return pid;
}

// Waits for the child; its wait status, or -1 when it is still running
// after `seconds` (it is then killed and the test fails).
int Finish(pid_t pid, int seconds) {
  int status = 0;
  return WaitOrKill(pid, seconds, "velmoraine", false, status) ? status : -1;
}

bool WaitForSize(const std::filesystem::path& path, uintmax_t size) {
  for (auto deadline = Clock::now() + std::chrono::seconds(30); Clock::now() < deadline;) {
    std::error_code error;
    if (std::filesystem::file_size(path, error) >= size && !error) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

void WriteAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    ASSERT_GT(put, 0);
    done += static_cast<size_t>(put);
  }
}

class Interrupts : public ::testing::Test {
 protected:
  void SetUp() override {
    stream_ = Stream(kW, kH, 8);
    header_ = stream_.find('\n') + 1;
    WriteFile(dir_ / "whole.y4m", stream_);
    CliResult r = RunCli({"--T", "20", (dir_ / "whole.y4m").string(), (dir_ / "whole.out").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    reference_ = ReadFile(dir_ / "whole.out");
  }

  // StartProgram, the child ended at the end of the test if it still runs.
  pid_t Start(const std::vector<std::string>& args, int in, int out, int err, rlim_t fileLimit = RLIM_INFINITY) {
    return children_.Add(StartProgram(args, in, out, err, fileLimit));
  }

  // The first `frames` frames of the clean run's output.
  std::string Prefix(size_t frames) const { return reference_.substr(0, header_ + frames * kRecord); }

  // Starts a run that reads a pipe and writes out.y4m (messages to err),
  // feeds it frames 0..4 and half of frame 5, and waits until the five are
  // written. Returns the pid; `feed` is the pipe's open end.
  pid_t StartOnFiveFramesAndAHalf(int& feed) {
    int input[2];
    if (pipe(input) != 0) return -1;
    const int out = open((dir_ / "out.y4m").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open((dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t pid = Start({"--T", "20", "-", "-"}, input[0], out, err);
    close(input[0]), close(out), close(err);
    feed = input[1];
    WriteAll(feed, stream_.substr(0, header_ + 5 * kRecord + kRecord / 2));
    EXPECT_TRUE(WaitForSize(dir_ / "out.y4m", header_ + 5 * kRecord));
    return pid;
  }

  TempDir dir_;
  Children children_;  // ended before dir_ is removed
  std::string stream_, reference_;
  size_t header_ = 0;
};

// Frames 0..4 and half of frame 5 arrive through a pipe that stays open; the
// signal comes once the five are written. The run ends by that signal (for
// the shell), the output holds the five frames and not the half.
TEST_F(Interrupts, FinishTheFramesReadAndEndByTheSignal) {
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    int feed = -1;
    const pid_t pid = StartOnFiveFramesAndAHalf(feed);
    ASSERT_GT(pid, 0);
    kill(pid, signal);
    const int status = Finish(pid, 20);
    close(feed);
    const std::string message = ReadFile(dir_ / "err");
    ASSERT_TRUE(WIFSIGNALED(status)) << status << " " << message;
    EXPECT_EQ(WTERMSIG(status), signal);
    EXPECT_TRUE(ReadFile(dir_ / "out.y4m") == Prefix(5));
    EXPECT_NE(message.find("the output holds 5 whole frames"), std::string::npos) << message;
    EXPECT_NE(message.find("--start 5"), std::string::npos) << message;
  }
}

// The lines of `text` that start with two spaces: the commands of a hint.
std::vector<std::string> IndentedLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    if (text.compare(at, 2, "  ") == 0) lines.push_back(text.substr(at + 2, end - at - 2));
    at = end + 1;
  }
  return lines;
}

// The hint after an interrupt, followed as printed (the rest into a new
// file, then joined), gives the clean run's output: with every setting of
// the run, the T that --T auto chose, and a chunk's start and length
// reduced by the frames already written. While the default --T auto still
// holds its first frames back, nothing is written, and the command runs it
// all again.
TEST_F(Interrupts, TheHintFinishesTheRunAsACleanRunWould) {
  std::string gentle = "YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C420jpeg\n";  // noise within 96..159
  for (uint32_t f = 0; f < 14; ++f) {
    std::string samples = Noise(kRecord - 6, 2000 + f);
    for (char& c : samples) c = static_cast<char>(96 + (c & 63));
    gentle += "FRAME\n" + samples;
  }
  WriteFile(dir_ / "gentle.y4m", gentle);
  struct Case {
    std::vector<std::string> options;
    size_t fed, written;  // whole frames in the pipe, and in the output
  } cases[] = {
      {{"--T", "auto", "--P", "2", "--lp", "1", "--hp", "90", "-j", "2"}, 12, 12},
      {{"--T", "20", "--P", "2", "--lp", "1", "--hp", "90", "--start", "1", "--frames", "9"}, 8, 7},
      {{"-j", "2", "--P", "2", "--lp", "1", "--hp", "90", "--memory", "1"}, 5, 0},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.options[1] + " " + c.options.back());
    std::filesystem::remove(dir_ / "out.y4m");
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    const int out = open("/dev/null", O_WRONLY), err = open((dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"-", (dir_ / "out.y4m").string()});
    const pid_t pid = Start(args, input[0], out, err);
    close(out), close(err);
    WriteAll(input[1], gentle.substr(0, header_ + c.fed * kRecord + kRecord / 2));
    if (c.written > 0) {
      ASSERT_TRUE(WaitForSize(dir_ / "out.y4m", header_ + c.written * kRecord));
    } else {
      // Nothing is written yet: wait until the program has taken the bytes from the pipe.
      int queued = 1;
      for (auto deadline = Clock::now() + std::chrono::seconds(30); queued > 0 && Clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(ioctl(input[0], FIONREAD, &queued), 0);
      }
      ASSERT_EQ(queued, 0);
    }
    close(input[0]);
    kill(pid, SIGINT);
    EXPECT_TRUE(WIFSIGNALED(Finish(pid, 20)));
    close(input[1]);
    const std::string message = ReadFile(dir_ / "err");
    const std::vector<std::string> commands = IndentedLines(message);
    ASSERT_EQ(commands.size(), c.written > 0 ? 2u : 1u) << message;
    EXPECT_NE(commands[0].find(" - " + (dir_ / (c.written > 0 ? "out-from" : "out.y4m")).string()), std::string::npos)
        << message;
    // Every setting but T and the chunk is repeated as given, the budget
    // too (it sets the frames --T auto takes).
    for (size_t o = 0; o + 1 < c.options.size(); o += 2)
      if (c.options[o] != "--T" && c.options[o] != "--start" && c.options[o] != "--frames") {
        EXPECT_NE(commands[0].find(" " + c.options[o] + " " + c.options[o + 1] + " "), std::string::npos) << message;
      }
    if (c.written == 0) {
      EXPECT_NE(message.find("nothing was written"), std::string::npos) << message;
      EXPECT_FALSE(std::filesystem::exists(dir_ / "out.y4m"));
    }
    ASSERT_EQ(RunShell(commands[0] + " <" + (dir_ / "gentle.y4m").string() + " 2>/dev/null"), 0);
    if (c.written > 0) {
      ASSERT_EQ(RunShell(commands[1]), 0) << commands[1];
    }

    // The clean run, with the T that the note of --T auto gave.
    if (c.options[1] == "auto" && c.written > 0) c.options[1] = message.substr(message.find("-> T=") + 5, message.find('\n') - message.find("-> T=") - 5);
    args = c.options;
    args.insert(args.end(), {(dir_ / "gentle.y4m").string(), (dir_ / "clean.y4m").string()});
    ASSERT_EQ(RunCli(args).status, 0);
    EXPECT_TRUE(ReadFile(dir_ / "out.y4m") == ReadFile(dir_ / "clean.y4m")) << message;
  }
}

// The same Ctrl-C ends the program feeding the pipe: the input stops inside
// frame 5 a moment before the signal. That is the interrupt, not damage.
TEST_F(Interrupts, AnInputCutOffByTheSameInterruptIsTheInterrupt) {
  int feed = -1;
  const pid_t pid = StartOnFiveFramesAndAHalf(feed);
  ASSERT_GT(pid, 0);
  close(feed);
  kill(pid, SIGINT);
  const int status = Finish(pid, 20);
  const std::string message = ReadFile(dir_ / "err");
  ASSERT_TRUE(WIFSIGNALED(status)) << message;
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_EQ(message.find("truncated"), std::string::npos) << message;
  EXPECT_NE(message.find("interrupted"), std::string::npos) << message;
  EXPECT_TRUE(ReadFile(dir_ / "out.y4m") == Prefix(5));
}

// Nobody reads the output pipe, so the frames read cannot all be written:
// the first signal cannot finish its work, the second ends the program.
TEST_F(Interrupts, ASecondSignalEndsAtOnce) {
  WriteFile(dir_ / "long.y4m", Stream(kW, kH, 60));  // far more than a pipe holds
  int output[2];
  ASSERT_EQ(pipe(output), 0);
  const int in = open((dir_ / "long.y4m").c_str(), O_RDONLY);
  const int err = open((dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const pid_t pid = Start({"--T", "20", "-j", "1", "-", "-"}, in, output[1], err);
  close(in), close(output[1]), close(err);
  // Until the pipe is about full (64 KiB on Linux, less by the pages that
  // writes leave part-filled).
  int waiting = 0;
  for (auto deadline = Clock::now() + std::chrono::seconds(30);
       Clock::now() < deadline && (ioctl(output[0], FIONREAD, &waiting) != 0 || waiting < 40000);)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_GE(waiting, 40000);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  kill(pid, SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "ended with frames read and not written";
  kill(pid, SIGINT);
  const int status = Finish(pid, 5);
  close(output[0]);
  ASSERT_TRUE(WIFSIGNALED(status)) << status << " " << ReadFile(dir_ / "err");
  EXPECT_EQ(WTERMSIG(status), SIGINT);
}

// A full disk (/dev/full) and a file-size limit are write errors: exit
// status 1, not death by SIGXFSZ; the message counts the frames the output
// really holds, and a frame cut short by the limit is removed again.
TEST_F(Interrupts, WriteFailuresCountOnlyWholeFrames) {
  CliResult full = RunCli({"--T", "20", (dir_ / "whole.y4m").string(), "/dev/full"});
  ASSERT_TRUE(full.exited) << full.signal;
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.err.find("no frame reached the output"), std::string::npos) << full.err;

  const int in = open((dir_ / "whole.y4m").c_str(), O_RDONLY);
  const int err = open((dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const rlim_t limit = header_ + 3 * kRecord + kRecord / 3;  // room for 3 frames and a third
  const pid_t pid = Start({"--T", "20", "-", (dir_ / "limited.y4m").string()}, in, 1, err, limit);
  close(in), close(err);
  const int status = Finish(pid, 20);
  const std::string message = ReadFile(dir_ / "err");
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << ": " << message;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(message.find("the output holds 3 whole frames, 0 to 2"), std::string::npos) << message;
  EXPECT_TRUE(ReadFile(dir_ / "limited.y4m") == Prefix(3));
}

// A terminal as input is refused at once instead of waiting for typing; an
// input that is no Y4M stream is shown and the conversion suggested.
TEST(UsedWrongly, TerminalInputAndOtherFormats) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  TempDir dir;
  CliResult r = RunCli({ptsname(master), (dir / "out.y4m").string()}, "", 10);
  close(master);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("terminal"), std::string::npos) << r.err;

  WriteFile(dir / "clip.mp4", std::string("\0\0\0 ftypisom\0\0\2\0", 16));
  r = RunCli({(dir / "clip.mp4").string(), (dir / "out.y4m").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("'\\x00\\x00\\x00 ftypisom\\x00\\x00\\x02\\x00'"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("ffmpeg -i INPUT -f yuv4mpegpipe -pix_fmt yuv420p -"), std::string::npos) << r.err;
}

// The progress line shows only on a terminal, with the total for a regular
// file, and -q turns it off.
TEST_F(Interrupts, ProgressOnATerminalUnlessQuiet) {
  for (bool quiet : {false, true}) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    const int in = open((dir_ / "whole.y4m").c_str(), O_RDONLY);
    const int out = open("/dev/null", O_WRONLY);
    std::vector<std::string> args = {"--T", "20", "-", "-"};
    if (quiet) args.insert(args.begin(), "-q");
    const pid_t pid = Start(args, in, out, terminal);
    close(in), close(out), close(terminal);
    std::string shown;
    fcntl(master, F_SETFL, O_NONBLOCK);
    int status = 0;
    for (auto deadline = Clock::now() + std::chrono::seconds(30); Clock::now() < deadline;) {
      char buffer[4096];
      const ssize_t got = read(master, buffer, sizeof buffer);
      if (got > 0) shown.append(buffer, static_cast<size_t>(got));
      if (got <= 0 && waitpid(pid, &status, WNOHANG) == pid) break;
      if (got <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
    if (quiet) {
      EXPECT_EQ(shown, "");
    } else {
      EXPECT_NE(shown.find("frame 8/8, 100.0 %"), std::string::npos) << shown;
      EXPECT_NE(shown.find("frames/s, 0:00 left"), std::string::npos) << shown;
    }
  }
}

}  // namespace
}  // namespace velmoraine::testing
