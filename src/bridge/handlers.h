#pragma once

// The three handlers the plug-in registers with the host.

#include <cstdint>

#include "asaapi/host.h"

// Chat callback: forwards players' chat lines to "/plugin/chat". Always false.
bool OnChatMessage(AShooterPlayerController* controller, FString* message, int mode,
                   int senderPlatform, bool spamCheck, bool commandExecuted);

// RCON command "quellmoorsay <Base64 JSON {sender, message}>".
void OnSayCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);

// Timer callback: at most one heartbeat every 25 s to "/plugin/heartbeat".
void OnHeartbeat();
