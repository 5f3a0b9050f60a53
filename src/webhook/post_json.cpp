#include "webhook/post_json.h"

#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "asaapi/host.h"
#include "config/config.h"
#include "plugin/plugin_log.h"

namespace qb {

namespace {

// Holds the path and nothing else. The path is a literal of this library,
// like the callback's own code, so it lives as long as any completion that can
// still run; and the object fits inside the std::function, which then needs
// no allocation of its own.
struct LogFailure {
  std::string_view path;

  void operator()(bool success, std::string text,
                  std::unordered_map<std::string, std::string> /*headers*/) const {
    if (success) return;
    PluginLog::Instance().Logger()->warn("[QuellmoorBridge] POST {} fehlgeschlagen: {}", path,
                                         text);
  }
};

constexpr const char* kRefused = "Anfrage vom Host abgelehnt";

}  // namespace

void PostJson(WebhookPath webhookPath, const nlohmann::json& body) {
  const std::string_view path = webhookPath.text();
  if (!PluginState.enabled) return;
  // The URL and the body are assembled in buffers kept from one call to the
  // next: the host calls the handlers one at a time and its request service
  // copies what it keeps, so once they have grown neither costs an allocation.
  // The header is built in a buffer of its final size and goes into the list
  // without a copy (the host takes the list).
  static std::string url;
  static std::string data;
  url.assign(PluginState.webhookBaseUrl).append(path);
  static constexpr std::string_view kBearer = "Authorization: Bearer ";
  std::vector<std::string> headers(1);
  headers[0].reserve(kBearer.size() + PluginState.token.size());
  headers[0].append(kBearer).append(PluginState.token);
  auto& requests = API::Requests::Get();
  // What body.dump() does (the library's serializer: compact, keys in order,
  // strict UTF-8), into the kept buffer instead of a new string grown step by
  // step. A body that cannot be serialised throws here, before the hand-over.
  data.clear();
  nlohmann::detail::serializer<nlohmann::json> serializer(
      nlohmann::detail::output_adapter<char>(data), ' ', nlohmann::json::error_handler_t::strict);
  serializer.dump(body, false, false, 0);
  const API::Requests::Callback completion(LogFailure{path});
  static const std::string kContentType("application/json");
  // A refused request never calls back: without this line it would vanish
  // without a word.
  if (!requests.CreatePostRequest(url, completion, data, kContentType, std::move(headers), 5, 5,
                                  5)) {
    PluginLog::Instance().Logger()->warn("[QuellmoorBridge] POST {} fehlgeschlagen: {}", path,
                                         kRefused);
  }
}

}  // namespace qb
