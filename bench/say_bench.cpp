// The say command's cost on the thread that dispatches RCON commands: one
// "quellmoorsay" line with 3 KiB of Base64 (a JSON object whose message is
// about 2,200 bytes, a few umlauts and braces in it) shown to 10 players and
// answered "OK". Timed: the packet body's conversion, the decoding, the JSON
// parse, the brace escaping and its format pass, the conversions to engine
// strings, the relay and the ten deliveries through the stand-in's relay (its
// own conversions and the players' inboxes), and the reply through the
// engine's SendMessage.
//
// Every 16 commands the timer stops while the world is rebuilt, so the
// players' inboxes (which the stand-in keeps) stay small.
//
// Counters: ok_replies and lines_per_player (both 1 per command).
//
// The stand-in's parts of that, alone, so that the plug-in's own share shows
// as the difference: BM_StandInRelay (the relay and its ten deliveries) and
// BM_StandInSayConversions (the host's text conversions the plug-in asks for).
// BM_SayAnchor is what the budget is a ratio to: the same payload through
// library code alone.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <nlohmann/json.hpp>

#include "bench_support.h"
#include "bridge/say.h"
#include "plugin/library_path.h"
#include "qbhost/engine.h"
#include "qbhost/rcon.h"
#include "support/base64_encode.h"

using namespace qb;

namespace {

constexpr int kPlayers = 10;
constexpr std::int64_t kBatch = 16;  // commands between two rebuilt worlds
constexpr std::size_t kPayloadBytes = 3 * 1024;

constexpr const char* kSender = "Quellmoor-Rat";
constexpr std::size_t kCommandWord = std::char_traits<char>::length("quellmoorsay ");

// The message: text with a few umlauts and braces, sized so that the whole
// JSON object takes exactly kPayloadBytes of Base64.
std::string Message() {
  const std::string piece =
      "Heute Abend {Markt} am s\xc3\xbc"
      "dlichen Tor; wer sp\xc3\xa4t kommt, tr\xc3\xa4gt die Kiste. ";
  const std::size_t room = kPayloadBytes / 4 * 3 -
                           std::string(R"({"sender":"","message":""})").size() -
                           std::string(kSender).size();
  std::string message;
  while (message.size() + piece.size() <= room) message += piece;
  message.append(room - message.size(), '!');
  return message;
}

// "quellmoorsay " and exactly kPayloadBytes of Base64.
std::string CommandLine() {
  const std::string json =
      std::string(R"({"sender":")") + kSender + R"(","message":")" + Message() + R"("})";
  return "quellmoorsay " + qbtest::EncodeBase64(json);
}

class SayScene {
 public:
  SayScene() : connection_(qbhost::CreateRconConnection({})) {
    qbbench::Activate("http://127.0.0.1:9");
    Rebuild();
  }
  ~SayScene() {
    qbhost::SetCurrentWorld(nullptr);
    qbhost::DestroyWorld(world_);
    qbhost::DestroyRconConnection(connection_);
    qbbench::Deactivate();
  }
  SayScene(const SayScene&) = delete;
  SayScene& operator=(const SayScene&) = delete;

  // A fresh world of kPlayers players with empty inboxes. Returns the lines
  // the players of the old world received, all together.
  std::size_t Rebuild() {
    std::size_t lines = 0;
    for (auto* player : players_) lines += qbhost::Inbox(player).size();
    qbhost::SetCurrentWorld(nullptr);
    qbhost::DestroyWorld(world_);
    world_ = qbhost::CreateWorld();
    qbhost::SetCurrentWorld(world_);
    players_.clear();
    for (int i = 0; i < kPlayers; ++i) {
      players_.push_back(
          qbhost::AddPlayer(world_, {"spieler" + std::to_string(i), "Figur " + std::to_string(i)}));
    }
    return lines;
  }

  void Say(RCONPacket* packet) { OnSayCommand(connection_, packet, world_); }
  const std::vector<AShooterPlayerController*>& Players() const { return players_; }
  // How many of the latest `n` replies (at most 256, what the connection
  // keeps) were "OK".
  std::int64_t OkAmongLatest(std::size_t n) const {
    const auto replies = qbhost::SentReplies(connection_);
    std::int64_t ok = 0;
    for (std::size_t i = replies.size() - std::min(n, replies.size()); i < replies.size(); ++i) {
      ok += replies[i].body == "OK" ? 1 : 0;
    }
    return ok;
  }

 private:
  RCONClientConnection* connection_;
  UWorld* world_ = nullptr;
  std::vector<AShooterPlayerController*> players_;
};

void BM_SayCommand(benchmark::State& state) {
  const std::string line = CommandLine();
  std::size_t lines = 0;
  std::int64_t ok = 0;
  {
    SayScene scene;
    qbhost::HostRconPacket packet(7, qbhost::kRconExecOrAuthResponse, line);
    std::int64_t calls = 0;
    for (auto _ : state) {
      scene.Say(packet.get());
      if (++calls % kBatch == 0) {
        state.PauseTiming();
        ok += scene.OkAmongLatest(static_cast<std::size_t>(kBatch));
        lines += scene.Rebuild();
        state.ResumeTiming();
      }
    }
    ok += scene.OkAmongLatest(static_cast<std::size_t>(calls % kBatch));
    lines += scene.Rebuild();
  }
  const auto calls = static_cast<double>(state.iterations());
  state.counters["ok_replies"] = static_cast<double>(ok) / calls;
  state.counters["lines_per_player"] = static_cast<double>(lines) / calls / kPlayers;
  state.counters["payload_bytes"] = static_cast<double>(line.size() - 13);
}
BENCHMARK(BM_SayCommand)
    ->ComputeStatistics("min", qbbench::Min)
    ->ComputeStatistics("max", qbbench::Max);

// The stand-in host's share of one say command: the chat relay asked for by
// the library path, and the same line shown to the same 10 players through it
// (the host's own conversions of sender and message, the players' inboxes).
void BM_StandInRelay(benchmark::State& state) {
  std::size_t lines = 0;
  {
    SayScene scene;
    qbhost::HostString path("/srv/ArkApi/Plugins/QuellmoorBridge/QuellmoorBridge.so");
    qbhost::HostString sender(kSender);
    qbhost::HostString line(Message());
    std::int64_t calls = 0;
    for (auto _ : state) {
      const auto relay = AsaApi::GetApiUtils().ChatRelayFor(path.get());
      for (auto* player : scene.Players()) relay->SendToPlayer(player, sender.get(), line.get());
      if (++calls % kBatch == 0) {
        state.PauseTiming();
        lines += scene.Rebuild();
        state.ResumeTiming();
      }
    }
    lines += scene.Rebuild();
  }
  state.counters["lines_per_player"] =
      static_cast<double>(lines) / static_cast<double>(state.iterations()) / kPlayers;
}
BENCHMARK(BM_StandInRelay)
    ->ComputeStatistics("min", qbbench::Min)
    ->ComputeStatistics("max", qbbench::Max);

// The host's text conversions that one say command asks for, alone: the
// packet body to UTF-8, then sender, line, the plug-in's library path (for its
// chat relay) and the reply "OK" to engine text. The line is the message
// itself: the format pass turns the doubled braces back into single ones.
void BM_StandInSayConversions(benchmark::State& state) {
  const auto body = qbbench::EngineText(CommandLine());
  const std::string sender = kSender;
  const std::string line = Message();
  const std::string path = OwnLibraryPath();
  const std::string reply = "OK";
  qbbench::HostConversions host;
  for (auto _ : state) {
    benchmark::DoNotOptimize(host.ToUtf8(body));
    benchmark::DoNotOptimize(host.ToEngine(sender));
    benchmark::DoNotOptimize(host.ToEngine(line));
    benchmark::DoNotOptimize(host.ToEngine(path));
    benchmark::DoNotOptimize(host.ToEngine(reply));
  }
}
BENCHMARK(BM_StandInSayConversions);

// The anchor of the say command's budget: the same payload through library
// code alone, the command's two heaviest steps done the plainest way:
// OpenSSL's EVP_DecodeBlock, nlohmann's parse, the two strings taken out.
void BM_SayAnchor(benchmark::State& state) {
  const std::string command = CommandLine();
  const std::string_view base64 = std::string_view(command).substr(kCommandWord);
  std::vector<unsigned char> json(base64.size());
  for (auto _ : state) {
    const int n =
        EVP_DecodeBlock(json.data(), reinterpret_cast<const unsigned char*>(base64.data()),
                        static_cast<int>(base64.size()));
    const auto document = nlohmann::json::parse(json.data(), json.data() + n);
    std::string sender = document.value("sender", std::string());
    std::string message = document.value("message", std::string());
    benchmark::DoNotOptimize(sender.data());
    benchmark::DoNotOptimize(message.data());
  }
}
BENCHMARK(BM_SayAnchor);

}  // namespace
