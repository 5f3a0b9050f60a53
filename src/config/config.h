#pragma once

// The plug-in's settings, read once from config.json by LoadConfig during
// Plugin_Init. After loading, `enabled` holds the active flag: "enabled" from
// the file (true when absent) and both webhookBaseUrl and token non-empty.
// Every outcome is logged in exactly one line; nothing stops the plug-in from
// loading.

#include <string>

namespace qb {

struct PluginConfig {
  bool enabled = true;
  std::string webhookBaseUrl;
  std::string token;
  std::string map;
  std::string serverVersion;
};

// The single process-wide configuration. Written only by LoadConfig.
extern PluginConfig PluginState;

// GetCurrentDir() + "/ArkApi/Plugins/QuellmoorBridge/config.json" (backslashes
// on Windows).
std::string ConfigFilePath();

void LoadConfig();

}  // namespace qb
