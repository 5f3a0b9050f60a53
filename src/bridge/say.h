#pragma once

// The "quellmoorsay" RCON command and its pieces.

#include <string>
#include <string_view>

#include "asaapi/host.h"

namespace qb {

// The RCON command "quellmoorsay <Base64 of {"sender": "...", "message": "..."}>":
// shows one chat line to every connected player and answers the client with
// one reply. The world argument is not used (the chat relay has the world).
void OnSayCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);

// The command line of an active plug-in ("quellmoorsay <payload>") to its
// reply text, one of the command's fixed replies; the broadcast happens on the
// way to "OK". Failures from the JSON step on are logged and give "Ungueltiges
// JSON-Payload."; earlier ones (exhausted memory) are thrown.
//
//   "quellmoorsay"                          -> "Fehlendes Payload."
//   "quellmoorsay eyJtZXNzYWdlIjoiSGFsbG8ifQ==" -> "OK" ({"message":"Hallo"} shown)
const char* SayReply(std::string_view commandLine);

// Answers the packet on the connection through the engine's
// "RCONClientConnection.SendMessage(int,int,FString&)" with the packet's id and
// type 0 (response). Sends nothing when either pointer is null.
void SendRconReply(RCONClientConnection* connection, RCONPacket* packet, std::string_view text);

// Doubles every brace so that the text survives being used as a format
// pattern: "a{0}}" -> "a{{0}}}}". Every other byte is copied as is.
std::string EscapeBraces(std::string_view text);

}  // namespace qb
