#pragma once

// The chat callback: forwards players' global chat lines to "/plugin/chat".
//
//   Ada says "Hallo Welt" on map Quellmoor
//   -> {"map":"Quellmoor","message":"Hallo Welt","sender":"Ada"}
//
// Only mode 0 and lines that were not commands are forwarded; an empty line is
// dropped. The sender is the character name, else the player-state name, else
// "Unbekannt". The host's broadcast is never suppressed: the result is always
// false. A failure while forwarding is logged as a warning, never thrown.

#include "asaapi/host.h"

namespace qb {

bool OnChatMessage(AShooterPlayerController* controller, FString* message, int mode,
                   int senderPlatform, bool spamCheck, bool commandExecuted);

}  // namespace qb
