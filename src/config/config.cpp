#include "config/config.h"

#include <exception>
#include <fstream>

#include <nlohmann/json.hpp>

#include "asaapi/host.h"
#include "plugin/plugin_log.h"
#include "qb/version.h"

// Empty strings and `true`: the compiler initialises it as a constant, so no
// code runs for it when the library loads.
PluginConfig PluginState{};

std::string ConfigFilePath() {
#if defined(_WIN32)
  constexpr const char* kPluginsDir = "\\ArkApi\\Plugins\\";
  constexpr const char* kFileName = "\\config.json";
#else
  constexpr const char* kPluginsDir = "/ArkApi/Plugins/";
  constexpr const char* kFileName = "/config.json";
#endif
  return AsaApi::Tools::GetCurrentDir() + kPluginsDir + QB_PLUGIN_NAME + kFileName;
}

void LoadConfig() {
  const std::string path = ConfigFilePath();
  auto& log = PluginLog::Instance().Logger();
  std::ifstream file(path);
  if (!file.is_open()) {
    log->warn("[QuellmoorBridge] Keine config.json gefunden unter {} - Plugin bleibt inaktiv.",
              path);
    PluginState.enabled = false;
    return;
  }
  try {
    nlohmann::json doc;
    file >> doc;
    // Each value is stored as soon as it is read: a type error in a later key
    // leaves the earlier ones stored.
    PluginState.webhookBaseUrl = doc.value("webhookBaseUrl", std::string());
    PluginState.token = doc.value("token", std::string());
    PluginState.map = doc.value("map", std::string());
    PluginState.serverVersion = doc.value("serverVersion", std::string());
    const bool enabled = doc.value("enabled", true);
    PluginState.enabled =
        enabled && !PluginState.webhookBaseUrl.empty() && !PluginState.token.empty();
    if (PluginState.enabled) {
      log->info("[QuellmoorBridge] Konfiguration geladen. Map: {}", PluginState.map);
    } else {
      log->warn(
          "[QuellmoorBridge] config.json unvollstaendig (webhookBaseUrl/token fehlen) - Plugin "
          "bleibt inaktiv.");
    }
  } catch (const std::exception& e) {
    log->error("[QuellmoorBridge] config.json konnte nicht gelesen werden: {}", e.what());
    PluginState.enabled = false;
  }
}
