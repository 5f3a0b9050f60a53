// The dev server's entry: options, then the server. See dev_server.h.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "devserver/dev_server.h"
#include "devserver/options.h"
#include "qb/version.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const char* env = std::getenv("QB_RCON_PASSWORD");
  auto parsed = devserver::ParseOptions(
      args, env != nullptr ? std::optional<std::string>(env) : std::nullopt);
  switch (parsed.action) {
    case devserver::ParseResult::Action::Help:
      std::fputs(devserver::UsageText().c_str(), stdout);
      return 0;
    case devserver::ParseResult::Action::Version:
      std::printf("devserver (QuellmoorBridge) %s\n", QB_VERSION);
      return 0;
    case devserver::ParseResult::Action::Error:
      std::fprintf(stderr, "devserver: %s\n\n%s", parsed.error.c_str(),
                   devserver::UsageText().c_str());
      return 2;
    case devserver::ParseResult::Action::Run:
      break;
  }
  // Scripts read the output through a pipe: every line goes out at once, and
  // a reader that goes away must not kill the server.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::signal(SIGPIPE, SIG_IGN);
  devserver::DevServer server(std::move(parsed.options));
  return server.Run();
}
