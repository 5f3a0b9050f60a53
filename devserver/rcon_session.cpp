#include "devserver/rcon_session.h"

#include <exception>

#include "qbhost/rcon.h"
#include "qbhost/standin.h"

namespace devserver {

RconSession::RconSession(asio::ip::tcp::socket socket, std::shared_ptr<const std::string> password,
                         std::shared_ptr<const RconServer::ExecHandler> onExec)
    : socket_(std::move(socket)), password_(std::move(password)), onExec_(std::move(onExec)) {
  asio::error_code ec;
  auto remote = socket_.remote_endpoint(ec);
  peer_ = ec ? "?" : remote.address().to_string() + ":" + std::to_string(remote.port());
}

RconSession::~RconSession() {
  if (connection_ != nullptr) qbhost::DestroyRconConnection(connection_);
}

void RconSession::Start() {
  // The engine's connection writes its packets through this session. It is
  // only called on the game thread while the session is alive (it dies with
  // the session), so the raw pointer is safe.
  connection_ = qbhost::CreateRconConnection([this](std::string_view bytes) { Write(bytes); });
  qbhost::HostLogger()->info("RCON client {} connected", peer_);
  Read();
}

void RconSession::Close() {
  if (closed_) return;
  closed_ = true;
  asio::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  // The outbox stays: a write still in flight may point into it until its
  // aborted handler has run.
  socket_.close(ignored);
}

void RconSession::Read() {
  socket_.async_read_some(asio::buffer(readBuffer_), [self = shared_from_this()](
                                                         asio::error_code ec, std::size_t n) {
    if (self->closed_) return;
    if (ec) {
      qbhost::HostLogger()->info("RCON client {} disconnected", self->peer_);
      self->Close();
      return;
    }
    self->decoder_.Feed(std::string_view(self->readBuffer_.data(), n));
    while (auto frame = self->decoder_.Next()) {
      self->Handle(*frame);
      if (self->closed_) return;
    }
    if (self->decoder_.failed()) {
      qbhost::HostLogger()->warn("RCON client {} sent a malformed packet ({}): connection closed",
                                 self->peer_, self->decoder_.error());
      self->Close();
      return;
    }
    self->Read();
  });
}

void RconSession::Handle(const RconFrame& frame) {
  auto log = qbhost::HostLogger();
  if (frame.type == qbhost::kRconAuth) {
    authenticated_ = !password_->empty() && frame.body == *password_;
    Send(frame.id, qbhost::kRconResponse, "");
    Send(authenticated_ ? frame.id : -1, qbhost::kRconExecOrAuthResponse, "");
    if (authenticated_) {
      log->info("RCON client {} authenticated", peer_);
    } else {
      log->warn("RCON client {} sent a wrong password", peer_);
    }
    return;
  }
  if (frame.type == qbhost::kRconExecOrAuthResponse) {
    if (!authenticated_) {
      Send(frame.id, qbhost::kRconResponse, "Not authenticated.");
      return;
    }
    auto reply = [this, id = frame.id](std::string_view text) {
      Send(id, qbhost::kRconResponse, text);
    };
    try {
      (*onExec_)(connection_, frame, reply);
    } catch (const std::exception& e) {
      // Whatever a command throws stays in the host; the client learns of it.
      log->error("RCON command \"{}\" failed: {}", frame.body, e.what());
      reply(std::string("Command failed: ") + e.what());
    }
    return;
  }
  if (frame.type == qbhost::kRconResponse && authenticated_ && frame.body.empty()) {
    Send(frame.id, qbhost::kRconResponse, "");
    return;
  }
  Send(frame.id, qbhost::kRconResponse, "Unknown packet type " + std::to_string(frame.type) + ".");
}

void RconSession::Send(std::int32_t id, std::int32_t type, std::string_view body) {
  Write(qbhost::EncodeRconPacket(id, type, body));
}

void RconSession::Write(std::string_view bytes) {
  if (closed_) return;
  outbox_.emplace_back(bytes);
  if (!writing_) Flush();
}

void RconSession::Flush() {
  if (outbox_.empty() || closed_) {
    writing_ = false;
    return;
  }
  writing_ = true;
  asio::async_write(socket_, asio::buffer(outbox_.front()),
                    [self = shared_from_this()](asio::error_code ec, std::size_t) {
                      if (self->closed_) return;
                      if (ec) {
                        self->Close();
                        return;
                      }
                      self->outbox_.pop_front();
                      self->Flush();
                    });
}

}  // namespace devserver
