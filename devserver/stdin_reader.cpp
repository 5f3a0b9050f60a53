#include "devserver/stdin_reader.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace devserver {

StdinReader::StdinReader(int fd, std::function<void()> onReady, std::size_t capacity)
    : fd_(fd), onReady_(std::move(onReady)), capacity_(capacity == 0 ? 1 : capacity) {}

StdinReader::~StdinReader() {
  Stop();
}

void StdinReader::Start() {
  if (pipe(wake_) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  thread_ = std::thread([this] { Run(); });
}

void StdinReader::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  room_.notify_all();
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

StdinReader::Item StdinReader::Take() {
  Item item;
  std::unique_lock lock(mutex_);
  if (!lines_.empty()) {
    item.kind = Item::Kind::Line;
    item.line = std::move(lines_.front());
    lines_.pop_front();
    bytes_ -= item.line.size();
    lock.unlock();
    room_.notify_one();
    return item;
  }
  if (ended_) {
    ended_ = false;
    item.kind = Item::Kind::End;
    return item;
  }
  announced_ = false;
  return item;
}

void StdinReader::Announce(std::unique_lock<std::mutex>& lock) {
  if (announced_ || stopping_) return;
  announced_ = true;
  lock.unlock();
  onReady_();
  lock.lock();
}

bool StdinReader::Push(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::unique_lock lock(mutex_);
  room_.wait(lock, [&] {
    return stopping_ || lines_.empty() ||
           (lines_.size() < capacity_ && bytes_ + line.size() <= kMaxQueuedBytes);
  });
  if (stopping_) return false;
  bytes_ += line.size();
  lines_.push_back(std::move(line));
  Announce(lock);
  return true;
}

void StdinReader::Run() {
  std::string pending;
  bool skipping = false;  // the rest of a line that was cut
  char buffer[4096];
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
      if (skipping) {
        skipping = false;
        continue;
      }
      if (!Push(pending.substr(start, std::min(nl - start, kMaxLine)))) return;
    }
    pending.erase(0, start);
    if (skipping) {
      pending.clear();
    } else if (pending.size() > kMaxLine) {
      if (!Push(pending.substr(0, kMaxLine))) return;
      pending.clear();
      skipping = true;
    }
  }
  if (!pending.empty() && !Push(std::move(pending))) return;
  std::unique_lock lock(mutex_);
  ended_ = true;
  Announce(lock);
}

}  // namespace devserver
