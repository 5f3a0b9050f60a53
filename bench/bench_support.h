#pragma once

// Set-up shared by the benchmarks that drive the plug-in over the stand-in
// host: a quiet log that counts lines instead of writing them, an active
// configuration against a chosen base URL, the chat line every figure uses,
// and the host's text conversion on its own (the stand-in's share of a
// plug-in figure).

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "plugin/plugin_log.h"
#include "qbhost/sinks.h"
#include "qbhost/standin.h"

namespace qbbench {

inline constexpr const char* kSender = "Ada Quellmoor";
inline constexpr const char* kMap = "Quellmoor";

// Counts the lines that reach the host's sinks and writes none of them, so a
// failing peer costs no terminal output (and the count shows that it failed).
class CountingSink final : public qbhost::TextSink {
 public:
  std::size_t Lines() const { return lines_.load(); }

 protected:
  void WriteLine(spdlog::level::level_enum /*level*/, std::string_view /*line*/) override {
    lines_.fetch_add(1);
  }

 private:
  std::atomic<std::size_t> lines_{0};
};

// Once per process: the host's only sink is a CountingSink and the plug-in's
// logger is created over it.
inline CountingSink& QuietLog() {
  static CountingSink* sink = [] {
    auto counting = std::make_shared<CountingSink>();
    qbhost::SetLogSinks({counting});
    qb::PluginLog::Instance().Create("QuellmoorBridge");
    return counting.get();  // the host's sink list keeps it alive
  }();
  return *sink;
}

// The plug-in active against `baseUrl`, as LoadConfig would leave it.
inline void Activate(const std::string& baseUrl) {
  QuietLog();
  qb::PluginState = qb::PluginConfig{true, baseUrl, "geheim", kMap, "1.0"};
}

inline void Deactivate() {
  qb::PluginState = qb::PluginConfig{};
}

// A chat line of exactly 100 UTF-16 units (two of them umlauts): what a player
// types in one go.
inline std::string ChatText() {
  std::string text =
      "Treffen uns am s\xc3\xbc"
      "dlichen Tor, bringt Fackeln und Seile mit; wer zuletzt kommt, tr\xc3\xa4gt die Kiste";
  while (qbhost::Utf8ToUtf16(text).size() < 100) text += '!';
  return text;
}

// The conversions the plug-in asks the host for (GetConvertedLength, then
// Convert into room for exactly that), into buffers kept between calls. The
// plug-in's ToUtf8 and ToFString make these calls; a benchmark that makes the
// same ones alone measures what the stand-in's conversion costs inside a
// plug-in figure, so that the report can leave it out of the plug-in's share:
// a slower stand-in must not move the plug-in's verdict.
class HostConversions {
 public:
  // Engine text -> UTF-8; returns the host's result.
  const char* ToUtf8(const std::basic_string<EngineChar>& text) {
    const auto len = static_cast<std::int32_t>(text.size());
    const std::int32_t n =
        UE::Core::Private::GetConvertedLength(static_cast<const char*>(nullptr), text.data(), len);
    utf8_.resize(static_cast<std::size_t>(n) + 1);
    return UE::Core::Private::Convert(utf8_.data(), n, text.data(), len);
  }
  // UTF-8 -> engine text; returns the host's result.
  const EngineChar* ToEngine(const std::string& text) {
    const auto len = static_cast<std::int32_t>(text.size());
    const std::int32_t n = UE::Core::Private::GetConvertedLength(
        static_cast<const EngineChar*>(nullptr), text.data(), len);
    engine_.resize(static_cast<std::size_t>(n) + 1);
    return UE::Core::Private::Convert(engine_.data(), n, text.data(), len);
  }

 private:
  std::string utf8_;
  std::basic_string<EngineChar> engine_;
};

// The host's engine text of a UTF-8 string, as a string of the bench's own.
inline std::basic_string<EngineChar> EngineText(std::string_view utf8) {
  const std::u16string units = qbhost::Utf8ToUtf16(utf8);
  return {units.begin(), units.end()};
}

// Statistics for ComputeStatistics: one lost request or one allocation in any
// repetition must show, whatever the median says.
inline double Max(const std::vector<double>& values) {
  return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}
inline double Min(const std::vector<double>& values) {
  return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

}  // namespace qbbench
