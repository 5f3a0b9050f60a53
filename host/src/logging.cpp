// The host's log sinks and its own logger. Sinks write finished text; every
// logger formats its own lines with its own pattern (see FormattingLogger), so
// a plug-in's pattern never changes how the host's lines look.

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/sink.h>

#include "qbhost/escape.h"
#include "qbhost/sinks.h"
#include "qbhost/standin.h"

namespace qbhost {
namespace {

// A logger's one sink that keeps the logger's formatter to itself: it formats
// each line and hands the shared sinks a message whose text is the finished
// line. spdlog's public sink interface only, the same in every 1.x.
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
      if (target->should_log(msg.level)) target->log(finished);
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

constexpr const char* kHostPattern = "%Y-%m-%d %H:%M:%S.%e <%n> %l: %v";

struct LogState {
  std::mutex mutex;
  std::vector<spdlog::sink_ptr> sinks;
  std::shared_ptr<spdlog::logger> hostLogger;

  // With the mutex held.
  void MakeHostLogger() {
    hostLogger = std::make_shared<spdlog::logger>(
        "host", std::make_shared<FormattingForwarder>(sinks, kHostPattern));
    hostLogger->flush_on(spdlog::level::info);
  }
};

LogState& TheLogState() {
  static LogState state;
  return state;
}

std::atomic<bool> failGetLogSinks{false};

}  // namespace

std::shared_ptr<spdlog::logger> HostLogger() {
  auto& state = TheLogState();
  std::lock_guard lock(state.mutex);
  if (!state.hostLogger) state.MakeHostLogger();
  return state.hostLogger;
}

void SetLogSinks(std::vector<spdlog::sink_ptr> sinks) {
  auto& state = TheLogState();
  std::lock_guard lock(state.mutex);
  state.sinks = std::move(sinks);
  state.MakeHostLogger();
}

void TextSink::log(const spdlog::details::log_msg& msg) {
  std::lock_guard lock(mutex_);
  WriteLine(msg.level, std::string_view(msg.payload.data(), msg.payload.size()));
}

void TextSink::flush() {
  std::lock_guard lock(mutex_);
  Flush();
}

StreamSink::StreamSink(const std::string& path) : stream_(std::fopen(path.c_str(), "a")) {
  if (stream_ == nullptr) {
    throw std::runtime_error("cannot open log file " + path + ": " + std::strerror(errno));
  }
  owned_ = true;
}

StreamSink::~StreamSink() {
  if (owned_) std::fclose(stream_);
}

void StreamSink::WriteLine(spdlog::level::level_enum /*level*/, std::string_view line) {
  // Whoever wrote the line should have escaped what came from outside; a
  // control character that got through anyway (C0, DEL, C1, bidirectional)
  // still never reaches the terminal or the file raw, and never starts a line
  // of its own.
  const std::string safe = EscapeControls(line);
  std::fwrite(safe.data(), 1, safe.size(), stream_);
  std::fputc('\n', stream_);
}

void StreamSink::Flush() {
  std::fflush(stream_);
}

void FailNextGetLogSinks() {
  failGetLogSinks = true;
}

}  // namespace qbhost

std::vector<spdlog::sink_ptr>& GetLogSinks() {
  if (qbhost::failGetLogSinks.exchange(false)) {
    throw std::runtime_error("the host's log sinks are unavailable");
  }
  return qbhost::TheLogState().sinks;
}
