#pragma once

// A real HTTP receiver on 127.0.0.1 with a port chosen by the OS: it records
// every POST and answers with the status set by RespondWith (200 by default).
// Plus two misbehaving peers built from raw sockets: one that is listening but
// never accepts (so connections open and nothing ever answers), and a port
// that is bound without listening (so connections are refused).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

namespace qbtest {

struct ReceivedPost {
  std::string path;
  std::multimap<std::string, std::string> headers;  // httplib keys, case-insensitive lookup
  std::string body;
  std::chrono::steady_clock::time_point arrived;  // when the handler saw the whole request
  std::string Header(const std::string& name) const;
  std::size_t HeaderCount(const std::string& name) const;
};

class HttpReceiver {
 public:
  void Start();
  // Stop the request service first: open keep-alive connections hold the
  // receiver's threads until they close.
  void Stop();

  std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
  void RespondWith(int status);
  // From now on every answer's body is `bytes` long (0: "angekommen" again),
  // streamed in pieces, never held whole.
  void AnswerWithBytes(std::size_t bytes);
  // Answers whose streamed body went out to its last byte.
  std::size_t StreamedAnswers() const { return streamed_.load(); }
  std::vector<ReceivedPost> Posts();
  bool WaitForPosts(std::size_t count, std::chrono::milliseconds timeout);

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  int listening_ = -1;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<ReceivedPost> posts_;
  int status_ = 200;
  std::size_t answerBytes_ = 0;
  std::atomic<std::size_t> streamed_{0};
};

// A socket bound to 127.0.0.1 with an OS-chosen port; closed on destruction.
// Full: listening with a backlog that one connection of its own fills, so
// that Linux drops every further SYN and a connect to it hangs.
class RawPort {
 public:
  enum class Mode { Refuse, Silent, Full };  // bound only / listening, never accepting
  explicit RawPort(Mode mode);
  ~RawPort();
  RawPort(const RawPort&) = delete;
  RawPort& operator=(const RawPort&) = delete;
  std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  int filler_ = -1;  // Full: the connection that fills the backlog
};

// A peer on 127.0.0.1 that answers every request with fixed bytes, whatever
// they are (HttpReceiver only writes well-formed status lines). A request ends
// with its JSON body's closing brace after the header block. With a `pause`,
// it trickles the answer: one byte, then the pause, and so on.
class CannedPeer {
 public:
  explicit CannedPeer(std::string answer,
                      std::chrono::milliseconds pause = std::chrono::milliseconds(0));
  ~CannedPeer();
  CannedPeer(const CannedPeer&) = delete;
  CannedPeer& operator=(const CannedPeer&) = delete;
  std::string BaseUrl() const { return port_.BaseUrl(); }

 private:
  void Serve();

  std::string answer_;
  std::chrono::milliseconds pause_;
  RawPort port_{RawPort::Mode::Silent};  // listening; Serve() accepts on it
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace qbtest
