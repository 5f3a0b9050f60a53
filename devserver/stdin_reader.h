#pragma once

// Reads lines from a file descriptor (standard input) on a thread of its own
// and hands each one to a callback; the dev server's callback posts it to the
// game thread. A thread with poll() instead of an asio descriptor, because
// standard input may be a regular file or /dev/null, which epoll refuses.
//
// Stop() wakes the thread through a pipe and joins it, so the reader never
// outlives the objects its callbacks reach. A final line without a line end is
// still delivered; then onEof runs once. A trailing "\r" is removed.

#include <functional>
#include <string>
#include <thread>

namespace devserver {

class StdinReader {
 public:
  StdinReader(int fd, std::function<void(std::string)> onLine, std::function<void()> onEof);
  ~StdinReader();  // Stop()
  StdinReader(const StdinReader&) = delete;
  StdinReader& operator=(const StdinReader&) = delete;

  void Start();
  // Idempotent; no callback runs after it returns.
  void Stop();

 private:
  void Run();

  int fd_;
  std::function<void(std::string)> onLine_;
  std::function<void()> onEof_;
  int wake_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace devserver
