// Runs the built command-line program as a child process, for the tests of
// hostile input: standard input from a file, standard output and error
// captured, exit status, signal and peak memory reported.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velmoraine::testing {

#ifndef VELMORAINE_EXE
#error "VELMORAINE_EXE must name the built velmoraine program"
#endif

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
                        int seconds = 120, int outputFd = -1) {
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

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  struct rusage usage {};
  for (;;) {
    const pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &usage);
      result.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.exited = WIFEXITED(status);
  result.status = result.exited ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.peakRssKiB = usage.ru_maxrss;
  if (outputFd < 0) result.out = ReadFile(outPath);
  result.err = ReadFile(errPath);
  return result;
}

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
