#include "devserver/console.h"

#include <charconv>
#include <vector>

#include "devserver/output.h"

namespace devserver {
namespace {

constexpr std::string_view kHelp =
    R"(help                                  this list
join <player> [<character>]           a player joins (player-state name <player>)
join --no-state <player> [<character>]  a player without a player state joins
leave <player>                        the player leaves (its entry stays in the world's list)
chat <player> [--mode N] [--command] [--] <text>
                                      the player chats; N: 0 global (default), 1 tribe,
                                      2 local, 3 alliance; --command: it was a command
ready <N>                             set the host's ready state
world remove | world restore          take the world away / give it back
players                               list the players who are in the world
plugins.load <Name> | plugins.unload <Name>
tick                                  run one game-loop tick now
stats                                 engine-heap blocks and the game loop's lateness
quit                                  stop the server)";

// Splits off the next word at `pos`: skips spaces, honours double quotes and
// keeps escapes for UnescapeField (except \", which stays a quote character).
std::optional<std::string> NextWord(std::string_view line, std::size_t& pos) {
  while (pos < line.size() && line[pos] == ' ') ++pos;
  if (pos >= line.size()) return std::nullopt;
  std::string raw;
  bool quoted = false;
  for (; pos < line.size(); ++pos) {
    char c = line[pos];
    if (c == '"') {
      quoted = !quoted;
    } else if (c == '\\' && pos + 1 < line.size()) {
      if (line[pos + 1] == '"') {
        raw += '"';
      } else {
        raw += c;
        raw += line[pos + 1];
      }
      ++pos;
    } else if (c == ' ' && !quoted) {
      break;
    } else {
      raw += c;
    }
  }
  return UnescapeField(raw);
}

bool ToInt(const std::string& text, int& out) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end && !text.empty();
}

ParsedLine Error(std::string message) {
  return {std::nullopt, std::move(message)};
}

ParsedLine Ok(ConsoleCommand command) {
  return {std::move(command), {}};
}

}  // namespace

std::string ConsoleHelp() {
  return std::string(kHelp);
}

ParsedLine ParseConsoleLine(std::string_view line) {
  std::size_t pos = 0;
  ConsoleCommand c;
  auto word = NextWord(line, pos);
  if (!word || word->front() == '#') return Ok(c);
  const std::string name = *word;

  // Reads the remaining words; at most `max` of them.
  auto rest = [&](std::size_t max, std::vector<std::string>& out) {
    while (auto w = NextWord(line, pos)) out.push_back(std::move(*w));
    return out.size() <= max;
  };
  std::vector<std::string> args;

  if (name == "help") {
    c.kind = ConsoleCommand::Kind::Help;
  } else if (name == "join") {
    c.kind = ConsoleCommand::Kind::Join;
    rest(3, args);
    if (!args.empty() && args.front() == "--no-state") {
      c.withPlayerState = false;
      args.erase(args.begin());
    }
    if (args.empty() || args.size() > 2 || args[0].empty()) {
      return Error("usage: join [--no-state] <player> [<character>]");
    }
    c.player = args[0];
    if (args.size() == 2) c.character = args[1];
  } else if (name == "leave") {
    c.kind = ConsoleCommand::Kind::Leave;
    if (!rest(1, args) || args.size() != 1) return Error("usage: leave <player>");
    c.player = args[0];
  } else if (name == "chat") {
    c.kind = ConsoleCommand::Kind::Chat;
    auto player = NextWord(line, pos);
    if (!player) return Error("usage: chat <player> [--mode N] [--command] [--] <text>");
    c.player = *player;
    for (;;) {
      std::size_t before = pos;
      auto option = NextWord(line, pos);
      if (option == "--mode") {
        auto value = NextWord(line, pos);
        if (!value || !ToInt(*value, c.mode)) return Error("chat: --mode needs a number");
      } else if (option == "--command") {
        c.commandExecuted = true;
      } else if (option == "--") {
        break;
      } else {
        pos = before;  // the text starts here
        break;
      }
    }
    // One space separates the text from what comes before it.
    if (pos < line.size()) c.text = UnescapeField(line.substr(pos + 1));
  } else if (name == "ready") {
    c.kind = ConsoleCommand::Kind::Ready;
    if (!rest(1, args) || args.size() != 1 || !ToInt(args[0], c.readyState)) {
      return Error("usage: ready <N>");
    }
  } else if (name == "world") {
    if (!rest(1, args) || args.size() != 1 || (args[0] != "remove" && args[0] != "restore")) {
      return Error("usage: world remove | world restore");
    }
    c.kind = args[0] == "remove" ? ConsoleCommand::Kind::WorldRemove
                                 : ConsoleCommand::Kind::WorldRestore;
  } else if (name == "players") {
    c.kind = ConsoleCommand::Kind::Players;
    if (!rest(0, args)) return Error("usage: players");
  } else if (name == "plugins.load" || name == "plugins.unload") {
    c.kind = name == "plugins.load" ? ConsoleCommand::Kind::PluginsLoad
                                    : ConsoleCommand::Kind::PluginsUnload;
    if (!rest(1, args) || args.size() != 1) return Error("usage: " + name + " <Name>");
    c.plugin = args[0];
  } else if (name == "tick") {
    c.kind = ConsoleCommand::Kind::Tick;
  } else if (name == "stats") {
    c.kind = ConsoleCommand::Kind::Stats;
    if (!rest(0, args)) return Error("usage: stats");
  } else if (name == "quit" || name == "exit") {
    c.kind = ConsoleCommand::Kind::Quit;
  } else {
    return Error("unknown command \"" + name + "\" (type help)");
  }
  return Ok(c);
}

}  // namespace devserver
