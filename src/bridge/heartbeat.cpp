// The body holds "playerCount" only when the host reports ready state 1 and a
// world exists (every list entry counts, departed players included), and
// "serverVersion" only when one is configured. The clock value is updated
// before anything is built, so a tick that fails still starts a new 25-second
// wait.

#include "bridge/heartbeat.h"

#include <chrono>
#include <exception>

#include <nlohmann/json.hpp>

#include "asaapi/host.h"
#include "config/config.h"
#include "game/engine.h"
#include "plugin/plugin_log.h"
#include "qb/version.h"
#include "webhook/post_json.h"

namespace qb {

constinit std::int64_t lastHeartbeat = 0;

namespace {

constexpr std::int64_t kIntervalNs = 25'000'000'000;

// -1 when the world cannot be read.
std::int32_t PlayerCount() {
  if (AsaApi::GetApiUtils().ReadyState() != 1) return -1;
  UWorld* world = AsaApi::GetApiUtils().CurrentWorld();
  if (world == nullptr) return -1;
  return PlayerControllerListOf(world).count;
}

void SendHeartbeat() {
  const std::int32_t players = PlayerCount();
  nlohmann::json body;
  body["map"] = PluginState.map;
  body["pluginVersion"] = QB_VERSION;
  if (players >= 0) body["playerCount"] = static_cast<std::int64_t>(players);
  if (!PluginState.serverVersion.empty()) body["serverVersion"] = PluginState.serverVersion;
  PostJson("/plugin/heartbeat", body);
}

}  // namespace

void HeartbeatTick(std::int64_t nowNs) {
  // 0 means "never sent": the first tick after an active start sends at once,
  // even on a machine whose monotonic clock reads less than 25 s.
  if (lastHeartbeat != 0 && nowNs - lastHeartbeat < kIntervalNs) return;
  lastHeartbeat = nowNs;
  // An exception that left a host callback would unwind into the game.
  try {
    SendHeartbeat();
  } catch (const std::exception& e) {
    PluginLog::Instance().Logger()->warn("[QuellmoorBridge] Heartbeat fehlgeschlagen: {}",
                                         e.what());
  }
}

void OnHeartbeat() {
  if (!PluginState.enabled) return;
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  HeartbeatTick(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

}  // namespace qb
