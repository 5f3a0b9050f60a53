// The engine's RCON client connection: SendMessage frames one Source RCON
// response packet and hands it to the connection's writer (the dev server's
// socket), keeping a copy of the latest replies for in-process readers.

#include "qbhost/rcon.h"

#include <deque>
#include <mutex>
#include <new>
#include <utility>

#include "host_internal.h"

struct RCONClientConnection {
  std::function<void(std::string_view)> writer;
  std::mutex mutex;
  std::deque<qbhost::RconReply> sent;  // the latest kKeptReplies
};

namespace qbhost {
namespace {

// Enough for any in-process reader; a dev-server client that stays connected
// for days must not grow its connection without bound.
constexpr std::size_t kKeptReplies = 256;

void PutInt32(std::string& out, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(v >> shift));
}

}  // namespace

std::string EncodeRconPacket(std::int32_t id, std::int32_t type, std::string_view body) {
  std::string out;
  const std::size_t packets = body.empty() ? 1 : (body.size() + kRconMaxBody - 1) / kRconMaxBody;
  out.reserve(packets * 14 + body.size());
  // As Source servers do, a long body goes out in pieces with the same id and
  // type; clients join them.
  do {
    std::string_view piece = body.substr(0, kRconMaxBody);
    body.remove_prefix(piece.size());
    PutInt32(out, static_cast<std::int32_t>(4 + 4 + piece.size() + 2));
    PutInt32(out, id);
    PutInt32(out, type);
    out.append(piece);
    out.append(2, '\0');
  } while (!body.empty());
  return out;
}

namespace detail {

// "RCONClientConnection.SendMessage(int,int,FString&)": called by plug-ins as
// a member function of the connection. The text is read with the host's own
// conversion (never past its count); the plug-in keeps ownership of it.
void RconSendMessage(RCONClientConnection* connection, int id, int type, FString& text) {
  std::string body = ToUtf8(text);
  std::string bytes = EncodeRconPacket(id, type, body);
  {
    std::lock_guard lock(connection->mutex);
    connection->sent.push_back({id, type, std::move(body)});
    if (connection->sent.size() > kKeptReplies) connection->sent.pop_front();
  }
  if (connection->writer) connection->writer(bytes);
}

}  // namespace detail

RCONClientConnection* CreateRconConnection(std::function<void(std::string_view bytes)> writer) {
  auto* connection = new RCONClientConnection;
  connection->writer = std::move(writer);
  return connection;
}

void DestroyRconConnection(RCONClientConnection* connection) {
  delete connection;
}

std::vector<RconReply> SentReplies(RCONClientConnection* connection) {
  std::lock_guard lock(connection->mutex);
  return {connection->sent.begin(), connection->sent.end()};
}

// The packet is built in raw storage and its body written by host code, so
// that the plug-in's FString members never run on the host side.
HostRconPacket::HostRconPacket(std::int32_t id, std::int32_t type, std::string_view body) {
  auto* packet = ::new (static_cast<void*>(storage_)) RCONPacket();
  body = body.substr(0, body.find('\0'));
  packet->length = static_cast<std::int32_t>(4 + 4 + body.size() + 2);
  packet->id = id;
  packet->type = type;
  ConstructInto(&packet->body, body);
}

HostRconPacket::~HostRconPacket() {
  EngineFree(get()->body.data);
}

RCONPacket* HostRconPacket::get() {
  return std::launder(reinterpret_cast<RCONPacket*>(storage_));
}

}  // namespace qbhost
