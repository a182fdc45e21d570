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
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "host/frame_server.h"
#include "tools/interrupt.h"
#include "tools/noise_estimate.h"
#include "tools/y4m_clip.h"
#include "y4m/y4m.h"

#ifndef VELMORAINE_PLUGIN_BUILD_PATH
#define VELMORAINE_PLUGIN_BUILD_PATH ""
#endif

namespace velmoraine::tools {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPluginFile = "libvelmoraine.so";

// What the reader, the workers and the writer share. Everything is guarded
// by `mutex`; `changed` wakes whoever waits for any of it.
struct Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<int> work;                    // read, not yet taken by a worker
  std::map<int, Y4mFrameExtras> extras;    // read, not yet written
  std::map<int, PVideoFrame> filtered;     // filtered, not yet written
  int inFlight = 0;                        // read, not yet written
  int limit = 3;
  bool readerDone = false;
  int framesRead = 0;
  std::string readError;
  int failedFrame = INT_MAX;  // lowest frame whose filtering failed
  std::string failure;
  bool stop = false;  // the writer gave up: reader and workers end
  int64_t end = INT64_MAX;  // the frame after the last one to read
  int nextToRead = 0;       // the frame after the last one read whole
  bool interrupted = false;  // a signal came: nothing more is read
  int cutoff = INT_MAX;      // when interrupted, the frame after the last one written
};

void Reader(Shared& shared, Y4mSourceClip& source, IScriptEnvironment* env) {
  int read;
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
    std::optional<Y4mSourceClip::ReadFrame> frame;
    try {
      frame = source.ReadNextFrame(env);
    } catch (const y4m::Error& e) {
      error = std::string("input: ") + e.what();
    } catch (const AvisynthError& e) {
      error = std::string("input: ") + e.msg;
    } catch (const std::exception& e) {
      error = std::string("input: frame ") + std::to_string(read) + ": " + e.what();
    }
    if (!frame) break;
    std::lock_guard lock(shared.mutex);
    shared.extras.emplace(frame->number, std::move(frame->extras));
    shared.work.push_back(frame->number);
    ++shared.inFlight;
    read = frame->number + 1;
    shared.nextToRead = read;
    shared.changed.notify_all();
  }
  std::lock_guard lock(shared.mutex);
  shared.readerDone = true;
  shared.framesRead = read;
  shared.readError = error;
  shared.changed.notify_all();
}

void Worker(Shared& shared, IClip* filter, IScriptEnvironment* env) {
  for (;;) {
    int n;
    {
      std::unique_lock lock(shared.mutex);
      shared.changed.wait(lock, [&] {
        return shared.stop || !shared.work.empty() || shared.readerDone;
      });
      if (shared.stop || shared.work.empty()) return;
      n = shared.work.front();
      shared.work.pop_front();
    }
    std::string failure;
    PVideoFrame frame;
    try {
      frame = filter->GetFrame(n, env);
    } catch (const AvisynthError& e) {
      failure = e.msg ? e.msg : "unknown script error";
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {
      failure = "the filter failed with an exception of unknown type";
    }
    if (!frame && failure.empty()) failure = "the filter returned no frame";
    std::lock_guard lock(shared.mutex);
    if (frame) {
      shared.filtered.emplace(n, frame);
    } else if (n < shared.failedFrame) {
      shared.failedFrame = n;
      // The plug-in's own messages name the frame already; say it once.
      const std::string frame = "frame " + std::to_string(n);
      shared.failure = failure.find(frame + ":") != std::string::npos ? failure : frame + ": " + failure;
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

// The commands that filter the rest of an interrupted run, frames `next`
// on (`left` of them; all when left < 0), with the settings it used, into
// a new file, and join that to this run's output.
std::string ResumeHint(const RunOptions& options, const FilterSettings& settings, int64_t next, int64_t left) {
  const std::string rest = RestName(options.outputName, next);
  std::vector<std::string> words = {options.program, "--T", std::to_string(settings.T), "--P",
                                    std::to_string(settings.P), "--lp", std::to_string(settings.lp),
                                    "--hp", std::to_string(settings.hp)};
  words.insert(words.end(), options.otherOptions.begin(), options.otherOptions.end());
  words.insert(words.end(), {"--start", std::to_string(next)});
  if (left >= 0) words.insert(words.end(), {"--frames", std::to_string(left)});
  words.insert(words.end(), {options.inputName, rest});
  std::string hint = "velmoraine: to filter the rest";
  if (options.inputName == "-") hint += " (from the same input, again on standard input)";
  hint += options.outputName == "-" ? ":\n " : " into a new file and join it to this one:\n ";
  for (const std::string& word : words) hint.append(" ").append(ShellWord(word));
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

}  // namespace

std::string DefaultPluginPath() {
  namespace fs = std::filesystem;
  std::vector<fs::path> candidates;
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    fs::path dir = self.parent_path();
    candidates.push_back(dir / kPluginFile);
    candidates.push_back(dir.parent_path() / "plugin" / kPluginFile);
    candidates.push_back(dir.parent_path() / "lib" / "velmoraine" / kPluginFile);
  }
  if (*VELMORAINE_PLUGIN_BUILD_PATH) candidates.push_back(VELMORAINE_PLUGIN_BUILD_PATH);
  std::string tried;
  for (const fs::path& candidate : candidates) {
    if (fs::is_regular_file(candidate, error)) return candidate.string();
    tried += "\n  " + candidate.string();
  }
  throw RunError("cannot find the plug-in library " + std::string(kPluginFile) +
                 "; looked at:" + tried + "\ngive its path with --plugin");
}

std::string NotY4mMessage(const std::string& reason) {
  return reason +
         "\nconvert it first, e.g.: ffmpeg -i INPUT -f yuv4mpegpipe -pix_fmt yuv420p - | velmoraine --T auto - OUT.y4m";
}

NoiseReport EstimateStream(int in) {
  y4m::Reader reader(in);
  ReadStreamHeader(reader);
  const y4m::StreamHeader& header = reader.header();
  std::vector<uint8_t> luma(static_cast<size_t>(header.width) * header.height), spill;
  NoiseEstimator estimator;
  NoiseReport report;
  std::string parameters;
  try {
    while (report.frames < kEstimateFrames && reader.ReadFrameHeader(parameters)) {
      y4m::PlaneRegion regions[3] = {{luma.data(), header.width, header.width, header.height}, {}, {}};
      spill.clear();
      reader.ReadFrameSamples(regions, spill);
      estimator.AddPlane(luma.data(), header.width, header.width, header.height);
      ++report.frames;
    }
  } catch (const y4m::Error& e) {
    throw RunError(std::string("input: ") + e.what());
  }
  if (report.frames == 0) throw RunError("input: the stream holds no frame to estimate the noise from");
  report.sigma = estimator.Sigma();
  report.noEstimate = estimator.NoEstimate();
  report.threshold = ThresholdForSigma(report.sigma);
  return report;
}

int64_t FilterStream(int in, const std::function<int()>& openOutput, const RunOptions& options) {
  host::ScriptEnvironment env;
  y4m::Reader reader(in);
  ReadStreamHeader(reader);

  // The chunk: straight to its first frame when the file allows it, else
  // reading through the frames before it.
  const int64_t first = std::max<int64_t>(options.start, 0);
  const int64_t end =
      options.frames < 0 || options.frames > INT64_MAX - first ? INT64_MAX : first + options.frames;
  if (first >= INT_MAX)
    throw RunError("--start " + std::to_string(first) + " is beyond the frames a clip can number (2^31 - 1)");
  const int64_t inFile = reader.FramesInFile();
  try {
    if (first > 0 && !reader.SeekToFrame(first)) {
      std::string parameters;
      while (reader.framesRead() < first && reader.ReadFrameHeader(parameters)) reader.SkipFrameSamples();
    }
  } catch (const y4m::Error& e) {
    throw RunError(std::string("input: ") + e.what() + " (before the first frame to filter, " +
                   std::to_string(first) + "; no output was written)");
  }
  bool pastEnd = reader.framesRead() < first;
  try {
    pastEnd = pastEnd || (first > 0 && reader.AtEnd());
  } catch (const y4m::Error& e) {
    throw RunError(std::string("input: ") + e.what() + " (no output was written)");
  }
  if (pastEnd && !options.quiet)
    std::fprintf(stderr, "velmoraine: the input has only %lld frames: no frame to filter from frame %lld on\n",
                 static_cast<long long>(reader.framesRead()), static_cast<long long>(first));

  // A plug-in that cannot be loaded is reported before frames are read.
  try {
    env.LoadPlugin(options.pluginPath);
  } catch (const AvisynthError& e) {
    throw RunError(std::string("script error: ") + (e.msg ? e.msg : "unknown"));
  }

  Y4mSourceClip* sourceClip = new Y4mSourceClip(reader);
  PClip source = sourceClip;

  // --T auto: the first frames are read now, looked at, and filtered later.
  FilterSettings settings = options.settings;
  std::vector<Y4mSourceClip::ReadFrame> held;
  std::string heldError;
  bool heldEnd = pastEnd;
  if (options.autoThreshold && !pastEnd) {
    NoiseEstimator estimator;
    try {
      while (static_cast<int64_t>(held.size()) < kEstimateFrames && first + static_cast<int64_t>(held.size()) < end) {
        std::optional<Y4mSourceClip::ReadFrame> frame = sourceClip->ReadNextFrame(&env);
        if (!frame) {
          heldEnd = true;
          break;
        }
        PVideoFrame picture = sourceClip->Peek(frame->number);
        estimator.AddPlane(picture->GetReadPtr(PLANAR_Y), picture->GetPitch(PLANAR_Y), picture->GetRowSize(PLANAR_Y),
                           picture->GetHeight(PLANAR_Y));
        held.push_back(std::move(*frame));
      }
    } catch (const y4m::Error& e) {
      heldError = std::string("input: ") + e.what();
    } catch (const AvisynthError& e) {
      heldError = std::string("input: ") + e.msg;
    }
    settings.T = ThresholdForSigma(estimator.Sigma());
    if (!options.quiet && !held.empty() && estimator.NoEstimate())
      std::fprintf(stderr, "velmoraine: no noise estimate (%s): T=0\n", estimator.NoEstimate());
    else if (!options.quiet && !held.empty())
      std::fprintf(stderr, "velmoraine: noise sigma %.2f levels (luma of frames %lld to %lld) -> T=%d\n",
                   estimator.Sigma(), static_cast<long long>(first),
                   static_cast<long long>(first + static_cast<int64_t>(held.size()) - 1), settings.T);
  }

  AVSValue filterValue;
  try {
    filterValue = env.Call("velmoraine", {source, settings.T, settings.P, settings.lp, settings.hp},
                           {nullptr, "T", "P", "lp", "hp"});
  } catch (const AvisynthError& e) {
    throw RunError(std::string("script error: ") + (e.msg ? e.msg : "unknown"));
  }
  PClip filter = filterValue.AsClip();
  if (!filter) throw RunError("script error: velmoraine did not return a clip");

  const int output = openOutput();
  y4m::Writer writer(output);
  // A regular file the program writes from a known place (not appending)
  // can have a partial last frame cut off again.
  struct stat outputInfo {};
  const bool canCut = fstat(output, &outputInfo) == 0 && S_ISREG(outputInfo.st_mode) &&
                      !(fcntl(output, F_GETFL) & O_APPEND);
  const off_t outputStart = canCut ? lseek(output, 0, SEEK_CUR) : -1;
  uint64_t wholeBytes = 0;  // the header and the frames written whole

  Shared shared;
  const int threads = std::max(1, options.threads);
  shared.limit = threads + 2;
  shared.end = std::min<int64_t>(end, INT_MAX);
  shared.nextToRead = static_cast<int>(first + static_cast<int64_t>(held.size()));
  shared.inFlight = static_cast<int>(held.size());
  for (Y4mSourceClip::ReadFrame& frame : held) {
    shared.work.push_back(frame.number);
    shared.extras.emplace(frame.number, std::move(frame.extras));
  }
  held.clear();
  const bool readAny = !heldEnd && heldError.empty() && shared.nextToRead < shared.end;
  if (!readAny) {
    shared.readerDone = true;
    shared.framesRead = shared.nextToRead;
    shared.readError = heldError;
  }

  int64_t total = -1;
  if (inFile >= 0) total = std::max<int64_t>(0, std::min(end, inFile) - first);
  std::vector<std::thread> pool;
  std::string error;
  int64_t written = 0;
  Progress progress(options.progress, total);
  // A signal from here on: stop reading, write what was read, report.
  interrupt::Listener listener([&shared] {
    std::lock_guard lock(shared.mutex);
    shared.interrupted = true;
    shared.cutoff = shared.nextToRead;
    shared.changed.notify_all();
  });
  try {
    {
      std::lock_guard frameLock(interrupt::FrameLock());
      writer.WriteHeader(reader.header());
      writer.Finish();
      wholeBytes = writer.BytesWritten();
    }
    if (readAny) pool.emplace_back(Reader, std::ref(shared), std::ref(*sourceClip), &env);
    for (int i = 0; i < threads; ++i) pool.emplace_back(Worker, std::ref(shared), filter.Get(), &env);
    for (int next = static_cast<int>(first);; ++next) {
      PVideoFrame frame;
      Y4mFrameExtras extras;
      {
        std::unique_lock lock(shared.mutex);
        shared.changed.wait(lock, [&] {
          return shared.filtered.count(next) || shared.failedFrame <= next ||
                 (shared.interrupted && next >= shared.cutoff) ||
                 (shared.readerDone && next >= shared.framesRead);
        });
        if (shared.interrupted && next >= shared.cutoff) break;
        auto it = shared.filtered.find(next);
        if (it == shared.filtered.end()) {
          // The first frame that cannot be written: filtering failed, or the
          // input ended (cleanly or not).
          error = shared.failedFrame <= next ? shared.failure : shared.readError;
          break;
        }
        frame = it->second;
        shared.filtered.erase(it);
        auto extra = shared.extras.find(next);
        extras = std::move(extra->second);
        shared.extras.erase(extra);
      }
      {
        // Each frame goes out whole before the next is started, and a second
        // signal waits for it.
        std::lock_guard frameLock(interrupt::FrameLock());
        WriteY4mFrame(writer, frame, extras);
        writer.Finish();
        wholeBytes = writer.BytesWritten();
      }
      frame = PVideoFrame();
      ++written;
      progress.Update(written);
      std::lock_guard lock(shared.mutex);
      --shared.inFlight;
      shared.changed.notify_all();
    }
  } catch (const y4m::Error& e) {
    error = std::string("output: ") + e.what();
  } catch (const std::exception& e) {
    error = e.what();
  }
  // A write that failed half-way leaves a piece of a frame: cut it off.
  if (canCut && outputStart >= 0 && writer.BytesWritten() != wholeBytes) {
    if (ftruncate(output, outputStart + static_cast<off_t>(wholeBytes)) == 0)
      lseek(output, outputStart + static_cast<off_t>(wholeBytes), SEEK_SET);
  }
  bool interrupted;
  {
    std::lock_guard lock(shared.mutex);
    interrupted = shared.interrupted;
  }
  // An input cut off or an output closed by the Ctrl-C that also reached
  // the programs at the pipe's other ends is the interrupt, not damage.
  if (!interrupted && !error.empty()) interrupted = interrupt::WaitFor(std::chrono::milliseconds(250));
  if (interrupted) {
    progress.Update(written, true);
    const int signal = interrupt::Caught();
    std::fprintf(stderr, "velmoraine: interrupted by %s: stopped reading; %s",
                 signal == SIGTERM ? "SIGTERM" : "SIGINT", Holds(first, written).c_str());
    std::fprintf(stderr, "\n");
    if (written > 0 || first > 0) {
      const int64_t left = options.frames < 0 ? -1 : options.frames - written;
      std::fputs(ResumeHint(options, settings, first + written, left).c_str(), stderr);
    }
    std::fflush(stderr);
    interrupt::Reraise();  // threads are left as they are: the reader may wait on a pipe forever
  }
  {
    std::lock_guard lock(shared.mutex);
    shared.stop = true;
    shared.changed.notify_all();
  }
  for (std::thread& thread : pool) thread.join();
  progress.Update(written, true);
  if (!error.empty()) throw RunError(error + " (" + Holds(first, written) + ")");
  return written;
}

}  // namespace velmoraine::tools
