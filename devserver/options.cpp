#include "devserver/options.h"

#include <charconv>
#include <limits>

namespace devserver {
namespace {

template <class T>
bool ParseNumber(const std::string& text, T min, T max, T& out) {
  long long value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return false;
  if (value < static_cast<long long>(min) || value > static_cast<long long>(max)) return false;
  out = static_cast<T>(value);
  return true;
}

ParseResult Fail(std::string message) {
  ParseResult result;
  result.action = ParseResult::Action::Error;
  result.error = std::move(message);
  return result;
}

}  // namespace

ParseResult ParseOptions(const std::vector<std::string>& args,
                         const std::optional<std::string>& envPassword) {
  ParseResult result;
  Options& o = result.options;
  if (envPassword) o.rconPassword = *envPassword;

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      result.action = ParseResult::Action::Help;
      return result;
    }
    if (arg == "--version") {
      result.action = ParseResult::Action::Version;
      return result;
    }
    if (arg == "--quit-on-eof") {
      o.quitOnEof = true;
      continue;
    }
    bool takesValue = arg == "--root" || arg == "--rcon-bind" || arg == "--rcon-port" ||
                      arg == "--rcon-password" || arg == "--webhook-echo" || arg == "--tick-ms";
    if (!takesValue) return Fail("unknown option " + arg);
    if (i + 1 >= args.size()) return Fail(arg + " needs a value");
    const std::string& value = args[++i];

    if (arg == "--root") {
      if (value.empty()) return Fail("--root needs a directory");
      o.root = value;
    } else if (arg == "--rcon-bind") {
      if (value.empty()) return Fail("--rcon-bind needs an address");
      o.rconBind = value;
    } else if (arg == "--rcon-password") {
      o.rconPassword = value;
    } else if (arg == "--rcon-port") {
      if (!ParseNumber<std::uint16_t>(value, 0, 65535, o.rconPort)) {
        return Fail("--rcon-port needs a port number (0 to 65535), not \"" + value + "\"");
      }
    } else if (arg == "--webhook-echo") {
      std::uint16_t port = 0;
      if (!ParseNumber<std::uint16_t>(value, 0, 65535, port)) {
        return Fail("--webhook-echo needs a port number (0 to 65535), not \"" + value + "\"");
      }
      o.webhookEchoPort = port;
    } else if (arg == "--tick-ms") {
      if (!ParseNumber<int>(value, 1, 3'600'000, o.tickMs)) {
        return Fail("--tick-ms needs milliseconds (1 to 3600000), not \"" + value + "\"");
      }
    }
  }
  return result;
}

std::string UsageText() {
  return R"(Usage: devserver [options]

A development game server for Linux that loads AsaApi-style plug-ins
(DIR/ArkApi/Plugins/<Name>/<Name>.so) over the stand-in host, with Source RCON,
players driven from standard input and an optional webhook receiver.

Options:
  --root DIR             server root (default: the current directory)
  --rcon-port PORT       RCON port (default 27020; 0 lets the OS choose)
  --rcon-bind ADDRESS    RCON address (default 127.0.0.1)
  --rcon-password PW     RCON password (or QB_RCON_PASSWORD); without one RCON stays off
  --webhook-echo PORT    start an HTTP receiver on 127.0.0.1 that prints every request
                         (0 lets the OS choose)
  --tick-ms N            game-loop tick in milliseconds (default 1000)
  --quit-on-eof          stop when standard input ends (default: run on)
  --help                 show this text
  --version              show the version

Type "help" on standard input for the console commands.
)";
}

}  // namespace devserver
