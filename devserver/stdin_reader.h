#pragma once

// Reads lines from a file descriptor (standard input) on a thread of its own
// and hands them to the game thread through a bounded queue. A thread with
// poll() instead of an asio descriptor, because standard input may be a
// regular file or /dev/null, which epoll refuses.
//
// The queue holds at most `capacity` lines and kMaxQueuedBytes of text (one
// longer line alone). When it is full the reader stops
// reading, so a writer that floods the pipe is held back by the pipe itself
// and memory stays flat however fast lines come:
//   (echo 'join Anna'; yes 'chat Anna flood') | devserver ...
// `onReady` runs on the reader thread when the queue stops being empty (and
// when the input ends): the dev server posts a drain to the game thread then,
// which Take()s lines until there are none, so at most one such post is ever
// outstanding.
//
// Stop() wakes the thread (also while it waits for room) and joins it, so the
// reader never outlives the objects its callback reaches. A final line without
// a line end is still delivered, then the end of input. A trailing "\r" is
// removed. A line longer than kMaxLine is cut there (the rest of it up to the
// line end is skipped), so one endless line cannot grow the reader either.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace devserver {

class StdinReader {
 public:
  struct Item {
    enum class Kind {
      None,  // nothing waits; the next onReady announces more
      Line,
      End,  // the input has ended (reported once, after its last line)
    };
    Kind kind = Kind::None;
    std::string line;
  };

  static constexpr std::size_t kDefaultCapacity = 256;
  static constexpr std::size_t kMaxQueuedBytes = 4 << 20;
  static constexpr std::size_t kMaxLine = 1 << 20;

  StdinReader(int fd, std::function<void()> onReady, std::size_t capacity = kDefaultCapacity);
  ~StdinReader();  // Stop()
  StdinReader(const StdinReader&) = delete;
  StdinReader& operator=(const StdinReader&) = delete;

  void Start();
  // Idempotent; onReady does not run after it returns.
  void Stop();
  // The next line, the end of input, or None (which re-arms onReady). Called
  // from the consuming thread only.
  Item Take();

 private:
  void Run();
  // Queues a line (waits for room); false when stopped meanwhile.
  bool Push(std::string line);
  void Announce(std::unique_lock<std::mutex>& lock);

  int fd_;
  std::function<void()> onReady_;
  std::size_t capacity_;
  int wake_[2] = {-1, -1};
  std::thread thread_;

  std::mutex mutex_;
  std::condition_variable room_;
  std::deque<std::string> lines_;
  std::size_t bytes_ = 0;   // text in lines_
  bool ended_ = false;      // the input ended; End not taken yet
  bool announced_ = false;  // onReady ran and the consumer has not seen None since
  bool stopping_ = false;
};

}  // namespace devserver
