#pragma once

// Declarations shared between the stand-in host's own source files.

#include <string_view>

#include "qbhost/standin.h"

namespace qbhost {

// Copies UTF-16 units up to the first NUL into `slot`, verbatim.
void ConstructUnits(FString* slot, std::u16string_view units);

namespace detail {
// Request service hooks for the registry's tick and for forgetting a plug-in.
void DeliverCompletions();
void DropRequestsOf(PluginId id);
// The engine function "RCONClientConnection.SendMessage(int,int,FString&)".
void RconSendMessage(RCONClientConnection* connection, int id, int type, FString& text);
// The relay a plug-in gets from ChatRelayFor.
std::shared_ptr<AsaApi::ChatRelay> MakeChatRelay(const FString& libraryPath);
}  // namespace detail

}  // namespace qbhost
