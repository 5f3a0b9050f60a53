#include "devserver/dev_server.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <exception>
#include <system_error>

#include "qb/version.h"
#include "qbhost/escape.h"
#include "qbhost/rcon.h"
#include "qbhost/requests.h"
#include "qbhost/sinks.h"
#include "qbhost/standin.h"

namespace devserver {
namespace {

constexpr const char* kNoResponse = "Server received, But no response!! ";

// Host lines and plug-in lines go to standard output and to the log file;
// each logger formats its own lines, the sinks write them as they are.
std::shared_ptr<qbhost::StreamSink> InstallLogSinks(const std::filesystem::path& root,
                                                    std::string& fileProblem) {
  auto out = std::make_shared<qbhost::StreamSink>(stdout);
  std::vector<spdlog::sink_ptr> sinks{out};
  try {
    std::filesystem::create_directories(root / "logs");
    const std::string path = (root / "logs" / "devserver.log").string();
    // The log holds the playground's link with this run's token: it is made
    // readable by its owner alone, also when an earlier run left it readable
    // by others, before the sink opens it for appending.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 || ::fchmod(fd, 0600) != 0) {
      std::error_code error(errno, std::generic_category());
      if (fd >= 0) ::close(fd);
      throw std::system_error(error, "cannot create " + path + " readable by its owner alone");
    }
    ::close(fd);
    sinks.push_back(std::make_shared<qbhost::StreamSink>(path));
  } catch (const std::exception& e) {
    fileProblem = e.what();
  }
  qbhost::SetLogSinks(sinks);
  return out;
}

}  // namespace

DevServer::DevServer(Options options) : options_(std::move(options)) {}

DevServer::~DevServer() = default;

int DevServer::Run() {
  std::error_code ec;
  root_ = std::filesystem::absolute(options_.root, ec).lexically_normal();
  if (ec || !std::filesystem::is_directory(root_, ec)) {
    std::fprintf(stderr, "devserver: --root %s is not a directory\n", options_.root.c_str());
    return 1;
  }
  // lexically_normal keeps a trailing separator, which the host's
  // directory must not have.
  std::string dir = root_.string();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  root_ = dir;

  std::string fileProblem;
  print_ = SinkPrinter(InstallLogSinks(root_, fileProblem));
  if (options_.uiPort) CreatePlayground();
  auto log = qbhost::HostLogger();
  log->info("QuellmoorBridge dev server {} starting in {}", QB_VERSION,
            qbhost::EscapeText(root_.string()));
  if (!fileProblem.empty()) log->warn("No log file: {}", qbhost::EscapeText(fileProblem));

  bool started = false;
  try {
    started = Start();
  } catch (const std::exception& e) {
    log->error("Start failed: {}", qbhost::EscapeText(e.what()));
  }
  if (!started) {
    Stop("start failed");
    io_.run();
    Finish();
    return 1;
  }
  io_.run();
  Finish();
  return 0;
}

bool DevServer::Start() {
  auto log = qbhost::HostLogger();
  qbhost::SetCurrentDir(root_.string());
  world_ = qbhost::CreateWorld();
  qbhost::SetCurrentWorld(world_);
  qbhost::SetReadyState(1);
  qbhost::SetCompletionDelivery(options_.completionsOnAnyThread
                                    ? qbhost::CompletionDelivery::AnyThread
                                    : qbhost::CompletionDelivery::Tick);
  qbhost::SetDeliveryListener(
      [this](AShooterPlayerController* controller, const qbhost::ReceivedLine& line) {
        OnDelivery(controller, line);
      });
  if (options_.webhookEchoPort) {
    std::function<void(const WebhookRequest&)> observer;
    if (playground_) {
      observer = [records = playground_->records()](const WebhookRequest& request) {
        records->Webhook(request);
      };
    }
    echo_ = std::make_unique<WebhookEcho>(print_, std::move(observer), options_.webhookEchoMaxBody);
    std::uint16_t port = echo_->Start(*options_.webhookEchoPort);
    log->info("Webhook echo listening on 127.0.0.1:{}", port);
  }

  if (options_.rconPassword.empty()) {
    log->warn("RCON is off: no password (--rcon-password or QB_RCON_PASSWORD)");
  } else {
    asio::error_code ec;
    auto address = asio::ip::make_address(options_.rconBind, ec);
    if (ec) {
      log->error("RCON: --rcon-bind {} is not an IP address",
                 qbhost::EscapeText(options_.rconBind));
      return false;
    }
    try {
      rcon_ = std::make_unique<RconServer>(
          io_, asio::ip::tcp::endpoint(address, options_.rconPort), options_.rconPassword,
          [this](RCONClientConnection* connection, const RconFrame& frame,
                 const std::function<void(std::string_view)>& reply) {
            OnRconExec(connection, frame, reply);
          },
          options_.rcon);
    } catch (const std::system_error& e) {
      log->error("RCON cannot listen on {}:{}: {}", options_.rconBind, options_.rconPort,
                 e.code().message());
      return false;
    }
    auto endpoint = rcon_->endpoint();
    log->info("RCON listening on {}:{}", endpoint.address().to_string(), endpoint.port());
    rcon_->Start();
  }

  // The page last, and its link only once every listener is bound: a link
  // printed before a failed start would lead nowhere.
  if (playground_) {
    playground_->Start(*options_.uiPort);
    log->info("Playground at {}", playground_->Url());
  }

  loader_ = std::make_unique<PluginLoader>(root_);
  loader_->LoadAll();

  signals_ = std::make_unique<StopSignals>(
      io_, [this](int signal) { Stop("signal " + std::to_string(signal)); });
  ScheduleTick();

  console_ = std::make_unique<StdinReader>(STDIN_FILENO,
                                           [this] { asio::post(io_, [this] { DrainConsole(); }); });
  console_->Start();
  log->info("Dev server ready (tick {} ms); type help for the console commands", options_.tickMs);
  return true;
}

void DevServer::Stop(const std::string& why) {
  if (stopping_) return;
  stopping_ = true;
  auto log = qbhost::HostLogger();
  log->info("Stopping ({})", why);
  if (rcon_) rcon_->Stop();
  if (console_) console_->Stop();
  if (playground_) playground_->Stop();
  tick_.cancel();
  if (signals_) signals_->Cancel();
  if (loader_) loader_->UnloadAll();
  // Whatever is still on the wire is aborted; no completion runs any more.
  qbhost::ShutdownRequests();
  if (echo_) echo_->Stop();
}

void DevServer::Finish() {
  qbhost::SetDeliveryListener(nullptr);
  players_.clear();
  if (world_ != nullptr) {
    qbhost::SetCurrentWorld(nullptr);
    qbhost::DestroyWorld(world_);
    world_ = nullptr;
  }
  rcon_.reset();
  auto heap = qbhost::Heap();
  auto log = qbhost::HostLogger();
  if (heap.liveBlocks == 0) {
    log->info("Stopped; engine heap: 0 live blocks");
  } else {
    log->warn("Stopped; engine heap: {} live blocks ({} bytes) left behind", heap.liveBlocks,
              heap.liveBytes);
  }
}

void DevServer::ScheduleTick() {
  tick_.expires_after(std::chrono::milliseconds(options_.tickMs));
  tickDue_ = tick_.expiry();
  tick_.async_wait([this](asio::error_code ec) {
    if (ec || stopping_) return;
    tickLateMax_ = std::max(tickLateMax_, std::chrono::steady_clock::now() - tickDue_);
    ++ticks_;
    try {
      qbhost::Tick();
    } catch (const std::exception& e) {
      qbhost::HostLogger()->error("Tick failed: {}", qbhost::EscapeText(e.what()));
    }
    ScheduleTick();
  });
}

void DevServer::Reply(const std::string& line) {
  if (replyTo_ != nullptr) {
    *replyTo_ = line;
    return;
  }
  print_(line);
}

void DevServer::DrainConsole() {
  // A few lines per turn, so that RCON, the tick and a signal get their turn
  // during a flood of console input.
  constexpr int kLinesPerTurn = 32;
  for (int i = 0; i < kLinesPerTurn; ++i) {
    if (stopping_) return;
    if (int signal = StopSignals::Received(); signal != 0) {
      Stop("signal " + std::to_string(signal));
      return;
    }
    StdinReader::Item item = console_->Take();
    switch (item.kind) {
      case StdinReader::Item::Kind::None:
        return;  // the reader announces the next line
      case StdinReader::Item::Kind::Line:
        OnConsoleLine(item.line);
        break;
      case StdinReader::Item::Kind::End:
        if (options_.quitOnEof) {
          Stop("end of console input");
        } else {
          qbhost::HostLogger()->info(
              "Console input ended; the server runs on (stop it with SIGINT or SIGTERM)");
        }
        return;
    }
  }
  asio::post(io_, [this] { DrainConsole(); });
}

void DevServer::OnConsoleLine(const std::string& line) {
  if (stopping_) return;
  ParsedLine parsed = ParseConsoleLine(line);
  if (!parsed.command) {
    Reply("ERROR " + EscapeField(parsed.error, true));
    return;
  }
  try {
    RunCommand(*parsed.command);
  } catch (const std::exception& e) {
    qbhost::HostLogger()->error("Console command failed: {}", qbhost::EscapeText(e.what()));
    Reply("ERROR " + EscapeField(e.what(), true));
  }
}

void DevServer::RunCommand(const ConsoleCommand& c) {
  using Kind = ConsoleCommand::Kind;
  const std::string player = EscapeField(c.player, true);
  switch (c.kind) {
    case Kind::Empty:
      return;
    case Kind::Help: {
      std::string help = ConsoleHelp();
      std::size_t start = 0;
      for (std::size_t nl; (nl = help.find('\n', start)) != std::string::npos; start = nl + 1) {
        print_(help.substr(start, nl - start));
      }
      print_(help.substr(start));
      Reply("OK help");
      return;
    }
    case Kind::Join: {
      if (players_.contains(c.player)) {
        Reply("ERROR join " + player + ": already in the world");
        return;
      }
      qbhost::PlayerOptions p;
      p.playerName = c.player;
      p.characterName = c.character;
      p.withPlayerState = c.withPlayerState;
      players_[c.player] = qbhost::AddPlayer(world_, p);
      if (playground_) {
        playground_->records()->PlayerJoined(c.player, c.character, c.withPlayerState);
      }
      Reply("OK join " + player);
      return;
    }
    case Kind::Leave: {
      auto it = players_.find(c.player);
      if (it == players_.end()) {
        Reply("ERROR leave " + player + ": no such player");
        return;
      }
      qbhost::RemovePlayer(it->second);
      qbhost::ForgetInbox(it->second);  // its CHAT lines are printed; keep no history
      players_.erase(it);
      if (playground_) playground_->records()->PlayerLeft(c.player);
      Reply("OK leave " + player);
      return;
    }
    case Kind::Chat: {
      auto it = players_.find(c.player);
      if (it == players_.end()) {
        Reply("ERROR chat " + player + ": no such player");
        return;
      }
      // The game's handling: plug-ins first, then every player sees the line
      // unless one of them suppressed it.
      if (playground_) playground_->records()->BeginSaid();
      bool suppressed = qbhost::PlayerChat(it->second, c.player, c.text, c.mode, c.commandExecuted);
      if (playground_) {
        playground_->records()->EndSaid(c.player, c.text, c.mode, c.commandExecuted, suppressed);
      }
      Reply("OK chat " + EscapeField(c.player, false) +
            " suppressed=" + (suppressed ? "yes" : "no"));
      return;
    }
    case Kind::Ready:
      qbhost::SetReadyState(c.readyState);
      Reply("OK ready " + std::to_string(c.readyState));
      return;
    case Kind::WorldRemove:
      qbhost::SetCurrentWorld(nullptr);
      Reply("OK world removed");
      return;
    case Kind::WorldRestore:
      qbhost::SetCurrentWorld(world_);
      Reply("OK world restored");
      return;
    case Kind::Players: {
      // In the world's order; players who left are no longer live.
      auto live = qbhost::LivePlayers(world_);
      for (auto* controller : live) {
        print_("PLAYER name=" + EscapeField(NameOf(controller), false) +
               " label=" + EscapeField(qbhost::PlayerLabel(controller), true));
      }
      Reply("OK players " + std::to_string(live.size()));
      return;
    }
    case Kind::PluginsLoad:
    case Kind::PluginsUnload: {
      bool load = c.kind == Kind::PluginsLoad;
      std::string why = load ? loader_->Load(c.plugin) : loader_->Unload(c.plugin);
      std::string what = std::string(load ? "plugins.load " : "plugins.unload ") +
                         EscapeField(c.plugin, why.empty());
      Reply(why.empty() ? "OK " + what : "ERROR " + what + ": " + EscapeField(why, true));
      return;
    }
    case Kind::Tick:
      qbhost::Tick();
      Reply("OK tick");
      return;
    case Kind::Stats: {
      // For soak runs and scripts: one line, the lateness since the last one.
      auto heap = qbhost::Heap();
      auto lateUs = std::chrono::duration_cast<std::chrono::microseconds>(tickLateMax_).count();
      tickLateMax_ = {};
      std::size_t inboxMax = 0;  // chat lines kept for one player, at most
      for (const auto& [name, controller] : players_) {
        inboxMax = std::max(inboxMax, qbhost::Inbox(controller).size());
      }
      Reply("OK stats live_blocks=" + std::to_string(heap.liveBlocks) +
            " live_bytes=" + std::to_string(heap.liveBytes) + " ticks=" + std::to_string(ticks_) +
            " tick_late_max_us=" + std::to_string(lateUs) +
            " inbox_max=" + std::to_string(inboxMax));
      return;
    }
    case Kind::Quit:
      Reply("OK quit");
      Stop("console quit");
      return;
  }
}

void DevServer::OnRconExec(RCONClientConnection* connection, const RconFrame& frame,
                           const std::function<void(std::string_view)>& reply) {
  qbhost::HostRconPacket packet(frame.id, frame.type, frame.body);
  UWorld* world = AsaApi::GetApiUtils().CurrentWorld();
  if (qbhost::DispatchRcon(connection, packet.get(), world, true)) return;
  reply(BuiltinRcon(frame.body));
}

std::string DevServer::BuiltinRcon(const std::string& body) {
  std::size_t space = body.find(' ');
  std::string word = qbhost::Lower(body.substr(0, space));
  std::string arg = space == std::string::npos ? "" : body.substr(space + 1);
  if (word == "plugins.load" || word == "plugins.unload") {
    if (arg.empty()) return "Usage: " + word + " <Name>";
    bool load = word == "plugins.load";
    std::string why = load ? loader_->Load(arg) : loader_->Unload(arg);
    std::string verb = load ? "loaded" : "unloaded";
    return why.empty() ? "Plugin " + arg + " " + verb
                       : "Plugin " + arg + " not " + verb + ": " + why;
  }
  if (word == "listplayers") {
    auto live = qbhost::LivePlayers(world_);
    if (live.empty()) return "No Players Connected";
    std::string out;
    for (std::size_t i = 0; i < live.size(); ++i) {
      out += std::to_string(i) + ". " + NameOf(live[i]) + "\n";
    }
    return out;
  }
  return kNoResponse;
}

std::string DevServer::NameOf(AShooterPlayerController* controller) const {
  for (const auto& [name, c] : players_) {
    if (c == controller) return name;
  }
  return qbhost::PlayerLabel(controller);
}

void DevServer::OnDelivery(AShooterPlayerController* controller, const qbhost::ReceivedLine& line) {
  print_("CHAT to=" + EscapeField(NameOf(controller), false) +
         " from=" + EscapeField(line.sender, false) + " text=" + EscapeField(line.text, true));
  if (playground_) playground_->records()->Received(NameOf(controller), line.sender, line.text);
}

void DevServer::CreatePlayground() {
  PlaygroundGame game;
  game.post = [this](std::function<void()> task) {
    asio::post(io_, [this, task = std::move(task)] {
      if (!stopping_) task();
    });
  };
  game.command = [this](const ConsoleCommand& command) { return PlaygroundCommand(command); };
  game.rcon = [this](const std::string& body) { return PlaygroundRcon(body); };
  game.reload = [this] { return PlaygroundReload(); };
  playground_ = std::make_unique<Playground>(std::move(game));
  // The page's "Log" region, from the first line on: the host's lines and,
  // since plug-ins take the host's sinks when they load, theirs. The page
  // itself is served once the server starts.
  auto sinks = GetLogSinks();
  sinks.push_back(playground_->LogSink());
  qbhost::SetLogSinks(std::move(sinks));
}

std::string DevServer::PlaygroundCommand(const ConsoleCommand& command) {
  std::string answer;
  replyTo_ = &answer;
  try {
    RunCommand(command);
  } catch (const std::exception& e) {
    answer = "ERROR " + EscapeField(e.what(), true);
  }
  replyTo_ = nullptr;
  return answer;
}

std::string DevServer::PlaygroundRcon(const std::string& body) {
  // A connection of its own, as a client that has logged in: the plug-in
  // answers through SendMessage, a built-in command through `reply`.
  std::unique_ptr<RCONClientConnection, void (*)(RCONClientConnection*)> connection(
      qbhost::CreateRconConnection({}), qbhost::DestroyRconConnection);
  std::string answer;
  OnRconExec(connection.get(), RconFrame{1, qbhost::kRconExecOrAuthResponse, body},
             [&answer](std::string_view reply) { answer += reply; });
  for (const auto& reply : qbhost::SentReplies(connection.get())) answer += reply.body;
  return answer;
}

std::string DevServer::PlaygroundReload() {
  loader_->UnloadAll();
  loader_->LoadAll();
  std::string names;
  for (const auto& name : loader_->Loaded()) names += (names.empty() ? "" : ", ") + name;
  return names.empty() ? "No plug-in loaded (see the log)" : "Reloaded: " + names;
}

}  // namespace devserver
