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
                      arg == "--rcon-password" || arg == "--webhook-echo" || arg == "--tick-ms" ||
                      arg == "--rcon-max-connections" || arg == "--rcon-login-timeout-ms" ||
                      arg == "--rcon-max-unread" || arg == "--rcon-close-unread" ||
                      arg == "--rcon-auth-tries" || arg == "--rcon-auth-delay-ms" ||
                      arg == "--rcon-accept-retry-ms" || arg == "--ui" ||
                      arg == "--webhook-echo-max-body" || arg == "--completions";
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
    } else if (arg == "--webhook-echo-max-body") {
      if (!ParseNumber<std::size_t>(value, 1, std::size_t{1} << 30, o.webhookEchoMaxBody)) {
        return Fail("--webhook-echo-max-body needs bytes (1 to 1073741824), not \"" + value + "\"");
      }
    } else if (arg == "--ui") {
      std::uint16_t port = 0;
      if (!ParseNumber<std::uint16_t>(value, 0, 65535, port)) {
        return Fail("--ui needs a port number (0 to 65535), not \"" + value + "\"");
      }
      o.uiPort = port;
    } else if (arg == "--rcon-max-connections") {
      if (!ParseNumber<std::size_t>(value, 1, 100'000, o.rcon.maxConnections)) {
        return Fail("--rcon-max-connections needs a number (1 to 100000), not \"" + value + "\"");
      }
    } else if (arg == "--rcon-max-unread" || arg == "--rcon-close-unread") {
      std::size_t& bytes = arg == "--rcon-max-unread" ? o.rcon.pauseUnread : o.rcon.closeUnread;
      if (!ParseNumber<std::size_t>(value, 1, std::size_t{1} << 32, bytes)) {
        return Fail(arg + " needs bytes (1 to 4294967296), not \"" + value + "\"");
      }
    } else if (arg == "--rcon-auth-tries") {
      if (!ParseNumber<int>(value, 1, 1000, o.rcon.authTries)) {
        return Fail("--rcon-auth-tries needs a number (1 to 1000), not \"" + value + "\"");
      }
    } else if (arg == "--rcon-login-timeout-ms" || arg == "--rcon-auth-delay-ms" ||
               arg == "--rcon-accept-retry-ms") {
      int ms = 0;
      if (!ParseNumber<int>(value, 1, 3'600'000, ms)) {
        return Fail(arg + " needs milliseconds (1 to 3600000), not \"" + value + "\"");
      }
      auto& target = arg == "--rcon-login-timeout-ms" ? o.rcon.loginTimeout
                     : arg == "--rcon-auth-delay-ms"  ? o.rcon.authDelay
                                                      : o.rcon.acceptRetry;
      target = std::chrono::milliseconds(ms);
    } else if (arg == "--completions") {
      if (value != "tick" && value != "any-thread") {
        return Fail("--completions needs tick or any-thread, not \"" + value + "\"");
      }
      o.completionsOnAnyThread = value == "any-thread";
    } else if (arg == "--tick-ms") {
      if (!ParseNumber<int>(value, 1, 3'600'000, o.tickMs)) {
        return Fail("--tick-ms needs milliseconds (1 to 3600000), not \"" + value + "\"");
      }
    }
  }
  if (o.rcon.closeUnread < o.rcon.pauseUnread) {
    return Fail("--rcon-close-unread must not be below --rcon-max-unread");
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
  --webhook-echo-max-body BYTES
                         larger bodies get 413 from the receiver, unread (default 1048576)
  --tick-ms N            game-loop tick in milliseconds (default 1000)
  --completions WHERE    where request completions run: tick (on the game loop, at its
                         next tick; default) or any-thread (at once, on the thread that
                         finished the request, as the real host may)
  --ui PORT              serve the playground page on 127.0.0.1 (0 lets the OS choose);
                         its link, with a token for this run, is logged once every
                         port is bound (the log file is readable by its owner alone)

RCON limits against misbehaving clients:
  --rcon-max-connections N    clients at once; more are closed at once (default 16)
  --rcon-login-timeout-ms MS  close a client that has not logged in by then (default 30000)
  --rcon-max-unread BYTES     reply bytes a client has not taken before its requests wait
                              (default 1048576)
  --rcon-close-unread BYTES   reply bytes a client has not taken before it is closed
                              (default 8388608)
  --rcon-auth-tries N         wrong passwords before the connection is closed; as many from
                              one address slow its further logins down (default 3)
  --rcon-auth-delay-ms MS     one login answer per MS for such an address (default 1000)
  --rcon-accept-retry-ms MS   wait after a failed accept, e.g. no descriptors left
                              (default 500)
  --quit-on-eof          stop when standard input ends (default: run on)
  --help                 show this text
  --version              show the version

Type "help" on standard input for the console commands.
)";
}

}  // namespace devserver
