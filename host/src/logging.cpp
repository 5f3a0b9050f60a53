// The host's log sinks and its own logger. Sinks write finished text; every
// logger formats its own lines with its own pattern (see FormattingLogger), so
// a plug-in's pattern never changes how the host's lines look.

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include <spdlog/pattern_formatter.h>

#include "qbhost/escape.h"
#include "qbhost/sinks.h"
#include "qbhost/standin.h"

namespace qbhost {
namespace {

// A logger that keeps its formatter to itself: it formats each line and hands
// the sinks a message whose text is the finished line.
class FormattingLogger final : public spdlog::logger {
 public:
  FormattingLogger(std::string name, const std::vector<spdlog::sink_ptr>& sinks,
                   const std::string& pattern)
      : spdlog::logger(std::move(name), sinks.begin(), sinks.end()),
        formatter_(std::make_unique<spdlog::pattern_formatter>(
            pattern, spdlog::pattern_time_type::local, std::string())) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t line;
    formatter_->format(msg, line);
    spdlog::details::log_msg finished(msg.time, msg.source, msg.logger_name, msg.level,
                                      spdlog::string_view_t(line.data(), line.size()));
    for (auto& sink : sinks_) {
      if (sink->should_log(msg.level)) sink->log(finished);
    }
    if (should_flush_(msg)) flush_();
  }

 private:
  std::unique_ptr<spdlog::formatter> formatter_;
};

constexpr const char* kHostPattern = "%Y-%m-%d %H:%M:%S.%e <%n> %l: %v";

struct LogState {
  std::mutex mutex;
  std::vector<spdlog::sink_ptr> sinks;
  std::shared_ptr<spdlog::logger> hostLogger;

  // With the mutex held.
  void MakeHostLogger() {
    hostLogger = std::make_shared<FormattingLogger>("host", sinks, kHostPattern);
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

void TextSink::sink_it_(const spdlog::details::log_msg& msg) {
  WriteLine(msg.level, std::string_view(msg.payload.data(), msg.payload.size()));
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

void StreamSink::flush_() {
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
