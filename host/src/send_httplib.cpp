// Sending one request with cpp-httplib's client (Linux). A worker keeps one
// client, and with it a kept-alive connection, for the origin it last used.
//
// Aborting: the client's own stop() waits for a connect under way (it takes
// the lock that the connect holds), so an abort would stall for up to the
// connect limit. Instead the sender keeps its own duplicate of the socket the
// client is using: from the socket-options hook, which the client calls with
// each new socket before connecting, and from the client's kept connection
// when a send starts. Abort shuts that socket down, which ends a connect under
// way (Linux fails it with ECONNRESET), a write or a read at once. The
// duplicate is the sender's own descriptor, so its number can never have been
// reused by somebody else when Abort shuts it; it is closed when the send
// ends. A socket made after an abort is shut as soon as it exists.

#include <fcntl.h>
#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "request_send.h"

namespace qbhost::detail {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kAborted = "Request aborted: its plug-in left or the service shut down";

class HttplibSender final : public Sender {
 public:
  ~HttplibSender() override {
    std::lock_guard lock(mutex_);
    Unwatch();
  }

  Outcome Send(const Job& job, std::chrono::milliseconds connectLeft) override {
    // client_ is this worker's alone: Abort never touches it.
    const Target& t = job.target;
    const std::string origin =
        (t.https ? "https://" : "http://") + t.host + ":" + std::to_string(t.port);
    if (!client_ || origin_ != origin) {
      client_ = std::make_unique<httplib::Client>(origin);
      client_->set_keep_alive(true);
      client_->set_tcp_nodelay(true);  // headers and body go out in two writes
      client_->set_socket_options([this](socket_t fd) { Watch(fd); });
      origin_ = origin;
    }
    {
      std::lock_guard lock(mutex_);
      if (abort_ == job.id) return {false, kAborted, {}};
      sending_ = job.id;
      if (client_->socket() != INVALID_SOCKET) WatchLocked(client_->socket());
    }
    client_->set_connection_timeout(connectLeft);
    client_->set_read_timeout(std::chrono::seconds(job.receive));
    client_->set_write_timeout(std::chrono::seconds(job.send));

    httplib::Request request;
    request.method = "POST";
    request.path = t.path;
    for (const auto& line : job.headers) {
      const auto colon = line.find(':');
      if (colon != std::string::npos) {
        request.headers.emplace(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
      }
    }
    if (!job.contentType.empty()) request.headers.emplace("Content-Type", job.contentType);
    request.body = job.body;
    std::string body;
    request.content_receiver = [&body](const char* data, size_t length, uint64_t offset,
                                       uint64_t total) {
      // One allocation for what will be kept, when the length is announced.
      if (offset == 0 && total > 0) body.reserve(std::min<uint64_t>(total, kMaxBodyKept));
      KeepPart(body, {data, length});
      return true;
    };
    httplib::Response response;
    auto error = httplib::Error::Success;
    const auto start = Clock::now();
    const bool answered = client_->send(request, response, error);
    const auto took = Clock::now() - start;
    bool aborted = false;
    {
      std::lock_guard lock(mutex_);
      aborted = abort_ == job.id;
      sending_ = 0;
      Unwatch();
    }
    Outcome out;
    if (!answered) {
      out.text = aborted ? kAborted : ErrorText(error, job, took);
      return out;
    }
    for (const auto& [name, value] : response.headers) AddHeader(out, name, value);
    out.success = response.status >= 200 && response.status < 300;
    out.text = out.success ? std::move(body) : StatusText(response.status, response.reason);
    return out;
  }

  void Abort(std::uint64_t id) override {
    std::lock_guard lock(mutex_);
    abort_ = id;
    if (sending_ == id && watched_ >= 0) ::shutdown(watched_, SHUT_RDWR);
  }

 private:
  // The client's hook for every new socket, on the worker's thread.
  void Watch(socket_t fd) {
    std::lock_guard lock(mutex_);
    WatchLocked(fd);
    if (sending_ != 0 && abort_ == sending_) ::shutdown(fd, SHUT_RDWR);
  }

  // With mutex_ held.
  void WatchLocked(socket_t fd) {
    Unwatch();
    watched_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  }

  // With mutex_ held.
  void Unwatch() {
    if (watched_ >= 0) ::close(watched_);
    watched_ = -1;
  }

  static std::string ErrorText(httplib::Error error, const Job& job, Clock::duration took) {
    // "Read" and "Write" stand both for a quiet time that ran out and for a
    // peer that closed the connection: the time taken tells them apart.
    switch (error) {
      case httplib::Error::Connection:
        return ConnectFailedText(job.target);
      case httplib::Error::ConnectionTimeout:
        return "Connection timed out: " + ConnectFailedText(job.target);
      case httplib::Error::Read:
        if (took >= std::chrono::seconds(job.receive)) return QuietTimeText(true, job.receive);
        return "Connection closed by the peer before its answer was complete";
      case httplib::Error::Write:
        if (took >= std::chrono::seconds(job.send)) return QuietTimeText(false, job.send);
        return "Connection closed by the peer while the request was sent";
      case httplib::Error::Canceled:
        return kAborted;
      default:  // TLS errors among them
        return "Request failed: " + httplib::to_string(error) + " (" + job.target.host + ")";
    }
  }

  std::unique_ptr<httplib::Client> client_;
  std::string origin_;
  std::mutex mutex_;  // the three below, against Abort from another thread
  std::uint64_t sending_ = 0;
  std::uint64_t abort_ = 0;
  int watched_ = -1;  // our duplicate of the client's socket while sending
};

}  // namespace

std::unique_ptr<Sender> MakeSender() {
  return std::make_unique<HttplibSender>();
}

}  // namespace qbhost::detail
