#include "devserver/stop_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace devserver {
namespace {

static_assert(std::atomic<int>::is_always_lock_free, "read and written in a signal handler");
std::atomic<int> received{0};
std::atomic<int> wakeFd{-1};

extern "C" void OnStopSignal(int signal) {
  const int saved = errno;
  int expected = 0;
  received.compare_exchange_strong(expected, signal);
  const int fd = wakeFd.load();
  if (fd >= 0) {
    char byte = 1;
    // Non-blocking: a full pipe has already woken the game thread.
    [[maybe_unused]] auto written = write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

StopSignals::StopSignals(asio::io_context& io, std::function<void(int)> onSignal)
    : wake_(io), onSignal_(std::move(onSignal)) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  wake_.assign(fds[0]);
  writeEnd_ = fds[1];
  received.store(0);
  wakeFd.store(writeEnd_);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &previousInt_);
  sigaction(SIGTERM, &action, &previousTerm_);
  Wait();
}

StopSignals::~StopSignals() {
  sigaction(SIGINT, &previousInt_, nullptr);
  sigaction(SIGTERM, &previousTerm_, nullptr);
  wakeFd.store(-1);
  asio::error_code ignored;
  wake_.close(ignored);
  close(writeEnd_);
}

int StopSignals::Received() {
  return received.load();
}

void StopSignals::Cancel() {
  onSignal_ = nullptr;
  asio::error_code ignored;
  wake_.cancel(ignored);
}

void StopSignals::Wait() {
  wake_.async_read_some(asio::buffer(&byte_, 1), [this](asio::error_code ec, std::size_t) {
    if (ec || !onSignal_) return;
    if (int signal = Received(); signal != 0) {
      onSignal_(signal);
      return;
    }
    Wait();
  });
}

}  // namespace devserver
