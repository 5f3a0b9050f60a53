#include "devserver/rcon_session.h"

#include <exception>

#include "qbhost/escape.h"
#include "qbhost/rcon.h"
#include "qbhost/standin.h"

namespace devserver {

RconSession::RconSession(asio::ip::tcp::socket socket, std::shared_ptr<RconServer::Shared> shared)
    : socket_(std::move(socket)),
      shared_(std::move(shared)),
      loginTimer_(socket_.get_executor()),
      turnTimer_(socket_.get_executor()) {
  asio::error_code ec;
  auto remote = socket_.remote_endpoint(ec);
  address_ = ec ? "?" : remote.address().to_string();
  peer_ = ec ? "?" : address_ + ":" + std::to_string(remote.port());
  // Each answer goes out as one write at once, not after the client's
  // delayed acknowledgement of the last one.
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);
}

RconSession::~RconSession() {
  if (connection_ != nullptr) qbhost::DestroyRconConnection(connection_);
}

void RconSession::Start() {
  // The engine's connection writes its packets through this session. It is
  // only called on the game thread while the session is alive (it dies with
  // the session), so the raw pointer is safe.
  connection_ = qbhost::CreateRconConnection([this](std::string_view bytes) { Write(bytes); });
  shared_->digest->Note(RconEvent::Connected, address_, "RCON client " + peer_ + " connected");
  loginTimer_.expires_after(shared_->limits.loginTimeout);
  loginTimer_.async_wait([self = shared_from_this()](asio::error_code ec) {
    if (ec || self->closed_ || self->authenticated_) return;
    self->shared_->digest->Note(RconEvent::LoginTimeout, self->address_,
                                "RCON client " + self->peer_ + " did not log in within " +
                                    std::to_string(self->shared_->limits.loginTimeout.count()) +
                                    " ms: connection closed");
    self->Close();
  });
  Read();
}

void RconSession::Close() {
  if (closed_) return;
  closed_ = true;
  loginTimer_.cancel();
  turnTimer_.cancel();
  asio::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  // The outbox stays: a write still in flight may point into it until its
  // aborted handler has run.
  socket_.close(ignored);
}

void RconSession::CloseToMakeRoom() {
  if (closed_) return;
  shared_->digest->Note(
      RconEvent::MadeRoom, address_,
      "RCON client " + peer_ + " had not logged in: closed to make room for a new client");
  Close();
}

void RconSession::Read() {
  if (closed_ || reading_) return;
  reading_ = true;
  socket_.async_read_some(
      asio::buffer(readBuffer_), [self = shared_from_this()](asio::error_code ec, std::size_t n) {
        self->reading_ = false;
        if (self->closed_) return;
        if (ec) {
          self->shared_->digest->Note(RconEvent::Disconnected, self->address_,
                                      "RCON client " + self->peer_ + " disconnected");
          self->Close();
          return;
        }
        self->decoder_.Feed(std::string_view(self->readBuffer_.data(), n));
        self->Process();
      });
}

void RconSession::Process() {
  while (!closed_ && !closeWhenSent_ && !waitingTurn_) {
    auto frame = decoder_.Next();
    if (!frame) break;
    Handle(*frame);
  }
  if (closed_ || closeWhenSent_ || waitingTurn_) return;
  if (decoder_.failed()) {
    shared_->digest->Note(RconEvent::Malformed, address_,
                          "RCON client " + peer_ + " sent a malformed packet (" +
                              qbhost::EscapeText(decoder_.error()) + "): connection closed");
    Close();
    return;
  }
  if (unread_ > shared_->limits.pauseUnread) {
    // Reading on would only pile up more replies; the client's own sends
    // block instead, once the socket buffers are full.
    if (!paused_) {
      paused_ = true;
      qbhost::HostLogger()->warn(
          "RCON client {} does not take its replies ({} bytes waiting): reading from it stops "
          "until it does",
          peer_, unread_);
    }
    return;
  }
  Read();
}

void RconSession::Handle(const RconFrame& frame) {
  if (frame.type == qbhost::kRconAuth) {
    auto wait = shared_->throttle.Wait(address_, std::chrono::steady_clock::now());
    if (wait <= std::chrono::steady_clock::duration::zero()) {
      Login(frame);
      return;
    }
    waitingTurn_ = true;
    turnTimer_.expires_after(wait);
    turnTimer_.async_wait([self = shared_from_this(), frame](asio::error_code ec) {
      if (ec || self->closed_) return;
      self->waitingTurn_ = false;
      self->Login(frame);
      self->Process();
    });
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
      shared_->onExec(connection_, frame, reply);
    } catch (const std::exception& e) {
      // Whatever a command throws stays in the host; the client learns of it.
      qbhost::HostLogger()->error("RCON command \"{}\" failed: {}", qbhost::EscapeText(frame.body),
                                  qbhost::EscapeText(e.what()));
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

void RconSession::Login(const RconFrame& frame) {
  auto log = qbhost::HostLogger();
  const auto& limits = shared_->limits;
  authenticated_ = !shared_->password.empty() && frame.body == shared_->password;
  Send(authenticated_ ? frame.id : -1, qbhost::kRconExecOrAuthResponse, "");
  if (authenticated_) {
    loginTimer_.cancel();
    shared_->throttle.Succeeded(address_);
    shared_->digest->Note(RconEvent::Authenticated, address_,
                          "RCON client " + peer_ + " authenticated");
    return;
  }
  ++wrongPasswords_;
  log->warn("RCON client {} sent a wrong password ({} of {})", peer_, wrongPasswords_,
            limits.authTries);
  if (shared_->throttle.Failed(address_, std::chrono::steady_clock::now())) {
    log->warn("RCON: {} wrong passwords from {}: its logins are answered one per {} ms from now on",
              limits.authTries, address_, limits.authDelay.count());
  }
  if (wrongPasswords_ >= limits.authTries) {
    log->warn("RCON client {} sent {} wrong passwords: connection closed", peer_, wrongPasswords_);
    // After the answer has gone out, so that the client learns why.
    closeWhenSent_ = true;
    if (!writing_) Close();
  }
}

void RconSession::Send(std::int32_t id, std::int32_t type, std::string_view body) {
  Write(qbhost::EncodeRconPacket(id, type, body));
}

void RconSession::Write(std::string_view bytes) {
  if (closed_) return;
  outbox_.emplace_back(bytes);
  unread_ += bytes.size();
  if (unread_ > shared_->limits.closeUnread) {
    qbhost::HostLogger()->warn(
        "RCON client {} does not take its replies ({} bytes waiting, the limit is {}): connection "
        "closed",
        peer_, unread_, shared_->limits.closeUnread);
    Close();
    return;
  }
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
                      self->unread_ -= self->outbox_.front().size();
                      self->outbox_.pop_front();
                      if (self->outbox_.empty() && self->closeWhenSent_) {
                        self->Close();
                        return;
                      }
                      self->Flush();
                      if (self->paused_ && self->unread_ == 0) {
                        self->paused_ = false;
                        self->Process();
                      }
                    });
}

}  // namespace devserver
