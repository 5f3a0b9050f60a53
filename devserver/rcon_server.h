#pragma once

// Source RCON over TCP on the game thread's io_context. Each client gets a
// session with its own decoder (rcon_framing.h), its own authentication state
// and an engine connection object (qbhost::CreateRconConnection) whose
// SendMessage writes through the session.
//
// Protocol as the game server speaks it:
// - auth (type 3): an empty response (type 0) with the request id, then an auth
//   response (type 2) with the request id, or with id -1 when the password is
//   wrong. A wrong password leaves the connection open for another try.
// - exec (type 2) after auth: handed to the exec handler (the dev server).
// - exec before auth: not run; answered with a response (type 0) that carries
//   the request id and the text "Not authenticated.".
// - an empty response packet (type 0) from an authenticated client is echoed
//   back empty (clients use it to find the end of a long reply).
// - any other type: a response with "Unknown packet type N.".
// - a malformed stream (size below 10, above 4096, negative) closes that
//   connection only.
// Several clients at once; everything runs on the io_context's one thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <asio.hpp>

#include "asaapi/host.h"
#include "devserver/rcon_framing.h"

namespace devserver {

class RconSession;

class RconServer {
 public:
  // Runs an exec packet of an authenticated client. `reply` sends a response
  // packet (type 0) with the packet's id; it may be called any number of times.
  using ExecHandler = std::function<void(RCONClientConnection* connection, const RconFrame& frame,
                                         const std::function<void(std::string_view)>& reply)>;

  RconServer(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint, std::string password,
             ExecHandler onExec);
  ~RconServer();
  RconServer(const RconServer&) = delete;
  RconServer& operator=(const RconServer&) = delete;

  asio::ip::tcp::endpoint endpoint() const;
  void Start();
  // Stops accepting and closes every session. Idempotent.
  void Stop();

 private:
  void Accept();

  asio::ip::tcp::acceptor acceptor_;
  std::shared_ptr<const std::string> password_;
  std::shared_ptr<const ExecHandler> onExec_;
  std::vector<std::weak_ptr<RconSession>> sessions_;
  bool stopped_ = false;
};

}  // namespace devserver
