#pragma once

// RCON on the host side: the engine's client-connection object, whose
// "RCONClientConnection.SendMessage(int,int,FString&)" writes one Source RCON
// packet to its client, and the packet encoding.
//
// Source RCON packet: int32 size (of what follows), int32 id, int32 type, body
// bytes, two NUL bytes; little endian. Types: 3 auth, 2 auth response and exec,
// 0 response.

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
