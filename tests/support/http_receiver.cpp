#include "support/http_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace qbtest {

std::string ReceivedPost::Header(const std::string& name) const {
  auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

std::size_t ReceivedPost::HeaderCount(const std::string& name) const {
  return headers.count(name);
}

void HttpReceiver::Start() {
  // A thread per connection the request service may keep open, so that no
  // kept connection waits for a free thread.
  server_.new_task_queue = [] { return new httplib::ThreadPool(32); };
  server_.set_keep_alive_max_count(100000);
  server_.set_keep_alive_timeout(1);
  // httplib writes headers and body separately: without this, Nagle and the
  // client's delayed ACK hold every answer for some 40 ms.
  server_.set_tcp_nodelay(true);
  server_.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
    const auto arrived = std::chrono::steady_clock::now();
    int status = 0;
    {
      std::lock_guard lock(mutex_);
      posts_.push_back(
          {request.path, {request.headers.begin(), request.headers.end()}, request.body, arrived});
      status = status_;
    }
    arrived_.notify_all();
    response.status = status;
    response.set_header("X-Receiver", "qbtest");
    std::size_t bytes = 0;
    {
      std::lock_guard lock(mutex_);
      bytes = answerBytes_;
    }
    if (bytes == 0) {
      response.set_content("angekommen", "text/plain");
      return;
    }
    response.set_content_provider(
        bytes, "application/octet-stream",
        [this, bytes](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          static const std::string kPiece(64 * 1024, 'x');
          const std::size_t n = std::min(length, kPiece.size());
          if (!sink.write(kPiece.data(), n)) return false;
          if (offset + n == bytes) ++streamed_;
          return true;
        });
  });
  server_.set_socket_options([this](socket_t sock) {
    httplib::default_socket_options(sock);
    if (listening_ < 0) listening_ = sock;
  });
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("receiver: cannot bind 127.0.0.1");
  // httplib listens with a backlog of 5: a burst of new connections would
  // lose SYNs and wait a second for the retry. Linux lets listen() raise it.
  ::listen(listening_, SOMAXCONN);
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  // stop() does nothing until the accept loop runs, and httplib offers no
  // notification of that: poll the flag.
  while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void HttpReceiver::Stop() {
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

void HttpReceiver::RespondWith(int status) {
  std::lock_guard lock(mutex_);
  status_ = status;
}

void HttpReceiver::AnswerWithBytes(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  answerBytes_ = bytes;
}

std::vector<ReceivedPost> HttpReceiver::Posts() {
  std::lock_guard lock(mutex_);
  return posts_;
}

bool HttpReceiver::WaitForPosts(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return posts_.size() >= count; });
}

RawPort::RawPort(Mode mode) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ < 0) throw std::runtime_error("raw port: socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  if (::bind(fd_, generic, length) != 0 || ::getsockname(fd_, generic, &length) != 0 ||
      (mode == Mode::Silent && ::listen(fd_, 16) != 0) ||
      (mode == Mode::Full && ::listen(fd_, 0) != 0)) {
    ::close(fd_);
    throw std::runtime_error("raw port: bind/listen failed");
  }
  port_ = ntohs(address.sin_port);
  if (mode == Mode::Full) {
    // A backlog of 0 holds one connection: this one, never accepted.
    filler_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (filler_ < 0 || ::connect(filler_, generic, length) != 0) {
      if (filler_ >= 0) ::close(filler_);
      ::close(fd_);
      throw std::runtime_error("raw port: cannot fill the backlog");
    }
  }
}

RawPort::~RawPort() {
  if (filler_ >= 0) ::close(filler_);
  ::close(fd_);
}

CannedPeer::CannedPeer(std::string answer, std::chrono::milliseconds pause)
    : answer_(std::move(answer)), pause_(pause) {
  thread_ = std::thread([this] { Serve(); });
}

CannedPeer::~CannedPeer() {
  stop_ = true;
  thread_.join();
}

void CannedPeer::Serve() {
  while (!stop_) {
    pollfd ready{port_.fd(), POLLIN, 0};
    if (::poll(&ready, 1, 100) != 1) continue;
    int client = ::accept(port_.fd(), nullptr, nullptr);
    if (client < 0) continue;
    std::string request;
    char chunk[4096];
    while (request.find("\r\n\r\n") == std::string::npos || request.back() != '}') {
      pollfd in{client, POLLIN, 0};
      if (::poll(&in, 1, 2000) != 1) break;
      ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      request.append(chunk, static_cast<std::size_t>(n));
    }
    if (pause_.count() == 0) {
      ::send(client, answer_.data(), answer_.size(), MSG_NOSIGNAL);
    } else {
      // One byte per pause, until the answer is out, the client has gone or
      // the peer is stopped; each pause waits for the client to hang up.
      for (std::size_t i = 0; i < answer_.size() && !stop_; ++i) {
        if (::send(client, &answer_[i], 1, MSG_NOSIGNAL) != 1) break;
        pollfd gone{client, POLLRDHUP, 0};
        if (::poll(&gone, 1, static_cast<int>(pause_.count())) != 0) break;
      }
    }
    ::close(client);
  }
}

}  // namespace qbtest
