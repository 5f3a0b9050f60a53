#pragma once

// A log sink that keeps every finished line for a test to read. Tests, fuzz
// targets and the Windows smoke test share it; the stand-in host's own sinks
// are in qbhost/sinks.h.

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "qbhost/sinks.h"

namespace qbtest {

class CaptureSink final : public qbhost::TextSink {
 public:
  struct Line {
    spdlog::level::level_enum level;
    std::string text;
  };

  std::vector<Line> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

  std::vector<std::string> Texts() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& l : lines_) out.push_back(l.text);
    return out;
  }

  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 protected:
  void WriteLine(spdlog::level::level_enum level, std::string_view line) override {
    lines_.push_back({level, std::string(line)});
  }

 private:
  std::vector<Line> lines_;
};

}  // namespace qbtest
