#include "plugin/plugin_log.h"

#include <spdlog/pattern_formatter.h>

#include "asaapi/host.h"

namespace {

// spdlog's own set_pattern would install the pattern in every sink the logger
// holds, and those are the host's. This logger keeps the formatter private and
// passes each sink a message whose text is the finished line.
class PrivatePatternLogger final : public spdlog::logger {
 public:
  PrivatePatternLogger(std::string name, const std::vector<spdlog::sink_ptr>& sinks)
      : spdlog::logger(std::move(name), sinks.begin(), sinks.end()) {}

  void SetPattern(const std::string& pattern) {
    formatter_ = std::make_unique<spdlog::pattern_formatter>(
        pattern, spdlog::pattern_time_type::local, std::string());
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t line;
    formatter_->format(msg, line);
    spdlog::details::log_msg finished(msg.time, msg.source, msg.logger_name, msg.level,
                                      spdlog::string_view_t(line.data(), line.size()));
    for (auto& sink : sinks_) {
      if (sink->should_log(finished.level)) sink->log(finished);
    }
    if (should_flush_(msg)) flush_();
  }

 private:
  std::unique_ptr<spdlog::formatter> formatter_;
};

}  // namespace

PluginLog& PluginLog::Instance() {
  static PluginLog instance;
  return instance;
}

void PluginLog::Create(const std::string& name) {
  const auto& sinks = GetLogSinks();
  auto logger = std::make_shared<PrivatePatternLogger>(name, sinks);
  logger->SetPattern(kPattern);
  logger->flush_on(spdlog::level::info);
  logger_ = std::move(logger);
}
