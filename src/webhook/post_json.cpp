#include "webhook/post_json.h"

#include <unordered_map>
#include <utility>
#include <vector>

#include "config/config.h"
#include "plugin/host.h"
#include "plugin/plugin_log.h"

namespace {

// Owns its own copy of the path and nothing else, so it stays valid for as
// long as the request service keeps it.
struct LogFailure {
  std::string path;

  void operator()(bool success, std::string text,
                  std::unordered_map<std::string, std::string> /*headers*/) const {
    if (success) return;
    PluginLog::Instance().Logger()->warn("[QuellmoorBridge] POST {} fehlgeschlagen: {}", path,
                                         text);
  }
};

}  // namespace

void PostJson(const std::string& path, const nlohmann::json& body) {
  if (!PluginState.enabled) return;
  const std::string url = PluginState.webhookBaseUrl + path;
  std::vector<std::string> headers{"Authorization: Bearer " + PluginState.token};
  auto& requests = API::Requests::Get();
  const std::string data = body.dump();
  const API::Requests::Callback completion(LogFailure{path});
  // The result is not examined: a refused request is as silent as the host makes it.
  requests.CreatePostRequest(url, completion, data, "application/json", std::move(headers), 5, 5,
                             5);
}
