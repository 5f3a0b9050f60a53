#include "devserver/loopback_http.h"

#include <algorithm>
#include <array>
#include <exception>
#include <stdexcept>
#include <system_error>

#include <asio/buffer.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

namespace devserver {
namespace {

using Clock = std::chrono::steady_clock;
using asio::ip::tcp;

// No descriptors left, or a connection that went away before it was taken:
// wait a little rather than spin.
constexpr std::chrono::milliseconds kAcceptRetry{50};

bool IsDecimal(const std::string& text) {
  return !text.empty() && text.size() <= 19 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void Refuse(HttpResponse& res, int status, const std::string& reason) {
  res = HttpResponse{};
  res.status = status;
  res.SetContent(reason + "\n", "text/plain; charset=utf-8");
}

}  // namespace

std::optional<Refusal> BodyRefusal(const HttpRequest& req, std::size_t maxBody) {
  if (req.HasHeader("Transfer-Encoding")) {
    return Refusal{411, "chunked bodies are not accepted; send a Content-Length"};
  }
  const std::size_t lengths = req.HeaderCount("Content-Length");
  if (lengths == 0) {
    const auto& m = req.method;
    if (m == "POST" || m == "PUT" || m == "PATCH" || m == "DELETE") {
      return Refusal{411, "a Content-Length is needed"};
    }
    return std::nullopt;
  }
  const std::string length = req.Header("Content-Length");
  if (lengths > 1 || !IsDecimal(length)) {
    return Refusal{400, "Content-Length must be one decimal number"};
  }
  if (std::stoull(length) > maxBody) {
    return Refusal{413, "body of " + length + " bytes is over the limit of " +
                            std::to_string(maxBody) + " bytes"};
  }
  return std::nullopt;
}

struct LoopbackHttpServer::Acceptor {
  asio::io_context io;
  tcp::acceptor acceptor{io};
  asio::steady_timer retry{io};
};

// One connection, served by a thread of its own with an io_context of its
// own: only that thread runs it, so the socket needs no further locking.
struct LoopbackHttpServer::Connection {
  asio::io_context io;
  tcp::socket socket{io};
  Clock::time_point accepted;

  // Runs the operation that `start` begins (with the completion handler it
  // is given) until it completes or `deadline` passes; at the deadline the
  // socket is closed and the result is timed_out.
  template <typename Start>
  asio::error_code Run(Clock::time_point deadline, Start start) {
    std::optional<asio::error_code> result;
    io.restart();
    start([&result](asio::error_code ec, std::size_t) { result = ec; });
    io.run_until(deadline);
    if (result) return *result;
    asio::error_code ignored;
    socket.close(ignored);
    io.restart();
    io.run();  // the cancelled operation's handler
    return asio::error::timed_out;
  }
};

LoopbackHttpServer::LoopbackHttpServer(HttpService service, HttpLimits limits)
    : service_(std::move(service)), limits_(limits) {}

LoopbackHttpServer::~LoopbackHttpServer() {
  Stop();
}

std::uint16_t LoopbackHttpServer::Start(std::uint16_t port, const std::string& what) {
  auto acceptor = std::make_unique<Acceptor>();
  auto& a = acceptor->acceptor;
  const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
  asio::error_code ec;
  // A quick restart may reuse the port (SO_REUSEADDR); SO_REUSEPORT would let
  // a second server share it and take half of the requests, so not that.
  a.open(endpoint.protocol(), ec);
  if (!ec) a.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) a.bind(endpoint, ec);
  if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    throw std::runtime_error(what + " cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                             ec.message());
  }
  const std::uint16_t bound = a.local_endpoint().port();
  acceptor_ = std::move(acceptor);
  stopping_ = false;
  Accept();
  accepting_ = std::thread([this] { acceptor_->io.run(); });
  return bound;
}

void LoopbackHttpServer::Stop() {
  if (!acceptor_) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  asio::post(acceptor_->io, [a = acceptor_.get()] {
    asio::error_code ignored;
    a->acceptor.close(ignored);
    a->retry.cancel();
  });
  if (accepting_.joinable()) accepting_.join();
  acceptor_.reset();
  // Reads end at once; an answer being written (a handler released by its
  // owner's stop, answering 503) still goes out, within the write timeout.
  std::unique_lock lock(mutex_);
  for (Connection* c : open_) {
    asio::post(c->io, [c] {
      asio::error_code ignored;
      c->socket.shutdown(tcp::socket::shutdown_receive, ignored);
    });
  }
  idle_.wait(lock, [this] { return serving_ == 0; });
}

void LoopbackHttpServer::Accept() {
  auto c = std::make_shared<Connection>();
  acceptor_->acceptor.async_accept(c->socket, [this, c](asio::error_code ec) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      acceptor_->retry.expires_after(kAcceptRetry);
      acceptor_->retry.async_wait([this](asio::error_code waited) {
        if (!waited) Accept();
      });
      return;
    }
    c->accepted = Clock::now();
    bool admitted = false;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      // Over the bound, the connection is closed as `c` goes.
      admitted = serving_ < limits_.maxConnections;
      if (admitted) {
        open_.insert(c.get());
        ++serving_;
      }
    }
    if (admitted) {
      try {
        std::thread([this, c]() mutable { Serve(std::move(c)); }).detach();
      } catch (const std::system_error&) {
        // No thread to be had (the process is at its limit): this peer is
        // closed, the server goes on.
        std::lock_guard lock(mutex_);
        open_.erase(c.get());
        --serving_;
      }
    }
    Accept();
  });
}

bool LoopbackHttpServer::Answer(Connection& c, HttpResponse& res, bool& headOnly) const {
  const auto deadline = c.accepted + limits_.readDeadline;
  // The head, and whatever of the body came with it; never more than maxHead.
  std::string buffer;
  std::size_t headSize = 0;
  asio::error_code ec = c.Run(deadline, [&](auto done) {
    asio::async_read_until(c.socket, asio::dynamic_buffer(buffer, limits_.maxHead), "\r\n\r\n",
                           [&headSize, done](asio::error_code e, std::size_t n) {
                             headSize = n;
                             done(e, n);
                           });
  });
  if (ec == asio::error::not_found) {
    Refuse(res, 431, "the request head is over " + std::to_string(limits_.maxHead) + " bytes");
    return true;
  }
  if (ec) return false;  // the peer went away, or the deadline passed
  std::string error;
  auto req = ParseRequestHead(std::string_view(buffer).substr(0, headSize - 2), error);
  if (!req) {
    Refuse(res, 400, error);
    return true;
  }
  headOnly = req->method == "HEAD";
  try {
    if (service_.head && service_.head(*req, res)) return true;
  } catch (const std::exception& e) {
    Refuse(res, 500, e.what());
    return true;
  }
  if (auto refusal = BodyRefusal(*req, limits_.maxBody)) {
    Refuse(res, refusal->status, refusal->reason);
    return true;
  }

  const std::size_t length =
      req->HasHeader("Content-Length") ? std::stoull(req->Header("Content-Length")) : 0;
  std::string& body = req->body;
  body.assign(buffer, headSize, std::min(length, buffer.size() - headSize));
  if (body.size() < length) {
    if (req->Header("Expect") == "100-continue") {
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      ec = c.Run(Clock::now() + limits_.writeTimeout, [&](auto done) {
        asio::async_write(c.socket, asio::buffer(kContinue.data(), kContinue.size()), done);
      });
      if (ec) return false;
    }
    const std::size_t have = body.size();
    body.resize(length);
    ec = c.Run(deadline, [&](auto done) {
      asio::async_read(c.socket, asio::buffer(body.data() + have, length - have), done);
    });
    if (ec) return false;
  }
  try {
    service_.handle(*req, res);
  } catch (const std::exception& e) {
    Refuse(res, 500, e.what());
  }
  return true;
}

void LoopbackHttpServer::Serve(std::shared_ptr<Connection> c) {
  HttpResponse res;
  bool headOnly = false;
  if (Answer(*c, res, headOnly)) {
    const std::string head = ResponseHead(res, service_.headers);
    const std::array<asio::const_buffer, 2> buffers{
        asio::buffer(head), asio::buffer(res.body.data(), headOnly ? 0 : res.body.size())};
    c->Run(Clock::now() + limits_.writeTimeout,
           [&](auto done) { asio::async_write(c->socket, buffers, done); });
  }
  // The peer gets the end of the answer before the close; what it still sends
  // (a refused body) is not read.
  asio::error_code ignored;
  c->socket.shutdown(tcp::socket::shutdown_send, ignored);
  c->socket.close(ignored);
  {
    std::lock_guard lock(mutex_);
    open_.erase(c.get());
  }
  // Its io_context goes before Stop may return.
  c.reset();
  std::lock_guard lock(mutex_);
  // Under the lock: Stop cannot return, and destroy this, before it is done.
  if (--serving_ == 0) idle_.notify_all();
}

}  // namespace devserver
