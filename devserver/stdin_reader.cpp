#include "devserver/stdin_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace devserver {

StdinReader::StdinReader(int fd, std::function<void(std::string)> onLine,
                         std::function<void()> onEof)
    : fd_(fd), onLine_(std::move(onLine)), onEof_(std::move(onEof)) {}

StdinReader::~StdinReader() {
  Stop();
}

void StdinReader::Start() {
  if (pipe(wake_) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  thread_ = std::thread([this] { Run(); });
}

void StdinReader::Stop() {
  if (thread_.joinable()) {
    char byte = 1;
    // A full pipe already wakes the thread, so a failed write changes nothing.
    [[maybe_unused]] auto written = write(wake_[1], &byte, 1);
    thread_.join();
  }
  for (int& fd : wake_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

void StdinReader::Run() {
  std::string pending;
  char buffer[4096];
  auto deliver = [&](std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    onLine_(std::move(line));
  };
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    int ready = poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) return;  // Stop(): no more callbacks
    if (fds[0].revents == 0) continue;
    ssize_t n = (fds[0].revents & POLLNVAL) != 0 ? 0 : read(fd_, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
      deliver(pending.substr(start, nl - start));
    }
    pending.erase(0, start);
  }
  if (!pending.empty()) deliver(std::move(pending));
  onEof_();
}

}  // namespace devserver
