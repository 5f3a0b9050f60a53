#pragma once

// A webhook service for tests: cpp-httplib on 127.0.0.1 with an OS-chosen
// port, recording every request it gets and answering 200.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace qbtest {

struct ReceivedRequest {
  std::string method;
  std::string path;
  std::string authorization;
  std::string contentType;
  std::string body;
};

class HttpReceiver {
 public:
  HttpReceiver();
  ~HttpReceiver();
  HttpReceiver(const HttpReceiver&) = delete;
  HttpReceiver& operator=(const HttpReceiver&) = delete;

  std::uint16_t port() const { return port_; }
  std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // The first request (in arrival order) that matches, waiting up to
  // `timeout` for it.
  std::optional<ReceivedRequest> WaitFor(
      std::function<bool(const ReceivedRequest&)> match,
      std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // The nth (1-based) request that matches.
  std::optional<ReceivedRequest> WaitForNth(
      std::function<bool(const ReceivedRequest&)> match, std::size_t n,
      std::chrono::milliseconds timeout = std::chrono::seconds(5));
  std::vector<ReceivedRequest> Requests();

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::uint16_t port_ = 0;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<ReceivedRequest> requests_;
};

}  // namespace qbtest
