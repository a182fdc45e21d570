// Runs the built command-line program as a child process, for the tests of
// hostile input: standard input from a file, standard output and error
// captured, exit status, signal and peak memory reported. Also runs shell
// commands for the program tests. No child outlives its deadline: it is
// killed and the test fails, so a program that hangs fails in minutes.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velmoraine::testing {

// How long a child may run: about two minutes, longer in a sanitizer build
// (several times slower), and VELMORAINE_CHILD_SECONDS overrides both (for
// an emulated or crowded machine).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr int kChildSeconds = 600;
#else
inline constexpr int kChildSeconds = 120;
#endif

inline int ChildSeconds() {
  const char* text = std::getenv("VELMORAINE_CHILD_SECONDS");
  const int seconds = text == nullptr ? 0 : std::atoi(text);
  return seconds > 0 ? seconds : kChildSeconds;
}

// The running test's name; the one whose child was last killed.
inline std::string RunningTest() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return test == nullptr ? "?" : std::string(test->test_suite_name()) + "." + test->name();
}
inline std::string& TestWithAKilledChild() {
  static std::string name;
  return name;
}

// Once a child of the running test was killed, its later children get a
// few seconds only: the test has failed already and should end soon.
inline int SecondsLeftForChild(int seconds) {
  return TestWithAKilledChild() == RunningTest() ? std::min(seconds, 10) : seconds;
}

// Waits for child `pid` for `seconds`; past that kills it (its process
// group when `group`), reaps it and fails the running test naming `what`.
// Returns false when it was killed.
inline bool WaitOrKill(pid_t pid, int seconds, const std::string& what, bool group, int& status,
                       struct rusage* usage = nullptr) {
  seconds = SecondsLeftForChild(seconds);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    const pid_t done = wait4(pid, &status, WNOHANG, usage);
    if (done == pid) return true;
    if (done < 0 && errno != EINTR) {
      // No status to report: never one that reads as a success.
      status = -1;
      ADD_FAILURE() << "cannot wait for " << what << ": " << std::strerror(errno);
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(group ? -pid : pid, SIGKILL);
  wait4(pid, &status, 0, usage);
  TestWithAKilledChild() = RunningTest();
  ADD_FAILURE() << "killed after " << seconds << " s (hung?): " << what;
  return false;
}

// Runs `command` with /bin/sh as std::system does (returns the same wait
// status), in a process group of its own, so that a pipeline that hangs is
// killed whole after ChildSeconds().
inline int RunShell(const std::string& command) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  std::string shell = "/bin/sh", dashC = "-c", line = command;
  char* argv[] = {shell.data(), dashC.data(), line.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, "/bin/sh", nullptr, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) throw std::runtime_error("cannot start /bin/sh");
  int status = 0;
  WaitOrKill(pid, ChildSeconds(), command, true, status);
  return status;
}

// The children a test started itself (fork and exec): any still running at
// the end of its scope is killed, so a test that fails half-way leaves none.
class Children {
 public:
  Children() = default;
  Children(const Children&) = delete;
  Children& operator=(const Children&) = delete;
  ~Children() {
    for (pid_t pid : pids_) {
      if (waitpid(pid, nullptr, WNOHANG) != 0) continue;  // reaped already, or ended now
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  pid_t Add(pid_t pid) {
    if (pid > 0) pids_.push_back(pid);
    return pid;
  }

 private:
  std::vector<pid_t> pids_;
};

#ifdef VELMORAINE_EXE

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A fresh folder, removed with everything in it at the end of its scope.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmoraine-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

struct CliResult {
  bool exited = false;  // ended through exit, not a signal
  int status = -1;      // exit status when `exited`
  int signal = 0;       // the signal that ended it otherwise
  bool timedOut = false;
  long peakRssKiB = 0;
  std::string out;
  std::string err;
  int StderrLines() const {
    int lines = 0;
    for (char c : err) lines += c == '\n';
    return lines + (!err.empty() && err.back() != '\n');
  }
};

// Runs velmoraine with `args`; standard input comes from `input` (a path;
// /dev/null when empty), standard output goes to `outputFd` when it is given
// (e.g. a pipe), else it is captured. Gives up (killing the child) after
// `seconds`.
inline CliResult RunCli(const std::vector<std::string>& args, const std::string& input = "",
                        int seconds = ChildSeconds(), int outputFd = -1) {
  TempDir dir;
  const std::string outPath = (dir / "stdout").string(), errPath = (dir / "stderr").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.empty() ? "/dev/null" : input.c_str(), O_RDONLY, 0);
  if (outputFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> all = {VELMORAINE_EXE};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  CliResult result;
  const int spawned = posix_spawn(&pid, VELMORAINE_EXE, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + std::string(VELMORAINE_EXE));

  int status = 0;
  struct rusage usage {};
  std::string what = "velmoraine";
  for (const std::string& a : args) what += " " + a;
  result.timedOut = !WaitOrKill(pid, seconds, what, false, status, &usage);
  result.exited = WIFEXITED(status);
  result.status = result.exited ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.peakRssKiB = usage.ru_maxrss;
  if (outputFd < 0) result.out = ReadFile(outPath);
  result.err = ReadFile(errPath);
  return result;
}
#endif  // VELMORAINE_EXE

// --- Streams --------------------------------------------------------------

// Deterministic noise bytes.
inline std::string Noise(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::string out(count, '\0');
  for (char& c : out) c = static_cast<char>(random() >> 24);
  return out;
}

// One 4:2:0 (or mono) frame: its FRAME line and samples.
inline std::string Frame(int w, int h, uint32_t seed, bool mono = false, const std::string& parameters = "") {
  const size_t chroma = mono ? 0 : 2 * static_cast<size_t>((w + 1) / 2) * static_cast<size_t>((h + 1) / 2);
  return "FRAME" + parameters + "\n" + Noise(static_cast<size_t>(w) * h + chroma, seed);
}

// A header line for w x h and `frames` frames after it.
inline std::string Stream(int w, int h, int frames, const std::string& tags = " F25:1 Ip A1:1 C420jpeg",
                          bool mono = false) {
  std::string s = "YUV4MPEG2 W" + std::to_string(w) + " H" + std::to_string(h) + tags + "\n";
  for (int i = 0; i < frames; ++i) s += Frame(w, h, 1000 + static_cast<uint32_t>(i), mono);
  return s;
}

}  // namespace velmoraine::testing
