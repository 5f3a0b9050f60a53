// Any bytes as config.json: the loader writes exactly one line, never throws,
// and is active only when it said so with the success line, with a URL and a
// token free of control bytes.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "config/config.h"
#include "plugin/plugin_log.h"
#include "qbhost/standin.h"
#include "support/capture_sink.h"

using namespace qb;

namespace {

struct Fixture {
  std::filesystem::path root;
  std::filesystem::path file;
  std::shared_ptr<qbtest::CaptureSink> sink = std::make_shared<qbtest::CaptureSink>();

  Fixture() {
    root = std::filesystem::temp_directory_path() /
           ("qbfuzz-config-" + std::to_string(static_cast<long>(::getpid())));
    auto dir = root / "ArkApi" / "Plugins" / "QuellmoorBridge";
    std::filesystem::create_directories(dir);
    file = dir / "config.json";
    qbhost::SetCurrentDir(root.string());
    qbhost::SetLogSinks({sink});
    PluginLog::Instance().Create("QuellmoorBridge");
  }
  ~Fixture() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture fixture;
  {
    std::ofstream out(fixture.file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  fixture.sink->Clear();
  PluginState = PluginConfig{};
  LoadConfig();
  auto lines = fixture.sink->Lines();
  if (lines.size() != 1) std::abort();
  // The success line is the loader's only line at info level.
  const bool saidLoaded = lines[0].level == spdlog::level::info;
  if (saidLoaded != PluginState.enabled) std::abort();
  if (PluginState.enabled && (PluginState.webhookBaseUrl.empty() || PluginState.token.empty())) {
    std::abort();
  }
  // An active plug-in never holds a value the host would refuse in a request.
  const auto control = [](unsigned char c) { return c < 0x20 || c == 0x7F; };
  if (PluginState.enabled &&
      (std::any_of(PluginState.webhookBaseUrl.begin(), PluginState.webhookBaseUrl.end(), control) ||
       std::any_of(PluginState.token.begin(), PluginState.token.end(), control))) {
    std::abort();
  }
  return 0;
}
