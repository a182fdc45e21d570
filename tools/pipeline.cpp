#include "tools/pipeline.h"

#include <unistd.h>

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
};

void Reader(Shared& shared, Y4mSourceClip& source, IScriptEnvironment* env) {
  int read = 0;
  std::string error;
  for (;;) {
    {
      std::unique_lock lock(shared.mutex);
      shared.changed.wait(lock, [&] { return shared.stop || shared.inFlight < shared.limit; });
      if (shared.stop) break;
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

// The progress line: rewritten in place at most twice a second.
class Progress {
 public:
  explicit Progress(bool enabled) : enabled_(enabled), start_(Clock::now()), last_(start_) {}
  void Update(int64_t frames, bool final = false) {
    if (!enabled_) return;
    auto now = Clock::now();
    if (!final && now - last_ < std::chrono::milliseconds(500)) return;
    last_ = now;
    double seconds = std::chrono::duration<double>(now - start_).count();
    std::fprintf(stderr, "\rvelmoraine: %lld frames, %.1f frames/s ", static_cast<long long>(frames),
                 seconds > 0 ? frames / seconds : 0.0);
    if (final) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  bool enabled_;
  Clock::time_point start_, last_;
};

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

int64_t FilterStream(int in, const std::function<int()>& openOutput, const RunOptions& options) {
  host::ScriptEnvironment env;
  y4m::Reader reader(in);
  try {
    reader.ReadHeader();
  } catch (const y4m::Error& e) {
    throw RunError(std::string("input: ") + e.what());
  }

  AVSValue filterValue;
  PClip source;
  Y4mSourceClip* sourceClip = new Y4mSourceClip(reader);
  source = sourceClip;
  try {
    env.LoadPlugin(options.pluginPath);
    const FilterSettings& s = options.settings;
    filterValue = env.Call("velmoraine", {source, s.T, s.P, s.lp, s.hp},
                           {nullptr, "T", "P", "lp", "hp"});
  } catch (const AvisynthError& e) {
    throw RunError(std::string("script error: ") + (e.msg ? e.msg : "unknown"));
  }
  PClip filter = filterValue.AsClip();
  if (!filter) throw RunError("script error: velmoraine did not return a clip");

  y4m::Writer writer(openOutput());

  Shared shared;
  const int threads = std::max(1, options.threads);
  shared.limit = threads + 2;
  std::vector<std::thread> pool;
  std::string error;
  int64_t written = 0;
  Progress progress(options.progress);
  try {
    writer.WriteHeader(reader.header());
    pool.emplace_back(Reader, std::ref(shared), std::ref(*sourceClip), &env);
    for (int i = 0; i < threads; ++i) pool.emplace_back(Worker, std::ref(shared), filter.Get(), &env);
    for (int next = 0;; ++next) {
      PVideoFrame frame;
      Y4mFrameExtras extras;
      {
        std::unique_lock lock(shared.mutex);
        shared.changed.wait(lock, [&] {
          return shared.filtered.count(next) || shared.failedFrame <= next ||
                 (shared.readerDone && next >= shared.framesRead);
        });
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
      WriteY4mFrame(writer, frame, extras);
      frame = PVideoFrame();
      ++written;
      progress.Update(written);
      std::lock_guard lock(shared.mutex);
      --shared.inFlight;
      shared.changed.notify_all();
    }
    writer.Finish();
  } catch (const y4m::Error& e) {
    error = std::string("output: ") + e.what();
  } catch (const std::exception& e) {
    error = e.what();
  }
  {
    std::lock_guard lock(shared.mutex);
    shared.stop = true;
    shared.changed.notify_all();
  }
  for (std::thread& thread : pool) thread.join();
  progress.Update(written, true);
  if (!error.empty()) {
    try {
      writer.Finish();  // the frames written so far reach the file
    } catch (const y4m::Error&) {
    }
    throw RunError(error + (written == 0   ? " (no frame was written)"
                            : written == 1 ? " (the 1 frame before it was written)"
                                           : " (the " + std::to_string(written) +
                                                 " frames before it were written)"));
  }
  return written;
}

}  // namespace velmoraine::tools
