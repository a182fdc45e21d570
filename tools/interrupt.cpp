#include "tools/interrupt.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <thread>

namespace velmoraine::tools::interrupt {
namespace {

struct State {
  std::mutex mutex;
  std::condition_variable changed;
  bool watching = false;
  int caught = 0;
  std::function<void()> listener;
  std::mutex calling;  // held while the listener runs and while it is removed
  std::timed_mutex frame;
};

State& Get() {
  static State* state = new State;  // never destroyed: the watcher may outlive main
  return *state;
}

sigset_t Signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

[[noreturn]] void Die(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal);
  _exit(128 + signal);  // not reached: the signal's default action ends the program
}

void WatchLoop() {
  State& state = Get();
  const sigset_t set = Signals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    std::unique_lock lock(state.mutex);
    if (state.caught != 0) {
      // The second signal: end now, but not in the middle of a frame.
      lock.unlock();
      (void)state.frame.try_lock_for(std::chrono::seconds(2));
      Die(signal);
    }
    state.caught = signal;
    state.changed.notify_all();
    lock.unlock();
    std::lock_guard calling(state.calling);
    std::function<void()> listener;
    {
      std::lock_guard again(state.mutex);
      listener = state.listener;
    }
    if (!listener) Die(signal);
    listener();
  }
}

}  // namespace

void Watch() {
  State& state = Get();
  const sigset_t set = Signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  {
    std::lock_guard lock(state.mutex);
    if (state.watching) return;
    state.watching = true;
  }
  std::thread(WatchLoop).detach();
}

int Caught() {
  State& state = Get();
  std::lock_guard lock(state.mutex);
  return state.caught;
}

bool WaitFor(std::chrono::milliseconds timeout) {
  State& state = Get();
  std::unique_lock lock(state.mutex);
  if (!state.watching) return false;
  return state.changed.wait_for(lock, timeout, [&] { return state.caught != 0; });
}

Listener::Listener(std::function<void()> onSignal) {
  State& state = Get();
  std::lock_guard lock(state.mutex);
  state.listener = std::move(onSignal);
}

Listener::~Listener() {
  State& state = Get();
  std::lock_guard calling(state.calling);
  std::lock_guard lock(state.mutex);
  state.listener = nullptr;
}

std::timed_mutex& FrameLock() { return Get().frame; }

void Reraise() {
  const int signal = Caught();
  Die(signal != 0 ? signal : SIGINT);
}

}  // namespace velmoraine::tools::interrupt
