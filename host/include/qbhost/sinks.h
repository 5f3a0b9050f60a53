#pragma once

// Sinks of the stand-in host. Each writes finished text: the logger that
// produced a line has already formatted it, so a sink adds only the line end.
// That keeps every logger's pattern its own even though all share the sinks.

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "qbhost/standin.h"

namespace qbhost {

class QB_STANDIN_API TextSink : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) final;
  void flush_() override {}
  // Called with the sink's mutex held.
  virtual void WriteLine(spdlog::level::level_enum level, std::string_view line) = 0;
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
  void flush_() override;

 private:
  std::FILE* stream_;
  bool owned_ = false;
};

}  // namespace qbhost
