#include "webhook/post_json.h"

#include <unordered_map>
#include <utility>
#include <vector>

#include "asaapi/host.h"
#include "config/config.h"
#include "plugin/plugin_log.h"

namespace qb {

namespace {

void WarnFailed(const std::string& path, const std::string& reason) {
  PluginLog::Instance().Logger()->warn("[QuellmoorBridge] POST {} fehlgeschlagen: {}", path,
                                       reason);
}

// The completion callback. It owns its own copy of the path and nothing else,
// so it stays valid for as long as the request service keeps it, on whatever
// thread the service calls it.
struct LogFailure {
  std::string path;

  void operator()(bool success, std::string text,
                  std::unordered_map<std::string, std::string> /*headers*/) const {
    if (!success) WarnFailed(path, text);
  }
};

}  // namespace

void PostJson(const std::string& path, const nlohmann::json& body) {
  if (!PluginState.enabled) return;
  const std::string url = PluginState.webhookBaseUrl + path;
  std::vector<std::string> headers{"Authorization: Bearer " + PluginState.token};
  auto& requests = API::Requests::Get();
  // Compact, keys in order, strict UTF-8: a body that cannot be serialised
  // throws here, before anything is handed over.
  const std::string data = body.dump();
  // A refused request never calls back: without this line it would vanish
  // without a word.
  if (!requests.CreatePostRequest(url, LogFailure{path}, data, "application/json",
                                  std::move(headers), 5, 5, 5)) {
    WarnFailed(path, "Anfrage vom Host abgelehnt");
  }
}

}  // namespace qb
