// Filtering a Y4M stream through the plug-in, as a frame server would.
//
// The plug-in is loaded into our stand-in frame server and "velmoraine" is
// invoked by name on a Y4M source clip, with the settings as named int
// arguments. Frames then flow through a pipeline: one reader thread fills
// the source clip, N worker threads call GetFrame on the filter clip at once
// (the filter object is only read), and the calling thread writes the
// results in frame order. At most N+2 frames are between reading and writing.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace velmoraine::tools {

// The script arguments of "velmoraine", with their defaults.
struct FilterSettings {
  int T = 0;
  int P = 1;
  int lp = 0;
  int hp = 100;
};

struct RunOptions {
  FilterSettings settings;
  std::string pluginPath;
  int threads = 1;
  // A progress line (frames, frames per second) on standard error.
  bool progress = false;
};

// A failure to report to the user. Frames before the failing one have been
// written when it is thrown.
class RunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the stream on descriptor `in`, builds the filter, then calls
// openOutput for the descriptor to write (so nothing is created when the
// input or the settings are refused) and writes every filtered frame to it in
// order. Returns the count of frames written. Throws RunError.
int64_t FilterStream(int in, const std::function<int()>& openOutput, const RunOptions& options);

// The plug-in library that belongs to this program: beside the executable,
// in the build tree's plugin/ folder beside tools/, or where it was built.
// Throws RunError naming the places looked at when none holds it.
std::string DefaultPluginPath();

}  // namespace velmoraine::tools
