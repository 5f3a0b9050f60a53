#include "devserver/loopback_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace devserver {
namespace {

using Clock = std::chrono::steady_clock;

// Waits until `fd` is ready for `events` or `deadline` passes.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1'000'000)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

void Address(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  int rc = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size)
                : ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  if (rc != 0 || address.sin_family != AF_INET) return;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  ip = text;
  port = ntohs(address.sin_port);
}

// One request's connection as httplib reads and writes it: every read ends
// at the deadline, and no more than `budget` bytes are ever read. httplib
// reads the head one byte at a time, so reads go through a buffer.
class RequestStream final : public httplib::Stream {
 public:
  RequestStream(int fd, Clock::time_point readDeadline, std::size_t budget,
                std::chrono::milliseconds writeTimeout)
      : fd_(fd), readDeadline_(readDeadline), budget_(budget), writeTimeout_(writeTimeout) {}

  bool is_readable() const override {
    return pos_ < end_ || (budget_ > 0 && WaitFor(fd_, POLLIN, readDeadline_));
  }
  bool is_writable() const override { return WaitFor(fd_, POLLOUT, Clock::now() + writeTimeout_); }
  ssize_t read(char* ptr, size_t size) override {
    if (pos_ == end_) {
      if (!is_readable()) return -1;
      ssize_t got = ::recv(fd_, buffer_, std::min(sizeof buffer_, budget_), 0);
      if (got <= 0) return got < 0 ? -1 : 0;
      budget_ -= static_cast<std::size_t>(got);
      pos_ = 0;
      end_ = static_cast<std::size_t>(got);
    }
    std::size_t n = std::min(size, end_ - pos_);
    std::memcpy(ptr, buffer_ + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t sent = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    return sent < 0 ? -1 : sent;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    Address(fd_, true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    Address(fd_, false, ip, port);
  }
  socket_t socket() const override { return fd_; }

 private:
  int fd_;
  Clock::time_point readDeadline_;
  std::size_t budget_;
  std::chrono::milliseconds writeTimeout_;
  char buffer_[4096];
  std::size_t pos_ = 0, end_ = 0;
};

bool IsDecimal(const std::string& text) {
  return !text.empty() && text.size() <= 19 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<Refusal> BodyRefusal(const httplib::Request& req, std::size_t maxBody) {
  if (req.has_header("Transfer-Encoding")) {
    return Refusal{411, "chunked bodies are not accepted; send a Content-Length"};
  }
  const std::size_t lengths = req.get_header_value_count("Content-Length");
  if (lengths == 0) {
    // httplib reads the body of these until the connection ends.
    const auto& m = req.method;
    if (m == "POST" || m == "PUT" || m == "PATCH" || m == "DELETE" || m == "PRI") {
      return Refusal{411, "a Content-Length is needed"};
    }
    return std::nullopt;
  }
  const std::string length = req.get_header_value("Content-Length");
  if (lengths > 1 || !IsDecimal(length)) {
    return Refusal{400, "Content-Length must be one decimal number"};
  }
  if (std::stoull(length) > maxBody) {
    return Refusal{413, "body of " + length + " bytes is over the limit of " +
                            std::to_string(maxBody) + " bytes"};
  }
  return std::nullopt;
}

LoopbackHttpServer::LoopbackHttpServer(HttpLimits limits) : limits_(limits) {
  set_payload_max_length(limits_.maxBody);
}

LoopbackHttpServer::~LoopbackHttpServer() {
  Stop();
}

std::uint16_t LoopbackHttpServer::Start(std::uint16_t port, const std::string& what) {
  const std::string where = what + " cannot listen on 127.0.0.1:" + std::to_string(port) + ": ";
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(where + std::strerror(errno));
  // A quick restart may reuse the port; SO_REUSEPORT (httplib's default)
  // would let a second server share it and take half of the requests.
  int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size)) {
    std::string why = std::strerror(errno);
    ::close(fd);
    throw std::runtime_error(where + why);
  }
  listenFd_ = fd;
  stopping_ = false;
  acceptor_ = std::thread([this] { Accept(); });
  return ntohs(address.sin_port);
}

void LoopbackHttpServer::Stop() {
  if (listenFd_ < 0) return;
  stopping_ = true;
  // Wakes the blocked accept.
  ::shutdown(listenFd_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  ::close(listenFd_);
  listenFd_ = -1;
  // Reads end at once; an answer being written (a handler released by its
  // owner's stop, answering 503) still goes out, within the write timeout.
  std::unique_lock lock(mutex_);
  for (int fd : open_) ::shutdown(fd, SHUT_RD);
  idle_.wait(lock, [this] { return open_.empty(); });
}

void LoopbackHttpServer::Accept() {
  while (!stopping_) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (stopping_) return;
      // No descriptors left, or a connection that went away before it was
      // taken: wait a little rather than spin.
      if (errno != EINTR && errno != ECONNABORTED) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      continue;
    }
    {
      std::lock_guard lock(mutex_);
      if (open_.size() >= limits_.maxConnections || stopping_) {
        ::close(fd);
        continue;
      }
      open_.insert(fd);
    }
    try {
      std::thread([this, fd] { Serve(fd); }).detach();
    } catch (const std::system_error&) {
      // No thread to be had (the process is at its limit): this peer is
      // closed, the server goes on.
      std::lock_guard lock(mutex_);
      ::close(fd);
      open_.erase(fd);
    }
  }
}

void LoopbackHttpServer::Serve(int fd) {
  {
    RequestStream stream(fd, Clock::now() + limits_.readDeadline, limits_.maxHead + limits_.maxBody,
                         limits_.writeTimeout);
    bool closed = false;
    // Always the last request of its connection: the answer says so.
    process_request(stream, true, closed, nullptr);
  }
  // The peer gets the end of the answer before the close; what it still sends
  // (a refused body) is not read.
  ::shutdown(fd, SHUT_WR);
  std::lock_guard lock(mutex_);
  ::close(fd);
  open_.erase(fd);
  // Under the lock: Stop cannot return, and destroy this, before it is done.
  if (open_.empty()) idle_.notify_all();
}

}  // namespace devserver
