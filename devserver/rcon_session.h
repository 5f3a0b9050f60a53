#pragma once

// One RCON client of the dev server (see rcon_server.h for the protocol and
// rcon_limits.h for the limits). The session keeps itself alive through its
// pending reads, writes and timers; it owns the engine's connection object and
// destroys it with itself.
//
// Requests are run one packet at a time, in order. The session stops taking
// packets while a login waits for its turn (AuthThrottle), and stops reading
// while more reply bytes than the limit wait for the client to take them; it
// goes on once the turn has come or the client has taken every reply. Past
// the hard limit (replies to what it sent before, or one huge reply) the
// connection is closed.

#include <array>
#include <deque>
#include <memory>
#include <string>

#include <asio.hpp>

#include "devserver/rcon_framing.h"
#include "devserver/rcon_server.h"

namespace devserver {

class RconSession : public std::enable_shared_from_this<RconSession> {
 public:
  RconSession(asio::ip::tcp::socket socket, std::shared_ptr<RconServer::Shared> shared);
  ~RconSession();
  RconSession(const RconSession&) = delete;
  RconSession& operator=(const RconSession&) = delete;

  void Start();
  void Close();
  // Closes a client that has not logged in, for a newcomer (rcon_server.h).
  void CloseToMakeRoom();
  bool closed() const { return closed_; }
  bool authenticated() const { return authenticated_; }

 private:
  void Read();
  // Runs the packets already received, then reads on, unless it must wait.
  void Process();
  void Handle(const RconFrame& frame);
  void Login(const RconFrame& frame);
  void Send(std::int32_t id, std::int32_t type, std::string_view body);
  void Write(std::string_view bytes);
  void Flush();

  asio::ip::tcp::socket socket_;
  std::string peer_;     // address:port, for log lines
  std::string address_;  // for the throttle
  std::shared_ptr<RconServer::Shared> shared_;
  RCONClientConnection* connection_ = nullptr;
  RconDecoder decoder_;
  asio::steady_timer loginTimer_;
  asio::steady_timer turnTimer_;
  bool authenticated_ = false;
  int wrongPasswords_ = 0;
  bool waitingTurn_ = false;  // a login waits for its answer
  bool paused_ = false;       // reading stopped: too many reply bytes unread
  bool reading_ = false;
  bool closeWhenSent_ = false;
  bool closed_ = false;
  std::array<char, 4096> readBuffer_{};
  std::deque<std::string> outbox_;
  std::size_t unread_ = 0;  // bytes in outbox_
  bool writing_ = false;
};

}  // namespace devserver
