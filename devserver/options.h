#pragma once

// Command line of the dev server. Parsing is pure (arguments and the
// environment's password in, a result out) so that it can be tested without
// starting anything.
//
//   devserver --root srv --rcon-port 0 --rcon-password pw --webhook-echo 0
//     -> Options{root "srv", rconPort 0, rconPassword "pw", webhookEchoPort 0}

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "devserver/rcon_limits.h"

namespace devserver {

struct Options {
  std::string root = ".";
  std::string rconBind = "127.0.0.1";
  std::uint16_t rconPort = 27020;
  // Empty: RCON stays off.
  std::string rconPassword;
  // Absent: no webhook receiver. 0 lets the OS choose.
  std::optional<std::uint16_t> webhookEchoPort;
  // Larger bodies are refused (413) before they are read.
  std::size_t webhookEchoMaxBody = 1024 * 1024;
  // Absent: no playground page. 0 lets the OS choose.
  std::optional<std::uint16_t> uiPort;
  RconLimits rcon;
  int tickMs = 1000;
  // --completions any-thread: request completions run on the worker that
  // finished the request, beside the game loop, as the real host may do.
  bool completionsOnAnyThread = false;
  // End of standard input stops the server (default: it runs on).
  bool quitOnEof = false;
};

struct ParseResult {
  enum class Action { Run, Help, Version, Error };
  Action action = Action::Run;
  Options options;
  std::string error;  // for Action::Error
};

// `args` without the program name. `envPassword` is QB_RCON_PASSWORD, if set;
// --rcon-password wins over it.
ParseResult ParseOptions(const std::vector<std::string>& args,
                         const std::optional<std::string>& envPassword);

std::string UsageText();

}  // namespace devserver
