#include "plugin/plugin_log.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/sink.h>

#include "asaapi/host.h"

namespace qb {

namespace {

// The logger's one sink: it formats each line with the plug-in's pattern and
// hands the host's sinks a message whose text is the finished line. spdlog's
// set_pattern reaches only the sinks a logger holds, so a pattern set on the
// plug-in's logger lands here and never in the host's shared sinks. Built on
// spdlog's public sink interface alone, which is the same in every 1.x.
class FormattingForwarder final : public spdlog::sinks::sink {
 public:
  FormattingForwarder(std::vector<spdlog::sink_ptr> targets, const std::string& pattern)
      : targets_(std::move(targets)) {
    set_pattern(pattern);
  }

  void log(const spdlog::details::log_msg& msg) override {
    std::lock_guard lock(mutex_);  // the formatter keeps state between lines
    spdlog::memory_buf_t line;
    formatter_->format(msg, line);
    // The sinks add the line end (a formatter from logger::set_pattern has one).
    std::size_t size = line.size();
    while (size > 0 && (line.data()[size - 1] == '\n' || line.data()[size - 1] == '\r')) --size;
    spdlog::details::log_msg finished(msg.time, msg.source, msg.logger_name, msg.level,
                                      spdlog::string_view_t(line.data(), size));
    for (auto& target : targets_) {
      if (target->should_log(finished.level)) target->log(finished);
    }
  }
  void flush() override {
    std::lock_guard lock(mutex_);
    for (auto& target : targets_) target->flush();
  }
  void set_pattern(const std::string& pattern) override {
    set_formatter(std::make_unique<spdlog::pattern_formatter>(
        pattern, spdlog::pattern_time_type::local, std::string()));
  }
  void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override {
    std::lock_guard lock(mutex_);
    formatter_ = std::move(formatter);
  }

 private:
  std::mutex mutex_;
  std::vector<spdlog::sink_ptr> targets_;
  std::unique_ptr<spdlog::formatter> formatter_;
};

}  // namespace

PluginLog& PluginLog::Instance() {
  static PluginLog instance;
  return instance;
}

void PluginLog::Create(const std::string& name) {
  auto logger = std::make_shared<spdlog::logger>(
      name, std::make_shared<FormattingForwarder>(GetLogSinks(), kPattern));
  logger->flush_on(spdlog::level::info);
  logger_ = std::move(logger);
}

}  // namespace qb
