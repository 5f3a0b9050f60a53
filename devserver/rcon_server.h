#pragma once

// Source RCON over TCP on the game thread's io_context. Each client gets a
// session with its own decoder (rcon_framing.h), its own authentication state
// and an engine connection object (qbhost::CreateRconConnection) whose
// SendMessage writes through the session.
//
// Protocol as the game server speaks it:
// - auth (type 3): one auth response (type 2) with the request id, or with id
//   -1 when the password is wrong, in one write (no empty response before it,
//   which clients that read one packet per TCP read would take for the answer).
// - exec (type 2) after auth: handed to the exec handler (the dev server).
// - exec before auth: not run; answered with a response (type 0) that carries
//   the request id and the text "Not authenticated.".
// - an empty response packet (type 0) from an authenticated client is echoed
//   back empty (clients use it to find the end of a long reply).
// - any other type: a response with "Unknown packet type N.".
// - a reply longer than one packet goes out as several response packets with
//   the request id, each with a size field of at most 4096.
// - a malformed stream (size below 10, above 4096, negative) closes that
//   connection only.
// Sockets have TCP_NODELAY: an answer never waits for the client's delayed
// acknowledgement. The limits of rcon_limits.h hold against misbehaving
// clients; each breach is logged once per occurrence (a connection closed, a
// flood starting and ending), never once per packet, and what one client can
// repeat at will (connecting, closing, a malformed packet) through a digest
// of about one line per second per kind (rcon_digest.h).
//
// Slots: while fewer than the maximum of clients are logged in, a client with
// the password can always get in. When every slot is taken, a new client
// takes the slot of the longest-waiting client that has not logged in, which
// is closed; only when every client has logged in is the new one closed at
// once.
// Several clients at once; everything runs on the io_context's one thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <asio.hpp>

#include "asaapi/host.h"
#include "devserver/auth_throttle.h"
#include "devserver/rcon_digest.h"
#include "devserver/rcon_framing.h"
#include "devserver/rcon_limits.h"

namespace devserver {

class RconSession;

class RconServer {
 public:
  // Runs an exec packet of an authenticated client. `reply` sends a response
  // (type 0) with the packet's id; it may be called any number of times.
  using ExecHandler = std::function<void(RCONClientConnection* connection, const RconFrame& frame,
                                         const std::function<void(std::string_view)>& reply)>;

  // What every session of the server shares (on the game thread only).
  struct Shared {
    std::string password;
    ExecHandler onExec;
    RconLimits limits;
    AuthThrottle throttle;
    // Connection lines that a loop of clients would repeat (rcon_digest.h).
    std::shared_ptr<RconDigest> digest;
  };

  RconServer(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint, std::string password,
             ExecHandler onExec, RconLimits limits = {});
  ~RconServer();
  RconServer(const RconServer&) = delete;
  RconServer& operator=(const RconServer&) = delete;

  asio::ip::tcp::endpoint endpoint() const;
  void Start();
  // Stops accepting and closes every session. Idempotent.
  void Stop();
  // Sessions open now.
  std::size_t connections();

 private:
  void Accept();
  void Admit(asio::ip::tcp::socket socket);
  // The client to close for a newcomer when every slot is taken, if any.
  std::shared_ptr<RconSession> LongestWaiting();

  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer retry_;
  std::shared_ptr<Shared> shared_;
  std::vector<std::weak_ptr<RconSession>> sessions_;
  std::size_t acceptFailures_ = 0;  // in a row
  std::size_t refused_ = 0;         // over the connection limit, in this flood
  bool stopped_ = false;
};

}  // namespace devserver
