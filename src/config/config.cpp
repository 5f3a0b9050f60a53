#include "config/config.h"

#include <exception>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#if defined(_WIN32)
#include <filesystem>
#include <fstream>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <nlohmann/json.hpp>

#include "asaapi/host.h"
#include "plugin/plugin_log.h"
#include "qb/version.h"

namespace qb {

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

namespace {

// The whole content of the file at `path` if it is a regular file that can be
// read; nothing for anything else. A FIFO would block the reader until some
// writer came along, and the server's start with it; a device could be
// endless. On POSIX the file is opened without waiting and its type taken from
// the opened file itself, so nothing can be swapped in between.
std::optional<std::string> ReadRegularFile(const std::string& path) {
#if defined(_WIN32)
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) return std::nullopt;
  std::ostringstream content;
  content << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return std::move(content).str();
#else
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  std::string content;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got == 0) return content;
    if (got < 0) return std::nullopt;
    content.append(chunk, static_cast<std::size_t>(got));
  }
#endif
}

// The request service refuses a header or URL that holds a control byte (a CR
// or LF could smuggle further headers in); such a value would make every
// request fail without a word. It is refused here, once, with its key named.
// The value itself is not shown: it may be the token.
void RejectControlBytes(const char* key, std::string_view value) {
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto byte = static_cast<unsigned char>(value[i]);
    if (byte < 0x20 || byte == 0x7F) {
      constexpr const char* kHex = "0123456789ABCDEF";
      const char code[] = {kHex[byte >> 4], kHex[byte & 0xF], '\0'};
      throw std::invalid_argument(std::string("\"") + key + "\" enthaelt das Steuerzeichen 0x" +
                                  code + " an Stelle " + std::to_string(i + 1));
    }
  }
}

}  // namespace

void LoadConfig() {
  const std::string path = ConfigFilePath();
  auto& log = PluginLog::Instance().Logger();
  try {
    std::optional<std::string> content = ReadRegularFile(path);
    if (!content) {
      log->warn("[QuellmoorBridge] Keine config.json gefunden unter {} - Plugin bleibt inaktiv.",
                path);
      PluginState.enabled = false;
      return;
    }
    // Stream extraction, as from the file itself: a byte-order mark is
    // skipped and text after the first value is not examined.
    std::istringstream file(std::move(*content));
    nlohmann::json doc;
    file >> doc;
    // Each value is stored as soon as it is read: a type error in a later key
    // leaves the earlier ones stored.
    PluginState.webhookBaseUrl = doc.value("webhookBaseUrl", std::string());
    PluginState.token = doc.value("token", std::string());
    PluginState.map = doc.value("map", std::string());
    PluginState.serverVersion = doc.value("serverVersion", std::string());
    const bool enabled = doc.value("enabled", true);
    RejectControlBytes("webhookBaseUrl", PluginState.webhookBaseUrl);
    RejectControlBytes("token", PluginState.token);
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

}  // namespace qb
