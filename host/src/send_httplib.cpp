// Sending one request with cpp-httplib's client (Linux). A worker keeps one
// client, and with it a kept-alive connection, for the origin it last used.

#include <httplib.h>

#include <mutex>

#include "request_send.h"

namespace qbhost::detail {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kAborted = "Request aborted: its plug-in left or the service shut down";

class HttplibSender final : public Sender {
 public:
  Outcome Send(const Job& job, std::chrono::milliseconds connectLeft) override {
    const Target& t = job.target;
    const std::string origin =
        (t.https ? "https://" : "http://") + t.host + ":" + std::to_string(t.port);
    {
      std::lock_guard lock(mutex_);
      if (abort_ == job.id) return {false, kAborted, {}};
      if (!client_ || origin_ != origin) {
        client_ = std::make_unique<httplib::Client>(origin);
        client_->set_keep_alive(true);
        client_->set_tcp_nodelay(true);  // headers and body go out in two writes
        origin_ = origin;
      }
      sending_ = job.id;
    }
    client_->set_connection_timeout(connectLeft);
    client_->set_read_timeout(std::chrono::seconds(job.receive));
    client_->set_write_timeout(std::chrono::seconds(job.send));
    httplib::Headers headers;
    for (const auto& line : job.headers) {
      const auto colon = line.find(':');
      if (colon != std::string::npos) {
        headers.emplace(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
      }
    }
    const auto start = Clock::now();
    httplib::Result result = client_->Post(t.path, headers, job.body, job.contentType);
    const auto took = Clock::now() - start;
    {
      std::lock_guard lock(mutex_);
      sending_ = 0;
    }
    Outcome out;
    if (!result) {
      out.text = ErrorText(result.error(), job, took);
      return out;
    }
    for (const auto& [name, value] : result->headers) AddHeader(out, name, value);
    out.success = result->status >= 200 && result->status < 300;
    out.text = out.success ? std::move(result->body) : StatusText(result->status, result->reason);
    return out;
  }

  void Abort(std::uint64_t id) override {
    std::lock_guard lock(mutex_);
    abort_ = id;
    if (sending_ == id) client_->stop();  // shuts the socket down under the worker's feet
  }

 private:
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

  std::mutex mutex_;  // sending_, abort_ and replacing client_, against Abort
  std::unique_ptr<httplib::Client> client_;
  std::string origin_;
  std::uint64_t sending_ = 0;
  std::uint64_t abort_ = 0;
};

}  // namespace

std::unique_ptr<Sender> MakeSender() {
  return std::make_unique<HttplibSender>();
}

}  // namespace qbhost::detail
