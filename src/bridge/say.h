#pragma once

// Pieces of the "quellmoorsay" RCON command (OnSayCommand in handlers.h).

#include <string>
#include <string_view>

#include "asaapi/host.h"

// Answers the packet on the connection through the engine's
// "RCONClientConnection.SendMessage(int,int,FString&)" with the packet's id and
// type 0 (response). Sends nothing when either pointer is null.
void SendRconReply(RCONClientConnection* connection, RCONPacket* packet, std::string text);

// Doubles every brace so that the text survives being used as a format
// pattern: "a{0}}" -> "a{{0}}}}". Every other byte is copied as is.
std::string EscapeBraces(std::string_view text);
