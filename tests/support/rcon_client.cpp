#include "support/rcon_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qbtest {
namespace {

std::string Le32(std::int32_t value) {
  auto u = static_cast<std::uint32_t>(value);
  return {static_cast<char>(u & 0xFF), static_cast<char>((u >> 8) & 0xFF),
          static_cast<char>((u >> 16) & 0xFF), static_cast<char>((u >> 24) & 0xFF)};
}

std::int32_t FromLe32(const char* p) {
  std::uint32_t u = 0;
  for (int i = 0; i < 4; ++i)
    u |= static_cast<std::uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  return static_cast<std::int32_t>(u);
}

}  // namespace

std::string EncodeRcon(std::int32_t id, std::int32_t type, const std::string& body,
                       std::optional<std::int32_t> size) {
  std::string rest = Le32(id) + Le32(type) + body + std::string(2, '\0');
  return Le32(size.value_or(static_cast<std::int32_t>(rest.size()))) + rest;
}

RconClient::RconClient(std::uint16_t port, int receiveBuffer) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  if (receiveBuffer > 0) {
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::string why = std::strerror(errno);
    close(fd_);
    throw std::runtime_error("connect to 127.0.0.1:" + std::to_string(port) + ": " + why);
  }
}

RconClient::~RconClient() {
  if (fd_ >= 0) close(fd_);
}

void RconClient::SendRaw(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void RconClient::Send(std::int32_t id, std::int32_t type, const std::string& body) {
  SendRaw(EncodeRcon(id, type, body));
}

std::optional<RconPacket> RconClient::Read(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (buffer_.size() >= 4) {
      std::int32_t size = FromLe32(buffer_.data());
      if (size < 10 || size > 4096) {
        throw std::runtime_error("server sent size " + std::to_string(size));
      }
      if (buffer_.size() >= static_cast<std::size_t>(size) + 4) {
        RconPacket p;
        p.id = FromLe32(buffer_.data() + 4);
        p.type = FromLe32(buffer_.data() + 8);
        if (buffer_[static_cast<std::size_t>(size) + 2] != '\0' ||
            buffer_[static_cast<std::size_t>(size) + 3] != '\0') {
          throw std::runtime_error("packet without its two closing NULs");
        }
        p.body = buffer_.substr(12, static_cast<std::size_t>(size) - 10);
        buffer_.erase(0, static_cast<std::size_t>(size) + 4);
        return p;
      }
    }
    if (closed_) return std::nullopt;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[8192];
    ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      closed_ = true;
      continue;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

bool RconClient::WaitClosed(std::chrono::milliseconds timeout) {
  return !Read(timeout) && closed_;
}

std::string RconClient::RecvOnce(std::size_t max, std::chrono::milliseconds timeout) {
  pollfd pfd{fd_, POLLIN, 0};
  if (poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return {};
  std::string bytes(max, '\0');
  ssize_t n = recv(fd_, bytes.data(), max, 0);
  bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return bytes;
}

bool RconClient::Auth(const std::string& password) {
  std::int32_t id = nextId_++;
  Send(id, 3, password);
  auto answer = Read();
  return answer && answer->type == 2 && answer->id == id && answer->body.empty();
}

std::vector<RconPacket> RconClient::ExecAll(const std::string& command) {
  std::int32_t id = nextId_++;
  std::int32_t marker = nextId_++;
  Send(id, 2, command);
  Send(marker, 0, "");
  std::vector<RconPacket> packets;
  while (auto packet = Read()) {
    if (packet->id == marker) return packets;
    packets.push_back(std::move(*packet));
  }
  return {};
}

std::optional<std::string> RconClient::Exec(const std::string& command) {
  std::int32_t id = nextId_++;
  Send(id, 2, command);
  auto reply = Read();
  if (!reply || reply->id != id || reply->type != 0) return std::nullopt;
  return reply->body;
}

}  // namespace qbtest
