#pragma once

// One RCON client of the dev server (see rcon_server.h for the protocol).
// The session keeps itself alive through its pending reads and writes; it
// owns the engine's connection object and destroys it with itself.

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
  RconSession(asio::ip::tcp::socket socket, std::shared_ptr<const std::string> password,
              std::shared_ptr<const RconServer::ExecHandler> onExec);
  ~RconSession();
  RconSession(const RconSession&) = delete;
  RconSession& operator=(const RconSession&) = delete;

  void Start();
  void Close();

 private:
  void Read();
  void Handle(const RconFrame& frame);
  void Send(std::int32_t id, std::int32_t type, std::string_view body);
  void Write(std::string_view bytes);
  void Flush();

  asio::ip::tcp::socket socket_;
  std::string peer_;
  std::shared_ptr<const std::string> password_;
  std::shared_ptr<const RconServer::ExecHandler> onExec_;
  RCONClientConnection* connection_ = nullptr;
  RconDecoder decoder_;
  bool authenticated_ = false;
  bool closed_ = false;
  std::array<char, 4096> readBuffer_{};
  std::deque<std::string> outbox_;
  bool writing_ = false;
};

}  // namespace devserver
