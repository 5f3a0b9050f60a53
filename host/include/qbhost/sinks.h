#pragma once

// Sinks of the stand-in host. Each writes finished text: the logger that
// produced a line has already formatted it, so a sink adds only the line end.
// That keeps every logger's pattern its own even though all share the sinks.

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/sinks/sink.h>

#include "qbhost/standin.h"

namespace qbhost {

// spdlog's public sink interface, one line at a time under the sink's mutex.
class QB_STANDIN_API TextSink : public spdlog::sinks::sink {
 public:
  void log(const spdlog::details::log_msg& msg) final;
  void flush() final;
  // The lines come formatted: a pattern set here would have nothing to format.
  void set_pattern(const std::string& /*pattern*/) final {}
  void set_formatter(std::unique_ptr<spdlog::formatter> /*formatter*/) final {}

 protected:
  // Both called with the sink's mutex held.
  virtual void WriteLine(spdlog::level::level_enum level, std::string_view line) = 0;
  virtual void Flush() {}

  // Held while a line is written; a subclass that keeps what it wrote reads
  // it under the same lock.
  std::mutex mutex_;
};

// Writes each line to a stdio stream (standard output, or a file it opens).
// A control character still in a line is written as EscapeControls
// (escape.h) writes it: a byte below 0x20, 0x7F or a stray C1 byte as "\xHH",
// a C1 or bidirectional control character as "\u{...}". One log line is always
// one line of output, with no terminal sequences and no reordered text.
class QB_STANDIN_API StreamSink final : public TextSink {
 public:
  explicit StreamSink(std::FILE* stream) : stream_(stream) {}
  // Opens `path` for appending; throws std::runtime_error when it cannot.
  explicit StreamSink(const std::string& path);
  ~StreamSink() override;
  StreamSink(const StreamSink&) = delete;
  StreamSink& operator=(const StreamSink&) = delete;

 protected:
  void WriteLine(spdlog::level::level_enum level, std::string_view line) override;
  void Flush() override;

 private:
  std::FILE* stream_;
  bool owned_ = false;
};

}  // namespace qbhost
