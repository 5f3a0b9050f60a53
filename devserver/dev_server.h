#pragma once

// The dev server: one game thread (an asio io_context) that carries
// everything the host calls plug-ins from (RCON sessions, console commands,
// the game-loop tick, plug-in load and unload), so handlers run one at a time
// as the real host promises. Other threads (the console reader, the webhook
// receiver) only post work to it or print.
//
// Start-up: log sinks (stdout and DIR/logs/devserver.log, which is created
// readable by its owner alone: it holds the playground's link), the current
// directory, a world made current with ready state 1, the webhook receiver,
// RCON and the playground page when asked for (the page's link is logged once
// all three are bound), then every plug-in under DIR/ArkApi/Plugins, the tick
// timer, SIGINT/SIGTERM and the console. A port that cannot be bound is one
// error line and ends the start with exit code 1.
//
// Stop (signal, `quit`, or end of input with --quit-on-eof): RCON closed,
// console reader joined, plug-ins unloaded, requests in flight aborted without
// callbacks, receiver stopped; the io_context then runs dry, the world is
// destroyed and the engine heap's live blocks are logged. Exit code 0.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <asio.hpp>

#include "devserver/console.h"
#include "devserver/options.h"
#include "devserver/output.h"
#include "devserver/playground.h"
#include "devserver/plugin_loader.h"
#include "devserver/rcon_server.h"
#include "devserver/stdin_reader.h"
#include "devserver/stop_signals.h"
#include "devserver/webhook_echo.h"
#include "qbhost/engine.h"

namespace devserver {

class DevServer {
 public:
  explicit DevServer(Options options);
  ~DevServer();
  DevServer(const DevServer&) = delete;
  DevServer& operator=(const DevServer&) = delete;

  // Starts, runs until stopped and cleans up. Returns the process exit code.
  int Run();

 private:
  bool Start();
  void Stop(const std::string& why);
  void Finish();

  void ScheduleTick();
  void DrainConsole();
  void OnConsoleLine(const std::string& line);
  void RunCommand(const ConsoleCommand& command);
  void OnRconExec(RCONClientConnection* connection, const RconFrame& frame,
                  const std::function<void(std::string_view)>& reply);
  std::string BuiltinRcon(const std::string& body);
  void OnDelivery(AShooterPlayerController* controller, const qbhost::ReceivedLine& line);
  std::string NameOf(AShooterPlayerController* controller) const;
  void Reply(const std::string& line);

  // The playground page (--ui): what its requests run on the game thread.
  void CreatePlayground();
  std::string PlaygroundCommand(const ConsoleCommand& command);
  std::string PlaygroundRcon(const std::string& body);
  std::string PlaygroundReload();

  Options options_;
  std::filesystem::path root_;
  LinePrinter print_;
  asio::io_context io_{1};
  asio::steady_timer tick_{io_};
  std::unique_ptr<StopSignals> signals_;
  std::unique_ptr<PluginLoader> loader_;
  std::unique_ptr<RconServer> rcon_;
  std::unique_ptr<WebhookEcho> echo_;
  std::unique_ptr<StdinReader> console_;
  std::unique_ptr<Playground> playground_;
  // Set while a playground request runs a console command: its answer goes
  // back to the page instead of standard output.
  std::string* replyTo_ = nullptr;
  UWorld* world_ = nullptr;
  // The console's names for the players still in the world.
  std::map<std::string, AShooterPlayerController*> players_;
  bool stopping_ = false;
  // The game loop's lateness: when the next tick is due, and the most any
  // tick started after it was due since the last `stats`.
  std::chrono::steady_clock::time_point tickDue_{};
  std::chrono::steady_clock::duration tickLateMax_{};
  std::uint64_t ticks_ = 0;
};

}  // namespace devserver
