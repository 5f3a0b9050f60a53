#pragma once

// The console language of the dev server: one command per line of standard
// input. Parsing is pure; the dev server runs the result on the game thread.
//
// Words are separated by spaces; a word may be put in double quotes to hold
// spaces. Words and the chat text understand the escapes of output.h ("\\",
// "\n", "\r", "\t", "\xHH"), so what a script reads it can write back.
//
//   join Anna Thorgar            -> Join{player "Anna", character "Thorgar"}
//   join --no-state ghost        -> Join{player "ghost", no player state}
//   chat Anna --mode 1 Hallo du  -> Chat{player "Anna", mode 1, text "Hallo du"}
//
// The chat text is everything after the single space that follows the last
// option, so leading blanks and an empty text can be sent on purpose.

#include <optional>
#include <string>
#include <string_view>

namespace devserver {

struct ConsoleCommand {
  enum class Kind {
    Empty,  // blank line or comment (#...)
    Help,
    Join,
    Leave,
    Chat,
    Ready,
    WorldRemove,
    WorldRestore,
    Players,
    PluginsLoad,
    PluginsUnload,
    Tick,
    Stats,
    Quit,
  };
  Kind kind = Kind::Empty;
  std::string player;            // Join, Leave, Chat: the console's name for the player
  std::string character;         // Join
  bool withPlayerState = true;   // Join
  std::string text;              // Chat
  int mode = 0;                  // Chat: 0 global, 1 tribe, 2 local, 3 alliance
  bool commandExecuted = false;  // Chat
  int readyState = 0;            // Ready
  std::string plugin;            // PluginsLoad, PluginsUnload
};

struct ParsedLine {
  std::optional<ConsoleCommand> command;  // empty when the line is wrong
  std::string error;                      // why, with the command's usage
};

ParsedLine ParseConsoleLine(std::string_view line);

// The text `help` prints: one command per line.
std::string ConsoleHelp();

}  // namespace devserver
