#include "bridge/handlers.h"
#include "config/config.h"

// Not forwarding yet: only the active-flag test of the finished handler.
bool OnChatMessage(AShooterPlayerController*, FString*, int, int, bool, bool) {
  if (!PluginState.enabled) return false;
  return false;
}
