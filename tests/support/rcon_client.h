#pragma once

// A Source RCON client for tests, over a raw TCP socket, with its own encoder
// and decoder (independent of the server's framing code). Every read has a
// deadline.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qbtest {

struct RconPacket {
  std::int32_t id = 0;
  std::int32_t type = 0;
  std::string body;
};

// The bytes of one packet; `size` overrides the size field.
std::string EncodeRcon(std::int32_t id, std::int32_t type, const std::string& body,
                       std::optional<std::int32_t> size = std::nullopt);

class RconClient {
 public:
  // Connects to 127.0.0.1:port; throws std::runtime_error when it cannot.
  // `receiveBuffer` > 0 sets SO_RCVBUF first (a client that reads slowly).
  explicit RconClient(std::uint16_t port, int receiveBuffer = 0);
  ~RconClient();
  RconClient(const RconClient&) = delete;
  RconClient& operator=(const RconClient&) = delete;

  void SendRaw(const std::string& bytes);
  void Send(std::int32_t id, std::int32_t type, const std::string& body);
  // The next packet, or empty on timeout or when the server closed the
  // connection (see closed()). Throws std::runtime_error for a packet the
  // server must never send (size field below 10 or above 4096, no NULs).
  std::optional<RconPacket> Read(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  bool closed() const { return closed_; }
  // Waits until the server closes the connection; false on timeout or when a
  // packet arrives instead.
  bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // The bytes of one recv() (at most `max`), as a client that reads one
  // packet per TCP read sees them; empty on timeout or close.
  std::string RecvOnce(std::size_t max,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // Auth (type 3): true when the server accepted the password; false on a
  // wrong password (auth response id -1) or a protocol fault. The auth
  // response must be the first packet that comes back, as the game sends it.
  bool Auth(const std::string& password);
  // Exec (type 2) with a fresh id: the body of the response with that id, or
  // empty when none came.
  std::optional<std::string> Exec(const std::string& command);
  // Exec, then an empty response packet as an end marker (the server echoes
  // it): every packet of the reply, in order. Empty when the marker never came.
  std::vector<RconPacket> ExecAll(const std::string& command);

 private:
  int fd_ = -1;
  std::string buffer_;
  bool closed_ = false;
  std::int32_t nextId_ = 100;
};

}  // namespace qbtest
