#include "tools/pipeline.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "tools/interrupt.h"
#include "tools/noise_estimate.h"
#include "tools/stream_frame.h"
#include "y4m/y4m.h"

namespace velmoraine::tools {
namespace {

using Clock = std::chrono::steady_clock;
using FramePtr = std::unique_ptr<StreamFrame>;

// What the reader, the workers and the writer share. Everything is guarded
// by `mutex`; `changed` wakes whoever waits for any of it.
struct Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<FramePtr> work;              // read, not yet taken by a worker
  std::map<int64_t, FramePtr> filtered;   // filtered, not yet written
  int inFlight = 0;                       // read, not yet written
  int limit = 3;
  bool readerDone = false;
  int64_t framesRead = 0;  // once readerDone: the frame after the last one read whole
  std::string readError;
  int64_t failedFrame = INT64_MAX;  // lowest frame whose filtering failed
  std::string failure;
  bool stop = false;  // the writer gave up: reader and workers end
  int64_t end = INT64_MAX;  // the frame after the last one to read
  int64_t nextToRead = 0;   // the frame after the last one read whole
  bool interrupted = false;  // a signal came: nothing more is read
  int64_t cutoff = INT64_MAX;  // when interrupted, the frame after the last one written
  // Before any frame goes to the filter: the header and the frames before
  // the chunk are read, then --T auto reads the frames it estimates from.
  // Nothing is written yet.
  enum class Phase { kStarting, kEstimating, kFiltering } phase = Phase::kStarting;
};

// Reads the next frame, turning what goes wrong into a message.
FramePtr ReadOrExplain(y4m::Reader& reader, std::string& error) {
  try {
    return ReadStreamFrame(reader);
  } catch (const y4m::Error& e) {
    error = std::string("input: ") + e.what();
  } catch (const std::bad_alloc&) {
    error = "input: frame " + std::to_string(reader.framesRead()) + ": not enough memory for its " +
            std::to_string(reader.header().FrameBytes()) + " bytes";
  } catch (const std::exception& e) {
    error = "input: frame " + std::to_string(reader.framesRead()) + ": " + e.what();
  }
  return nullptr;
}

void ReaderThread(Shared& shared, y4m::Reader& reader) {
  int64_t read;
  {
    std::lock_guard lock(shared.mutex);
    read = shared.nextToRead;
  }
  std::string error;
  for (;;) {
    {
      std::unique_lock lock(shared.mutex);
      shared.changed.wait(lock, [&] {
        return shared.stop || shared.interrupted || shared.inFlight < shared.limit;
      });
      if (shared.stop || shared.interrupted || read >= shared.end) break;
    }
    FramePtr frame = ReadOrExplain(reader, error);
    if (!frame) break;
    std::lock_guard lock(shared.mutex);
    read = frame->number + 1;
    shared.nextToRead = read;
    shared.work.push_back(std::move(frame));
    ++shared.inFlight;
    shared.changed.notify_all();
  }
  std::lock_guard lock(shared.mutex);
  shared.readerDone = true;
  shared.framesRead = read;
  shared.readError = error;
  shared.changed.notify_all();
}

void WorkerThread(Shared& shared, const FrameFilter& filter) {
  for (;;) {
    FramePtr frame;
    {
      std::unique_lock lock(shared.mutex);
      shared.changed.wait(lock, [&] { return shared.stop || !shared.work.empty() || shared.readerDone; });
      if (shared.stop || shared.work.empty()) return;
      frame = std::move(shared.work.front());
      shared.work.pop_front();
    }
    std::string failure;
    try {
      failure = filter(*frame);
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {
      failure = "the filter failed with an exception of unknown type";
    }
    const int64_t n = frame->number;
    std::lock_guard lock(shared.mutex);
    if (failure.empty()) {
      shared.filtered.emplace(n, std::move(frame));
    } else if (n < shared.failedFrame) {
      shared.failedFrame = n;
      // Messages that name the frame already are not told it again.
      const std::string name = "frame " + std::to_string(n);
      shared.failure = failure.find(name + ":") != std::string::npos ? failure : name + ": " + failure;
    }
    shared.changed.notify_all();
  }
}

// The progress line: rewritten in place at most twice a second. With a
// known total: "frame n/total, percent, frames/s, time left".
class Progress {
 public:
  Progress(bool enabled, int64_t total) : enabled_(enabled), total_(total), start_(Clock::now()), last_(start_) {}
  void Update(int64_t frames, bool final = false) {
    if (!enabled_ || done_) return;
    auto now = Clock::now();
    if (!final && now - last_ < std::chrono::milliseconds(500)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? frames / seconds : 0.0;
    if (total_ > 0) {
      const int64_t total = std::max(total_, frames);
      const double left = rate > 0 ? (total - frames) / rate : 0.0;
      const long minutes = static_cast<long>(left) / 60, secondsLeft = static_cast<long>(left) % 60;
      std::fprintf(stderr, "\rvelmoraine: frame %lld/%lld, %.1f %%, %.1f frames/s, %ld:%02ld left ",
                   static_cast<long long>(frames), static_cast<long long>(total), 100.0 * frames / total, rate,
                   minutes, secondsLeft);
    } else {
      std::fprintf(stderr, "\rvelmoraine: frame %lld, %.1f frames/s ", static_cast<long long>(frames), rate);
    }
    if (final) {
      std::fputc('\n', stderr);
      done_ = true;
    }
    std::fflush(stderr);
  }

 private:
  bool enabled_;
  bool done_ = false;
  int64_t total_;
  Clock::time_point start_, last_;
};

// "the output holds ...", for the frames first .. first+count-1.
std::string Holds(int64_t first, int64_t count) {
  if (count == 0) return "no frame reached the output";
  if (count == 1) return "the output holds 1 whole frame, frame " + std::to_string(first);
  return "the output holds " + std::to_string(count) + " whole frames, " + std::to_string(first) + " to " +
         std::to_string(first + count - 1);
}

// A word for a POSIX shell: as it is when the shell would take it so, else
// in single quotes.
std::string ShellWord(const std::string& word) {
  constexpr const char* kPlain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-+=/.,:@%";
  if (!word.empty() && word.find_first_not_of(kPlain) == std::string::npos) return word;
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// A new name for the rest of an output: OUT.y4m -> OUT-from42.y4m.
std::string RestName(const std::string& output, int64_t next) {
  if (output == "-") return output;
  const std::string tag = "-from" + std::to_string(next);
  const bool y4m = output.size() > 4 && output.compare(output.size() - 4, 4, ".y4m") == 0;
  return y4m ? output.substr(0, output.size() - 4) + tag + ".y4m" : output + tag + ".y4m";
}

// The command line, as shell words, that filters the run's input with its
// settings and threshold `T`, frames `first` on (`count` of them; all when
// count < 0), into `output`.
std::string Command(const RunOptions& options, const FilterSettings& settings, const std::string& T, int64_t first,
                    int64_t count, const std::string& output) {
  std::vector<std::string> words = {options.program, "--T", T, "--P", std::to_string(settings.P),
                                    "--lp", std::to_string(settings.lp), "--hp", std::to_string(settings.hp)};
  words.insert(words.end(), options.otherOptions.begin(), options.otherOptions.end());
  if (first > 0) words.insert(words.end(), {"--start", std::to_string(first)});
  if (count >= 0) words.insert(words.end(), {"--frames", std::to_string(count)});
  words.insert(words.end(), {options.inputName, output});
  std::string command;
  for (const std::string& word : words) command.append(" ").append(ShellWord(word));
  return command;
}

// The commands that filter the rest of an interrupted run, frames `next`
// on (`left` of them; all when left < 0), with the settings it used, into
// a new file, and join that to this run's output.
std::string ResumeHint(const RunOptions& options, const FilterSettings& settings, int64_t next, int64_t left) {
  const std::string rest = RestName(options.outputName, next);
  std::string hint = "velmoraine: to filter the rest";
  if (options.inputName == "-") hint += " (from the same input, again on standard input)";
  hint += options.outputName == "-" ? ":\n " : " into a new file and join it to this one:\n ";
  hint += Command(options, settings, std::to_string(settings.T), next, left, rest);
  if (options.outputName == "-")
    return hint + "\n  and leave out the first line of its output (its header, e.g. with tail -n +2)\n";
  return hint + "\n  tail -n +2 " + ShellWord(rest) + " >> " + ShellWord(options.outputName) + "\n";
}

// Reads the header, turning what is not a stream into a message that says
// how to make one.
void ReadStreamHeader(y4m::Reader& reader) {
  try {
    reader.ReadHeader();
  } catch (const y4m::NotY4mError& e) {
    throw RunError(NotY4mMessage(std::string("input: ") + e.what()));
  } catch (const y4m::Error& e) {
    throw RunError(std::string("input: ") + e.what());
  }
}

// The frames to filter: first .. end-1 (end is at most the stream's end).
struct Chunk {
  int64_t first = 0;
  int64_t end = INT64_MAX;
  int64_t inFile = -1;   // the frames of a regular file, else -1
  bool pastEnd = false;  // the stream ends before `first`

  // The frames to filter, when the input is a regular file; else -1.
  int64_t Frames() const { return inFile < 0 ? -1 : std::max<int64_t>(0, std::min(end, inFile) - first); }
};

// Moves the reader to the chunk's first frame: straight there when the file
// allows it, else reading through the frames before it.
Chunk SeekToChunk(y4m::Reader& reader, const RunOptions& options) {
  Chunk chunk;
  chunk.first = std::max<int64_t>(options.start, 0);
  if (options.frames >= 0 && options.frames <= INT64_MAX - chunk.first) chunk.end = chunk.first + options.frames;
  chunk.inFile = reader.FramesInFile();
  try {
    if (chunk.first > 0 && !reader.SeekToFrame(chunk.first)) {
      std::string parameters;
      while (reader.framesRead() < chunk.first && reader.ReadFrameHeader(parameters)) reader.SkipFrameSamples();
    }
  } catch (const y4m::Error& e) {
    throw RunError(std::string("input: ") + e.what() + " (before the first frame to filter, " +
                   std::to_string(chunk.first) + "; no output was written)");
  }
  chunk.pastEnd = reader.framesRead() < chunk.first;
  if (reader.framesRead() > chunk.first)
    throw RunError("input: the first frame read for the chunk would be frame " + std::to_string(reader.framesRead()) +
                   ", not its first, frame " + std::to_string(chunk.first) + " (no output was written)");
  try {
    chunk.pastEnd = chunk.pastEnd || (chunk.first > 0 && reader.AtEnd());
  } catch (const y4m::Error& e) {
    throw RunError(std::string("input: ") + e.what() + " (no output was written)");
  }
  if (chunk.pastEnd && !options.quiet)
    std::fprintf(stderr, "velmoraine: the input has only %lld frames: no frame to filter from frame %lld on\n",
                 static_cast<long long>(reader.framesRead()), static_cast<long long>(chunk.first));
  return chunk;
}

// The first frames, read before any is filtered so that --T auto can look
// at them; what ended the reading early, if anything.
struct HeldBack {
  std::vector<FramePtr> frames;
  std::string error;
  bool ended = false;  // the stream has no frame after these
};

// The frames of `frameBytes` that the memory budget holds (0 or more).
uint64_t FramesInBudget(const RunOptions& options, size_t frameBytes) {
  return options.memoryBudget / std::max<uint64_t>(frameBytes, 1);
}

// The frames that may be between reading and writing at once: one for each
// worker, one read ahead and one being written (frames of 16 MiB and more
// take so much longer to filter than to read or write that the second costs
// their memory and buys nothing), within the budget, and at least one.
int FramesInFlight(const RunOptions& options, size_t frameBytes) {
  const int wanted = std::max(1, options.threads) + (frameBytes >= (size_t{16} << 20) ? 1 : 2);
  const uint64_t fit = FramesInBudget(options, frameBytes);
  return static_cast<int>(std::max<uint64_t>(1, std::min<uint64_t>(static_cast<uint64_t>(wanted), fit)));
}

// The frames the noise is estimated from, by --T auto and --estimate alike:
// the first kEstimateFrames, or as many as the memory budget holds (at
// least one), since --T auto must hold them all back.
size_t FramesToEstimate(const RunOptions& options, size_t frameBytes) {
  return static_cast<size_t>(std::clamp<uint64_t>(FramesInBudget(options, frameBytes), 1, kEstimateFrames));
}

// For --T auto: reads the chunk's first kEstimateFrames frames (no more
// than the memory budget holds), estimates the noise of their luma (by field
// when `byField`), reports it and returns the threshold for it.
int HoldBackForEstimate(y4m::Reader& reader, const Chunk& chunk, const RunOptions& options, bool byField,
                        HeldBack& held) {
  NoiseEstimator estimator;
  const bool quiet = options.quiet;
  const size_t most = FramesToEstimate(options, reader.header().FrameBytes());
  while (held.error.empty() && held.frames.size() < most &&
         chunk.first + static_cast<int64_t>(held.frames.size()) < chunk.end) {
    FramePtr frame = ReadOrExplain(reader, held.error);
    if (!frame) {
      held.ended = held.error.empty();
      break;
    }
    AddLuma(estimator, reader.header(), *frame, byField);
    held.frames.push_back(std::move(frame));
  }
  const int T = ThresholdForSigma(estimator.Sigma());
  if (!quiet && !held.frames.empty() && estimator.NoEstimate())
    std::fprintf(stderr, "velmoraine: no noise estimate (%s): T=0\n", estimator.NoEstimate());
  else if (!quiet && !held.frames.empty())
    std::fprintf(stderr, "velmoraine: noise sigma %.2f levels (luma of frames %lld to %lld) -> T=%d\n",
                 estimator.Sigma(), static_cast<long long>(chunk.first),
                 static_cast<long long>(chunk.first + static_cast<int64_t>(held.frames.size()) - 1), T);
  if (!quiet && !held.frames.empty() && (options.start > 0 || options.frames >= 0))
    std::fprintf(stderr, "velmoraine: this T is the chunk's own and other chunks may take another: for chunks that "
                         "join seamlessly, give them all the T that 'velmoraine --estimate IN' prints\n");
  return T;
}

// The output and how much of it is whole. A regular file the program
// writes from a known place (not appending) can have a partial last frame
// cut off again.
struct Output {
  explicit Output(int descriptor) : fd(descriptor), writer(descriptor) {
    struct stat info {};
    canCut = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && !(fcntl(fd, F_GETFL) & O_APPEND);
    start = canCut ? lseek(fd, 0, SEEK_CUR) : -1;
  }
  // Writes what `write` puts in the buffer out at once, whole; a second
  // signal waits for it.
  template <typename Write>
  void Whole(Write write) {
    std::lock_guard frameLock(interrupt::FrameLock());
    write(writer);
    writer.Finish();
    wholeBytes = writer.BytesWritten();
  }
  // A write that failed half-way leaves a piece of a frame: cut it off.
  void CutPartialFrame() {
    if (!canCut || start < 0 || writer.BytesWritten() == wholeBytes) return;
    if (ftruncate(fd, start + static_cast<off_t>(wholeBytes)) == 0)
      lseek(fd, start + static_cast<off_t>(wholeBytes), SEEK_SET);
  }
  int fd;
  y4m::Writer writer;
  bool canCut;
  off_t start;
  uint64_t wholeBytes = 0;  // the header and the frames written whole
};

// Writes the filtered frames in order from `first` on, until the input
// ends, a frame fails or a signal cuts the run, counting them in `written`;
// `error` says what stopped the run when it was not the clean end. Throws
// y4m::Error when the output fails.
void WriteInOrder(Shared& shared, Output& output, const y4m::StreamHeader& header, int64_t first,
                  Progress& progress, int64_t& written, std::string& error) {
  for (int64_t next = first;; ++next) {
    FramePtr frame;
    {
      std::unique_lock lock(shared.mutex);
      shared.changed.wait(lock, [&] {
        return shared.filtered.count(next) || shared.failedFrame <= next ||
               (shared.interrupted && next >= shared.cutoff) || (shared.readerDone && next >= shared.framesRead);
      });
      if (shared.interrupted && next >= shared.cutoff) break;
      auto it = shared.filtered.find(next);
      if (it == shared.filtered.end()) {
        // The first frame that cannot be written: filtering failed, or the
        // input ended (cleanly or not).
        error = shared.failedFrame <= next ? shared.failure : shared.readError;
        break;
      }
      frame = std::move(it->second);
      shared.filtered.erase(it);
    }
    output.Whole([&](y4m::Writer& writer) { WriteStreamFrame(writer, header, *frame); });
    frame.reset();
    progress.Update(++written);
    std::lock_guard lock(shared.mutex);
    --shared.inFlight;
    shared.changed.notify_all();
  }
}

// After a signal: says what the output holds and the commands that filter
// the rest with the same settings, then ends the program by that signal.
// Threads are left as they are: the reader may wait on a pipe forever.
[[noreturn]] void ReportInterrupt(int64_t first, int64_t written, const RunOptions& options,
                                  const FilterSettings& settings, Progress& progress) {
  progress.Update(written, true);
  const int signal = interrupt::Caught();
  std::fprintf(stderr, "velmoraine: interrupted by %s: stopped reading; %s\n",
               signal == SIGTERM ? "SIGTERM" : "SIGINT", Holds(first, written).c_str());
  if (written > 0 || first > 0) {
    const int64_t left = options.frames < 0 ? -1 : options.frames - written;
    std::fputs(ResumeHint(options, settings, first + written, left).c_str(), stderr);
  }
  std::fflush(stderr);
  interrupt::Reraise();
}

// An interrupt before any frame went to the filter (while --T auto held
// its first frames back, when `estimating`): nothing was written; says so
// and how to run again, and ends the program by the signal.
[[noreturn]] void ReportEarlyInterrupt(const RunOptions& options, bool estimating) {
  const int signal = interrupt::Caught();
  const std::string out = options.outputName == "-" ? "standard output" : "'" + options.outputName + "'";
  const std::string T = options.autoThreshold ? "auto" : std::to_string(options.settings.T);
  std::string text = std::string("velmoraine: interrupted by ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") +
                     (estimating ? " while --T auto read the first frames to estimate the noise"
                                 : " before the first frame to filter was read") +
                     ": nothing was written to " + out + "\nvelmoraine: to filter it, run again" +
                     (options.inputName == "-" ? " (with the input again on standard input)" : "") + ":\n " +
                     Command(options, options.settings, T, options.start, options.frames, options.outputName) + "\n";
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
  interrupt::Reraise();
}

// Whether the frames go by field; says so (unless quiet) for interlaced input.
bool FilterByField(const y4m::StreamHeader& header, const RunOptions& options) {
  const char interlacing = Interlacing(header);
  const bool byField = !options.progressive && (interlacing == 't' || interlacing == 'b');
  if (options.quiet || options.progressive) return byField;
  if (byField)
    std::fprintf(stderr, "velmoraine: interlaced input (%s field first): each field is filtered as a picture of its "
                         "own; --progressive filters whole frames\n", interlacing == 't' ? "top" : "bottom");
  else if (interlacing == 'm')
    std::fprintf(stderr, "velmoraine: mixed interlacing (Im): frames are filtered whole, as progressive ones\n");
  return byField;
}

void SetPhase(Shared& shared, Shared::Phase phase) {
  std::lock_guard lock(shared.mutex);
  shared.phase = phase;
}

// The threshold: for --T auto from the chunk's first frames, read into
// `held`. A signal until it is known is reported by ReportEarlyInterrupt,
// which holds the lock to the end: the run goes no further.
int Threshold(Shared& shared, y4m::Reader& reader, const Chunk& chunk, const RunOptions& options, bool byField,
              HeldBack& held) {
  int T = options.settings.T;
  if (options.autoThreshold && !chunk.pastEnd) {
    SetPhase(shared, Shared::Phase::kEstimating);
    T = HoldBackForEstimate(reader, chunk, options, byField, held);
  }
  SetPhase(shared, Shared::Phase::kFiltering);
  return T;
}

// Hands the held frames to the workers, and ends the reading already when
// nothing more is to be read.
void StartWithHeld(Shared& shared, const Chunk& chunk, HeldBack& held) {
  std::lock_guard lock(shared.mutex);  // a signal may already be taken
  shared.end = chunk.end;
  shared.nextToRead = chunk.first + static_cast<int64_t>(held.frames.size());
  shared.inFlight = static_cast<int>(held.frames.size());
  for (FramePtr& frame : held.frames) shared.work.push_back(std::move(frame));
  held.frames.clear();
  if (chunk.pastEnd || held.ended || !held.error.empty() || shared.nextToRead >= shared.end) {
    shared.readerDone = true;
    shared.framesRead = shared.nextToRead;
    shared.readError = held.error;
  }
}

// True when a signal stopped the run. An input cut off or an output closed
// by the Ctrl-C that also reached the programs at the pipe's other ends is
// the interrupt, not damage: a failure is given a moment for its signal.
bool Interrupted(Shared& shared, const std::string& error) {
  {
    std::lock_guard lock(shared.mutex);
    if (shared.interrupted) return true;
  }
  return !error.empty() && interrupt::WaitFor(std::chrono::milliseconds(250));
}

// Ends the reader and the workers, and waits for them.
void StopAndJoin(Shared& shared, std::vector<std::thread>& pool) {
  {
    std::lock_guard lock(shared.mutex);
    shared.stop = true;
    shared.changed.notify_all();
  }
  for (std::thread& thread : pool) thread.join();
}

}  // namespace

std::string NotY4mMessage(const std::string& reason) {
  return reason +
         "\nconvert it first, e.g.: ffmpeg -i INPUT -f yuv4mpegpipe -pix_fmt yuv420p - | velmoraine --T auto - OUT.y4m";
}

NoiseReport EstimateStream(int in, const RunOptions& options) {
  y4m::Reader reader(in);
  ReadStreamHeader(reader);
  const char interlacing = Interlacing(reader.header());
  const bool byField = !options.progressive && (interlacing == 't' || interlacing == 'b');
  const int64_t most = static_cast<int64_t>(FramesToEstimate(options, reader.header().FrameBytes()));
  NoiseEstimator estimator;
  NoiseReport report;
  std::string error;
  while (report.frames < most) {
    FramePtr frame = ReadOrExplain(reader, error);
    if (!frame) break;
    AddLuma(estimator, reader.header(), *frame, byField);
    ++report.frames;
  }
  if (!error.empty()) throw RunError(error);
  if (report.frames == 0) throw RunError("input: the stream holds no frame to estimate the noise from");
  report.sigma = estimator.Sigma();
  report.noEstimate = estimator.NoEstimate();
  report.threshold = ThresholdForSigma(report.sigma);
  return report;
}

int64_t FilterStream(int in, const std::function<int()>& openOutput, const RunOptions& options,
                     const FrameFilter& filterFrame) {
  Shared shared;
  // A signal from here on: stop reading, write what was read, report.
  interrupt::Listener listener([&shared, &options] {
    std::unique_lock lock(shared.mutex);
    if (shared.phase != Shared::Phase::kFiltering)
      ReportEarlyInterrupt(options, shared.phase == Shared::Phase::kEstimating);
    shared.interrupted = true;
    shared.cutoff = shared.nextToRead;
    shared.changed.notify_all();
  });
  y4m::Reader reader(in);
  ReadStreamHeader(reader);
  const y4m::StreamHeader& header = reader.header();
  const bool byField = FilterByField(header, options);
  const Chunk chunk = SeekToChunk(reader, options);
  {
    std::lock_guard lock(shared.mutex);
    shared.nextToRead = chunk.first;
  }
  // --T auto: the first frames are read now, looked at, and filtered later.
  FilterSettings settings = options.settings;
  HeldBack held;
  settings.T = Threshold(shared, reader, chunk, options, byField, held);
  PreparedFilter prepared;
  PrepareStreamFilter(header, settings.T, settings.P, settings.lp, settings.hp, prepared);
  const FrameFilter filter = filterFrame ? filterFrame : [&](StreamFrame& frame) {
    return FilterStreamFrame(header, prepared, frame, byField);
  };

  Output output(openOutput());
  const int threads = std::max(1, options.threads);
  shared.limit = FramesInFlight(options, header.FrameBytes());
  StartWithHeld(shared, chunk, held);
  const bool readAny = !shared.readerDone;

  std::vector<std::thread> pool;
  std::string error;
  int64_t written = 0;
  Progress progress(options.progress, chunk.Frames());
  try {
    output.Whole([&](y4m::Writer& writer) { writer.WriteHeader(header); });
    if (readAny) pool.emplace_back(ReaderThread, std::ref(shared), std::ref(reader));
    for (int i = 0; i < threads; ++i) pool.emplace_back(WorkerThread, std::ref(shared), std::cref(filter));
    WriteInOrder(shared, output, header, chunk.first, progress, written, error);
  } catch (const y4m::Error& e) {
    error = std::string("output: ") + e.what();
  } catch (const std::exception& e) {
    error = e.what();
  }
  output.CutPartialFrame();
  if (Interrupted(shared, error)) ReportInterrupt(chunk.first, written, options, settings, progress);
  StopAndJoin(shared, pool);
  progress.Update(written, true);
  if (!error.empty()) throw RunError(error + " (" + Holds(chunk.first, written) + ")");
  return written;
}

}  // namespace velmoraine::tools
