// Termination signals handed to the program's handler instead of ending the
// process. Each case runs in a child process of its own: the handlers are
// process-wide, and a signal they miss ends that process, not the tests.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <future>

#include "platform/Termination.h"

namespace {

// A child that a case leaves hanging is ended by the alarm, failing the case.
constexpr unsigned kChildBoundSeconds = 60;

// The child's part: exits 0 once the handler has had the signal.
[[noreturn]] void RaiseAndExitWhenHanded(int signal) {
  alarm(kChildBoundSeconds);
  std::promise<int> handed;
  platform::WatchTerminationSignals([&handed](int s) { handed.set_value(s); });
  std::raise(signal);
  std::_Exit(handed.get_future().get() == signal ? 0 : 1);
}

// The child's part: a handler that never returns, then more signals than any
// pipe holds; exits 0 when every raise has returned.
[[noreturn]] void RaiseUnderABusyHandler() {
  alarm(kChildBoundSeconds);
  std::promise<void> busy;
  std::promise<void> never;
  const std::shared_future<void> released = never.get_future().share();
  platform::WatchTerminationSignals([&busy, released](int) {
    busy.set_value();  // the first signal only: the handler never returns
    released.wait();
  });
  std::raise(SIGTERM);
  busy.get_future().wait();
  for (int i = 0; i < 200000; ++i) std::raise(SIGTERM);
  std::_Exit(0);
}

void AHandlerOfItsOwn(int) {}

// The child's part: the actions found (the default, a handler of the program's
// host, ignored as under nohup) are each put back when watching ends; exits 0
// when all three are.
[[noreturn]] void WatchAndStop() {
  alarm(kChildBoundSeconds);
  struct sigaction own {};
  own.sa_handler = AHandlerOfItsOwn;
  sigaction(SIGINT, &own, nullptr);
  std::signal(SIGHUP, SIG_IGN);
  std::signal(SIGTERM, SIG_DFL);
  platform::WatchTerminationSignals([](int) {});
  platform::StopWatchingTerminationSignals();
  const auto now = [](int signal) {
    struct sigaction action {};
    sigaction(signal, nullptr, &action);
    return action.sa_handler;
  };
  std::_Exit(now(SIGTERM) == SIG_DFL && now(SIGINT) == AHandlerOfItsOwn && now(SIGHUP) == SIG_IGN ? 0 : 1);
}

TEST(TerminationSignals, TheActionsFoundArePutBackWhenWatchingEnds) {
  EXPECT_EXIT(WatchAndStop(), ::testing::ExitedWithCode(0), "");
}

TEST(TerminationSignals, EachIsHandedToTheHandlerAndTheProcessGoesOn) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    EXPECT_EXIT(RaiseAndExitWhenHanded(signal), ::testing::ExitedWithCode(0), "");
  }
}

// Signals that come faster than the handler answers them never hold up the
// thread they interrupt.
TEST(TerminationSignals, ARaiseNeverWaitsForABusyHandler) {
  EXPECT_EXIT(RaiseUnderABusyHandler(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
