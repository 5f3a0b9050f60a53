#include "support/http_receiver.h"

#include <httplib.h>

#include <stdexcept>

namespace qbtest {

HttpReceiver::HttpReceiver() : server_(std::make_unique<httplib::Server>()) {
  server_->Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
    {
      std::lock_guard lock(mutex_);
      requests_.push_back({req.method, req.path, req.get_header_value("Authorization"),
                           req.get_header_value("Content-Type"), req.body});
    }
    arrived_.notify_all();
    res.status = 200;
  });
  int port = server_->bind_to_any_port("127.0.0.1");
  if (port <= 0) throw std::runtime_error("test receiver cannot bind");
  port_ = static_cast<std::uint16_t>(port);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  while (!server_->is_running()) std::this_thread::yield();
}

HttpReceiver::~HttpReceiver() {
  server_->stop();
  thread_.join();
}

std::optional<ReceivedRequest> HttpReceiver::WaitFor(
    std::function<bool(const ReceivedRequest&)> match, std::chrono::milliseconds timeout) {
  return WaitForNth(std::move(match), 1, timeout);
}

std::optional<ReceivedRequest> HttpReceiver::WaitForNth(
    std::function<bool(const ReceivedRequest&)> match, std::size_t n,
    std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::optional<ReceivedRequest> found;
  arrived_.wait_for(lock, timeout, [&] {
    std::size_t seen = 0;
    for (const auto& r : requests_) {
      if (match(r) && ++seen == n) {
        found = r;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<ReceivedRequest> HttpReceiver::Requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

}  // namespace qbtest
