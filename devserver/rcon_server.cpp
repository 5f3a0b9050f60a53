#include "devserver/rcon_server.h"

#include "devserver/rcon_session.h"
#include "qbhost/standin.h"

namespace devserver {

RconServer::RconServer(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint,
                       std::string password, ExecHandler onExec, RconLimits limits)
    : acceptor_(io, endpoint),
      retry_(io),
      shared_(std::make_shared<Shared>(Shared{std::move(password), std::move(onExec), limits,
                                              AuthThrottle(limits.authTries, limits.authDelay),
                                              std::make_shared<RconDigest>(io.get_executor())})) {}

RconServer::~RconServer() {
  Stop();
}

asio::ip::tcp::endpoint RconServer::endpoint() const {
  return acceptor_.local_endpoint();
}

void RconServer::Start() {
  Accept();
}

void RconServer::Stop() {
  if (stopped_) return;
  stopped_ = true;
  asio::error_code ignored;
  acceptor_.close(ignored);
  retry_.cancel();
  for (auto& weak : sessions_) {
    if (auto session = weak.lock()) session->Close();
  }
  sessions_.clear();
  shared_->digest->Flush();
}

std::size_t RconServer::connections() {
  std::erase_if(sessions_, [](const auto& weak) {
    auto session = weak.lock();
    return !session || session->closed();
  });
  return sessions_.size();
}

void RconServer::Accept() {
  acceptor_.async_accept([this](asio::error_code ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted || stopped_) return;
    auto log = qbhost::HostLogger();
    if (ec) {
      // Typically no descriptors left: the client stays in the backlog, and
      // accepting again at once would only fail again, as fast as it can.
      if (acceptFailures_++ == 0) {
        log->warn("RCON accept failed: {}; trying again every {} ms until it works", ec.message(),
                  shared_->limits.acceptRetry.count());
      }
      retry_.expires_after(shared_->limits.acceptRetry);
      retry_.async_wait([this](asio::error_code waited) {
        if (!waited && !stopped_) Accept();
      });
      return;
    }
    if (acceptFailures_ > 0) {
      log->info("RCON accepts again after {} failed attempts", acceptFailures_);
      acceptFailures_ = 0;
    }
    Admit(std::move(socket));
    Accept();
  });
}

void RconServer::Admit(asio::ip::tcp::socket socket) {
  auto log = qbhost::HostLogger();
  if (connections() >= shared_->limits.maxConnections) {
    if (auto waiting = LongestWaiting()) {
      waiting->CloseToMakeRoom();
      connections();
    }
  }
  if (connections() >= shared_->limits.maxConnections) {
    if (refused_++ == 0) {
      log->warn("RCON has {} clients, its limit: further clients are closed at once",
                shared_->limits.maxConnections);
    }
    asio::error_code ignored;
    socket.close(ignored);
    return;
  }
  if (refused_ > 0) {
    log->info("RCON takes clients again; {} were closed at the limit", refused_);
    refused_ = 0;
  }
  auto session = std::make_shared<RconSession>(std::move(socket), shared_);
  sessions_.push_back(session);
  session->Start();
}

std::shared_ptr<RconSession> RconServer::LongestWaiting() {
  // sessions_ is in the order of arrival: the first match waited longest. A
  // newcomer is the last to go, so an admin whose login is on its way is
  // closed only after as many newer clients as there are slots came first.
  for (auto& weak : sessions_) {
    auto session = weak.lock();
    if (session && !session->closed() && !session->authenticated()) return session;
  }
  return nullptr;
}

}  // namespace devserver
