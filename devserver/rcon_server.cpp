#include "devserver/rcon_server.h"

#include "devserver/rcon_session.h"
#include "qbhost/standin.h"

namespace devserver {

RconServer::RconServer(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint,
                       std::string password, ExecHandler onExec)
    : acceptor_(io, endpoint),
      password_(std::make_shared<const std::string>(std::move(password))),
      onExec_(std::make_shared<const ExecHandler>(std::move(onExec))) {}

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
  for (auto& weak : sessions_) {
    if (auto session = weak.lock()) session->Close();
  }
  sessions_.clear();
}

void RconServer::Accept() {
  acceptor_.async_accept([this](asio::error_code ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted || stopped_) return;
    if (ec) {
      qbhost::HostLogger()->warn("RCON accept failed: {}", ec.message());
    } else {
      auto session = std::make_shared<RconSession>(std::move(socket), password_, onExec_);
      std::erase_if(sessions_, [](const auto& weak) { return weak.expired(); });
      sessions_.push_back(session);
      session->Start();
    }
    Accept();
  });
}

}  // namespace devserver
