// The plug-in's two exported entries: the only extern "C" in the library and
// the only symbols it exports. What Plugin_Init registers, Plugin_Unload
// removes, in the same order.

#include "asaapi/host.h"
#include "bridge/handlers.h"
#include "config/config.h"
#include "plugin/plugin_log.h"
#include "qb/version.h"

#if defined(_WIN32)
#define QB_EXPORT __declspec(dllexport)
#else
#define QB_EXPORT __attribute__((visibility("default")))
#endif

namespace {
constexpr const char* kChatId = "QuellmoorBridge_OnChatMessage";
constexpr const char* kSayWord = "quellmoorsay";
constexpr const char* kHeartbeatId = "QuellmoorBridge_Heartbeat";
}  // namespace

extern "C" QB_EXPORT void Plugin_Init() {
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

extern "C" QB_EXPORT void Plugin_Unload() {
  AsaApi::GetCommands().UnregisterChatCallback(FString(kChatId));
  AsaApi::GetCommands().UnregisterRconCommand(FString(kSayWord));
  AsaApi::GetCommands().UnregisterTimerCallback(FString(kHeartbeatId));
}
