// Sending one request with cpp-httplib's client (Linux). Each worker keeps one
// client, and with it one kept-alive connection, for the origin it last
// talked to; a job for another origin replaces it.

#include <httplib.h>

#include <mutex>
#include <string_view>

#include "request_send.h"

namespace qbhost::detail {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kAborted = "Request aborted: its plug-in left or the service shut down";

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

class HttplibSender final : public Sender {
 public:
  Outcome Send(const Job& job, std::chrono::milliseconds connectLeft) override {
    const Target& t = job.target;
    const std::string origin =
        (t.https ? "https://" : "http://") + t.host + ":" + std::to_string(t.port);
    httplib::Client* client = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (abort_ == job.id) return {false, kAborted, {}};
      if (!client_ || origin_ != origin) {
        client_ = std::make_unique<httplib::Client>(origin);
        client_->set_keep_alive(true);
        origin_ = origin;
      }
      client = client_.get();
      sending_ = job.id;
    }
    client->set_connection_timeout(connectLeft);
    client->set_read_timeout(std::chrono::seconds(job.receive));
    client->set_write_timeout(std::chrono::seconds(job.send));
    httplib::Headers headers;
    for (const auto& line : job.headers) {
      const auto colon = line.find(':');
      const std::string_view view(line);
      if (colon == std::string::npos) continue;  // not a header: nothing to send
      headers.emplace(Trim(view.substr(0, colon)), Trim(view.substr(colon + 1)));
    }
    const auto start = Clock::now();
    httplib::Result result = client->Post(t.path, headers, job.body, job.contentType);
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
    if (result->status >= 200 && result->status < 300) {
      out.success = true;
      out.text = std::move(result->body);
    } else {
      out.text = StatusText(result->status, result->reason);
    }
    return out;
  }

  void Abort(std::uint64_t id) override {
    std::lock_guard lock(mutex_);
    abort_ = id;
    if (sending_ == id) client_->stop();  // shuts the socket down under the worker's feet
  }

 private:
  static std::string ErrorText(httplib::Error error, const Job& job, Clock::duration took) {
    // httplib says "Read" or "Write" both for a quiet time that ran out and
    // for a peer that closed the connection; the time taken tells them apart.
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
      case httplib::Error::SSLConnection:
      case httplib::Error::SSLLoadingCerts:
      case httplib::Error::SSLServerVerification:
        return "TLS failed (" + httplib::to_string(error) + ") with " + job.target.host;
      default:
        return "Request failed: " + httplib::to_string(error);
    }
  }

  std::mutex mutex_;  // client_ against Abort from another thread
  std::unique_ptr<httplib::Client> client_;
  std::string origin_;
  std::uint64_t sending_ = 0;  // the job on the wire
  std::uint64_t abort_ = 0;    // the job to abort
};

}  // namespace

std::unique_ptr<Sender> MakeSender() {
  return std::make_unique<HttplibSender>();
}

}  // namespace qbhost::detail
