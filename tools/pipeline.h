// Filtering a Y4M stream with the plane filter, called directly.
//
// Frames flow through a pipeline: one reader thread reads them, N worker
// threads filter their planes at once (the prepared filter is only read),
// and the calling thread writes the results in frame order. At most N+2
// frames are between reading and writing (N+1 for frames of 16 MiB and more),
// and no more than the memory budget holds (but always one).
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmoraine::tools {

// The filter's settings, with their defaults.
struct FilterSettings {
  int T = 0;
  int P = 1;
  int lp = 0;
  int hp = 100;
};

// Frames the threshold is estimated from when it is chosen automatically:
// the first ones of the stream, held back until it is known.
inline constexpr int kEstimateFrames = 10;

// The memory budget of the frames in flight unless the user sets one.
inline constexpr uint64_t kDefaultMemoryBudget = uint64_t{1} << 30;

struct RunOptions {
  FilterSettings settings;
  // T from the noise estimate of the first kEstimateFrames frames (fewer
  // when the memory budget holds fewer) instead of settings.T (reported on standard error unless `quiet`).
  bool autoThreshold = false;
  int threads = 1;
  // Bytes the frames between reading and writing may take together, the
  // frames --T auto holds back included; one frame is always allowed.
  uint64_t memoryBudget = kDefaultMemoryBudget;
  // A progress line on standard error: frames and frames per second, and
  // for a regular file the total, percentage and time left.
  bool progress = false;
  // No notes on standard error (the estimate, a chunk past the end);
  // failures are still reported.
  bool quiet = false;
  // The chunk of the stream to filter: frames start .. start+frames-1
  // (frames < 0: to the end). The output is a whole stream with the input's
  // header and just these frames.
  int64_t start = 0;
  int64_t frames = -1;
  // Interlaced streams (It, Ib) are filtered field by field unless this
  // asks for whole frames.
  bool progressive = false;
  // What the hint after an interrupt repeats to filter the rest: the
  // program as it was called, the options that do not change the frames
  // (e.g. -q, -j 2), and IN and OUT as given.
  std::string program = "velmoraine";
  std::vector<std::string> otherOptions;
  std::string inputName = "IN", outputName = "OUT.y4m";
};

// The noise of a stream, as --T auto sees it.
struct NoiseReport {
  double sigma = 0;
  int threshold = 0;
  int64_t frames = 0;  // frames looked at (the first ones of the stream)
  const char* noEstimate = nullptr;  // why there is none (sigma and T are then 0)
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
// order. Returns the count of frames written. Throws RunError, whose message
// says how many whole frames the output holds; a partial frame left by a
// failed write is cut off again when the output is a regular file. When a
// signal interrupts the run (see tools/interrupt.h), it writes the frames it
// has read, reports and ends the program by that signal; while --T auto
// still holds its first frames back, it writes none, says so and gives the
// command to run again.
//
// `filterFrame`, when given, filters each frame instead of the plane filter
// (for tests of failures): it returns "" or what went wrong with the frame.
struct StreamFrame;
using FrameFilter = std::function<std::string(StreamFrame&)>;
int64_t FilterStream(int in, const std::function<int()>& openOutput, const RunOptions& options,
                     const FrameFilter& filterFrame = {});

// Estimates the noise of the stream on `in` from the luma of the frames
// --T auto would take with `options` (its first kEstimateFrames, fewer when
// the memory budget holds fewer; from their fields when the stream is
// interlaced, unless progressive), in 8-bit levels at every depth,
// filtering nothing. Throws RunError.
NoiseReport EstimateStream(int in, const RunOptions& options);

// The message for an input that is not a Y4M stream, with the conversion.
std::string NotY4mMessage(const std::string& reason);

}  // namespace velmoraine::tools
