#include "bridge/handlers.h"
#include "config/config.h"

// Not reporting yet: only the active-flag test of the finished handler.
void OnHeartbeat() {
  if (!PluginState.enabled) return;
}
