#include "devserver/output.h"

#include <spdlog/details/log_msg.h>

#include "qbhost/escape.h"

namespace devserver {

std::string EscapeField(std::string_view value, bool last) {
  return qbhost::EscapeText(value, !last);
}

namespace {
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::string UnescapeField(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c != '\\' || i + 1 >= value.size()) {
      out += c;
      continue;
    }
    char e = value[i + 1];
    if (e == '\\' || e == 'n' || e == 'r' || e == 't') {
      out += e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : '\\';
      ++i;
    } else if (e == 'x' && i + 3 < value.size() && HexValue(value[i + 2]) >= 0 &&
               HexValue(value[i + 3]) >= 0) {
      out += static_cast<char>(HexValue(value[i + 2]) * 16 + HexValue(value[i + 3]));
      i += 3;
    } else {
      out += c;
    }
  }
  return out;
}

LinePrinter SinkPrinter(std::shared_ptr<spdlog::sinks::sink> sink) {
  return [sink = std::move(sink)](std::string_view line) {
    spdlog::details::log_msg msg("devserver", spdlog::level::info,
                                 spdlog::string_view_t(line.data(), line.size()));
    sink->log(msg);
    sink->flush();
  };
}

}  // namespace devserver
