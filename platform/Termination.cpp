#include "platform/Termination.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <iterator>
#include <mutex>
#include <thread>

namespace platform {

namespace {

int g_Pipe[2] = {-1, -1};  // written by the signal handler, read by the watcher
std::atomic<bool> g_Requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set in signal context");

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr std::size_t kSignalCount = std::size(kSignals);

void OnSignal(int signal) {
  const int saved = errno;
  g_Requested.store(true, std::memory_order_relaxed);
  const unsigned char byte = static_cast<unsigned char>(signal);
  // Never waits: with the pipe full, the watcher has requests enough to answer.
  [[maybe_unused]] const ssize_t n = write(g_Pipe[1], &byte, 1);
  errno = saved;
}

struct Watcher {
  std::mutex lock;
  std::function<void(int)> handler;
  std::thread thread;
  struct sigaction found[kSignalCount] {};  // each signal's action when watching began
};

Watcher& TheWatcher() {
  static Watcher w;
  return w;
}

void Watch() {
  for (;;) {
    unsigned char byte = 0;
    const ssize_t n = read(g_Pipe[0], &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || byte == 0) return;  // 0: asked to end
    std::function<void(int)> handler;
    {
      std::lock_guard guard(TheWatcher().lock);
      handler = TheWatcher().handler;
    }
    if (handler) handler(byte);
  }
}

}  // namespace

bool WatchTerminationSignals(std::function<void(int)> handler) {
  Watcher& w = TheWatcher();
  {
    std::lock_guard guard(w.lock);
    w.handler = std::move(handler);
  }
  if (w.thread.joinable()) return true;
  if (pipe2(g_Pipe, O_CLOEXEC) != 0) return false;
  // The handler's end only: a handler blocked on a full pipe would hang the thread it interrupted.
  if (fcntl(g_Pipe[1], F_SETFL, O_NONBLOCK) != 0) {
    close(g_Pipe[0]);
    close(g_Pipe[1]);
    g_Pipe[0] = g_Pipe[1] = -1;
    return false;
  }
  w.thread = std::thread(Watch);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    sigaction(kSignals[i], nullptr, &w.found[i]);
    // Whoever started us chose to keep this signal away: it stays so.
    const bool ignored = !(w.found[i].sa_flags & SA_SIGINFO) && w.found[i].sa_handler == SIG_IGN;
    if (!ignored) sigaction(kSignals[i], &action, nullptr);
  }
  return true;
}

void StopWatchingTerminationSignals() {
  Watcher& w = TheWatcher();
  if (!w.thread.joinable()) return;
  for (std::size_t i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &w.found[i], nullptr);
  // A full pipe is emptied by the watcher: the end request waits for room.
  const unsigned char end = 0;
  while (write(g_Pipe[1], &end, 1) < 0 && (errno == EAGAIN || errno == EINTR)) std::this_thread::yield();
  w.thread.join();
  close(g_Pipe[0]);
  close(g_Pipe[1]);
  g_Pipe[0] = g_Pipe[1] = -1;
  std::lock_guard guard(w.lock);
  w.handler = nullptr;
}

bool TerminationRequested() { return g_Requested.load(std::memory_order_relaxed); }

void RequestTermination() { g_Requested.store(true, std::memory_order_relaxed); }

}  // namespace platform
