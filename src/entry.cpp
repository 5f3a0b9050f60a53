// The plug-in's two exported entries: the only extern "C" in the library and
// the only symbols it exports. What Plugin_Init registers, Plugin_Unload
// removes, in the same order.
//
// The host calls both as C functions: an exception leaving either would
// unwind into the host (undefined behaviour on Windows, the end of the
// server here). Each entry catches everything at its edge and writes one
// error line; a failed start leaves the plug-in inactive.

#include <exception>

#include "asaapi/host.h"
#include "bridge/chat.h"
#include "bridge/heartbeat.h"
#include "bridge/say.h"
#include "config/config.h"
#include "plugin/plugin_log.h"
#include "qb/version.h"

#if defined(_WIN32)
#define QB_EXPORT __declspec(dllexport)
#else
#define QB_EXPORT __attribute__((visibility("default")))
#endif

namespace qb {
namespace {

constexpr const char* kChatId = "QuellmoorBridge_OnChatMessage";
constexpr const char* kSayWord = "quellmoorsay";
constexpr const char* kHeartbeatId = "QuellmoorBridge_Heartbeat";

void Init() {
  PluginLog::Instance().Create(QB_PLUGIN_NAME);
  LoadConfig();
  // The ids and callbacks are temporaries: the host keeps copies.
  AsaApi::GetCommands().RegisterChatCallback(FString(kChatId),
                                             AsaApi::ChatCallback(&OnChatMessage));
  AsaApi::GetCommands().RegisterRconCommand(FString(kSayWord), AsaApi::RconCallback(&OnSayCommand));
  AsaApi::GetCommands().RegisterTimerCallback(FString(kHeartbeatId),
                                              AsaApi::TimerCallback(&OnHeartbeat));
  PluginLog::Instance().Logger()->info("[QuellmoorBridge] geladen (aktiv: {}).",
                                       PluginState.enabled);
}

// Each removal is tried, whatever happened to the one before: a handler left
// registered would be called into a library the host has released. The first
// failure is passed on once all three were tried.
void Unload() {
  void (*const removals[])() = {
      [] { AsaApi::GetCommands().UnregisterChatCallback(FString(kChatId)); },
      [] { AsaApi::GetCommands().UnregisterRconCommand(FString(kSayWord)); },
      [] { AsaApi::GetCommands().UnregisterTimerCallback(FString(kHeartbeatId)); }};
  std::exception_ptr first;
  for (const auto remove : removals) {
    try {
      remove();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

// The logger, created if its creation is what failed. May throw.
spdlog::logger* Logger() {
  auto& logger = PluginLog::Instance().Logger();
  if (!logger) PluginLog::Instance().Create(QB_PLUGIN_NAME);
  return logger.get();
}

// Neither throws: if even the logger cannot be had, the line is lost rather
// than a second exception thrown at the host.
void InitFailed(const char* reason) noexcept {
  // Handlers already registered stay so; they do nothing while inactive.
  PluginState.enabled = false;
  try {
    Logger()->error("[QuellmoorBridge] Laden fehlgeschlagen: {} - Plugin bleibt inaktiv.", reason);
  } catch (...) {
  }
}

void UnloadFailed(const char* reason) noexcept {
  try {
    Logger()->error("[QuellmoorBridge] Entladen fehlgeschlagen: {}", reason);
  } catch (...) {
  }
}

constexpr const char* kUnknown = "unbekannter Fehler";

}  // namespace
}  // namespace qb

extern "C" QB_EXPORT void Plugin_Init() {
  try {
    qb::Init();
  } catch (const std::exception& e) {
    qb::InitFailed(e.what());
  } catch (...) {
    qb::InitFailed(qb::kUnknown);
  }
}

extern "C" QB_EXPORT void Plugin_Unload() {
  try {
    qb::Unload();
  } catch (const std::exception& e) {
    qb::UnloadFailed(e.what());
  } catch (...) {
    qb::UnloadFailed(qb::kUnknown);
  }
}
