#pragma once

// SIGINT and SIGTERM for the dev server. The handler records the signal at
// once and wakes the game thread through a pipe, which then runs `onSignal`.
// asio's signal_set would only queue a handler behind whatever the game
// thread has to do first; the recorded number lets the game thread see a
// signal before it runs the next queued console line, so a stop never waits
// behind a flood of them.
//
// One instance at a time (signal dispositions are per process); the previous
// dispositions come back when it goes.

#include <atomic>
#include <csignal>
#include <functional>

#include <asio.hpp>

namespace devserver {

class StopSignals {
 public:
  StopSignals(asio::io_context& io, std::function<void(int)> onSignal);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The first signal that came (SIGINT or SIGTERM), 0 before. Any thread.
  static int Received();
  // No onSignal after this; a later signal is still recorded.
  void Cancel();

 private:
  void Wait();

  asio::posix::stream_descriptor wake_;
  int writeEnd_ = -1;
  std::function<void(int)> onSignal_;
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
  char byte_ = 0;
};

}  // namespace devserver
