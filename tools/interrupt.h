// Ctrl-C and kill, handled so that the output stays whole.
//
// SIGINT and SIGTERM are blocked in every thread and taken by a watching
// thread of their own. While a filtering run listens, the first signal only
// tells it to stop reading: it writes the frames it has, says how many the
// output holds, and then ends the program by the same signal (Reraise), so
// that shells, xargs and GNU parallel see an interrupted program. A second
// signal ends the program at once, but not in the middle of a frame: it
// waits for the frame being written (FrameLock), for at most 2 seconds (a
// frame stuck in a pipe nobody reads cannot be finished). With no run
// listening, the first signal ends the program at once.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>

namespace velmoraine::tools::interrupt {

// Starts watching. Call it first thing in main, before any thread starts
// (threads inherit the blocked signals). Without it, nothing here acts and
// signals keep their default actions.
void Watch();

// SIGINT or SIGTERM once one has come, else 0.
int Caught();

// Waits up to `timeout` for a signal; true when one has come. False at once
// when nothing is watched. A failing input or output is given this grace,
// since the same Ctrl-C that reaches this program ends the programs on the
// other ends of its pipes, often a moment earlier.
bool WaitFor(std::chrono::milliseconds timeout);

// While a Listener lives, the first signal calls `onSignal` (on the
// watching thread) instead of ending the program.
class Listener {
 public:
  explicit Listener(std::function<void()> onSignal);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
};

// Held while a frame goes out to the output.
std::timed_mutex& FrameLock();

// Restores the default action of the signal that came and raises it again:
// the program ends as that signal ends it.
[[noreturn]] void Reraise();

}  // namespace velmoraine::tools::interrupt
