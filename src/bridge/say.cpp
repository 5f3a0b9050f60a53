#include "bridge/handlers.h"
#include "config/config.h"

// Not answering yet: only the active-flag test of the finished handler.
void OnSayCommand(RCONClientConnection*, RCONPacket*, UWorld*) {
  if (!PluginState.enabled) return;
}
