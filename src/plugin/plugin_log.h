#pragma once

// The plug-in's named logger over the host's sinks.
//
// The logger formats every line itself ("%D %R [%n][%l] %v", local time) and
// hands the sinks the finished text, so its pattern never reaches the host's
// shared sinks. It copies the host's sink list when it is created: sinks the
// host adds later get nothing, sinks the host drops keep getting lines. It is
// not registered with spdlog and is not the default logger.
//
//   PluginLog::Instance().Logger()->info("[QuellmoorBridge] geladen (aktiv: {}).", true);
//   -> "12/08/26 14:03 [QuellmoorBridge][info] [QuellmoorBridge] geladen (aktiv: true)."

#include <memory>
#include <string>

#include <spdlog/logger.h>

namespace qb {

class PluginLog {
 public:
  static constexpr const char* kPattern = "%D %R [%n][%l] %v";

  static PluginLog& Instance();
  // Builds a fresh logger over the host's current sinks, releasing the old one.
  void Create(const std::string& name);
  std::shared_ptr<spdlog::logger>& Logger() { return logger_; }

 private:
  PluginLog() = default;
  std::shared_ptr<spdlog::logger> logger_;
};

}  // namespace qb
