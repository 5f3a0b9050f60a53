#include "webhook/post_json.h"

#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "asaapi/host.h"
#include "config/config.h"
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
  // Each text is built in a buffer of its final size, and the header goes into
  // the list without a copy.
  std::string url;
  url.reserve(PluginState.webhookBaseUrl.size() + path.size());
  url.append(PluginState.webhookBaseUrl).append(path);
  static constexpr std::string_view kBearer = "Authorization: Bearer ";
  std::vector<std::string> headers(1);
  headers[0].reserve(kBearer.size() + PluginState.token.size());
  headers[0].append(kBearer).append(PluginState.token);
  auto& requests = API::Requests::Get();
  const std::string data = body.dump();
  const API::Requests::Callback completion(LogFailure{path});
  static const std::string kContentType("application/json");
  // The result is not examined: a refused request is as silent as the host makes it.
  requests.CreatePostRequest(url, completion, data, kContentType, std::move(headers), 5, 5, 5);
}
