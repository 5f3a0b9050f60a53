#pragma once

// RCON on the host side: the engine's client-connection object, whose
// "RCONClientConnection.SendMessage(int,int,FString&)" writes one Source RCON
// packet to its client, and the packet encoding.
//
// Source RCON packet: int32 size (of what follows), int32 id, int32 type, body
// bytes, two NUL bytes; little endian. Types: 3 auth, 2 auth response and exec,
// 0 response.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "qbhost/standin.h"

namespace qbhost {

constexpr std::int32_t kRconResponse = 0;
constexpr std::int32_t kRconExecOrAuthResponse = 2;
constexpr std::int32_t kRconAuth = 3;
constexpr std::int32_t kRconMaxPacket = 4096;  // largest size field accepted
// The most body bytes one packet carries (the size field counts id, type and
// the two NULs as well).
constexpr std::size_t kRconMaxBody = kRconMaxPacket - 10;

// The bytes of a packet with `body`. A body longer than kRconMaxBody becomes
// several packets back to back, with the same id and type, each with a size
// field of at most kRconMaxPacket:
//   EncodeRconPacket(7, 0, 5000 bytes) -> packet(7, 0, bytes 0..4085) packet(7, 0, the rest)
QB_STANDIN_API std::string EncodeRconPacket(std::int32_t id, std::int32_t type,
                                            std::string_view body);

// The engine's connection object. `writer` gets the encoded bytes of every
// packet SendMessage produces; it may be empty (then replies are only kept).
QB_STANDIN_API RCONClientConnection* CreateRconConnection(
    std::function<void(std::string_view bytes)> writer);
QB_STANDIN_API void DestroyRconConnection(RCONClientConnection* connection);

struct RconReply {
  std::int32_t id;
  std::int32_t type;
  std::string body;
};
// The packets SendMessage has written on the connection, in order (the latest
// 256; older ones are forgotten).
QB_STANDIN_API std::vector<RconReply> SentReplies(RCONClientConnection* connection);

// An RCONPacket built and released by host code (its body on the engine heap).
class QB_STANDIN_API HostRconPacket {
 public:
  HostRconPacket(std::int32_t id, std::int32_t type, std::string_view body);
  ~HostRconPacket();
  HostRconPacket(const HostRconPacket&) = delete;
  HostRconPacket& operator=(const HostRconPacket&) = delete;
  RCONPacket* get();

 private:
  alignas(RCONPacket) unsigned char storage_[sizeof(RCONPacket)];
};

}  // namespace qbhost
