// The say command's cost on the thread that dispatches RCON commands: one
// "quellmoorsay" line with 3 KiB of Base64 (a JSON object whose message is
// about 2,200 bytes, a few umlauts and braces in it) shown to 10 players and
// answered "OK". Timed: the packet body's conversion, the decoding, the JSON
// parse, the brace escaping and its format pass, the conversions to engine
// strings, the relay and the ten deliveries through the stand-in's relay (its
// own conversions and the players' inboxes), and the reply through the
// engine's SendMessage.
//
// The plug-in's share is the command less the stand-in's parts in it, and its
// budget a ratio to an anchor. Parts measured in separate benchmarks, minutes
// apart, can meet a machine in different moods: on a shared virtual machine
// the same relay took 70 us in one run and 115 us in the next, and a
// difference of such medians once came out negative. So one loop times all of
// them in turn, on the calling thread's CPU clock, and every counter is a
// per-call mean over the same stretch of time:
//
//   whole_us        the command
//   relay_us        the stand-in's relay and its ten deliveries alone (the
//                   same line to the same players, through ChatRelayFor)
//   conversions_us  the host's text conversions the command asks for, alone
//   share_us        whole less relay less conversions: the plug-in's own
//   anchor_us       the same payload through library code alone: OpenSSL's
//                   EVP_DecodeBlock, nlohmann's parse, the two strings taken out
//
// Every 16 commands the world is rebuilt, outside the timed parts, so the
// players' inboxes (which the stand-in keeps) stay small. Google Benchmark's
// own time of the benchmark is that of all four parts together.
//
// Counts: ok_replies, lines_per_player (the command's lines) and
// relay_lines_per_player (the relay's alone), each 1 per call.

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
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

  // A fresh world of kPlayers players with empty inboxes.
  void Rebuild() {
    qbhost::SetCurrentWorld(nullptr);
    qbhost::DestroyWorld(world_);
    world_ = qbhost::CreateWorld();
    qbhost::SetCurrentWorld(world_);
    players_.clear();
    for (int i = 0; i < kPlayers; ++i) {
      players_.push_back(
          qbhost::AddPlayer(world_, {"spieler" + std::to_string(i), "Figur " + std::to_string(i)}));
    }
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

// The calling thread's CPU time, the clock Google Benchmark's CPU figure reads.
std::int64_t ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The stand-in's share of one command: the relay the library path asks for
// and the line shown to every player through it. Its sender is one letter off
// the command's, so that its lines can be told apart in the inboxes.
class RelayAlone {
 public:
  static constexpr const char* kSender = "Quellmoor-Rot";

  explicit RelayAlone(const SayScene& scene)
      : scene_(scene),
        path_("/srv/ArkApi/Plugins/QuellmoorBridge/QuellmoorBridge.so"),
        sender_(kSender),
        line_(Message()) {}

  void Run() {
    const auto relay = AsaApi::GetApiUtils().ChatRelayFor(path_.get());
    for (auto* player : scene_.Players()) relay->SendToPlayer(player, sender_.get(), line_.get());
  }

 private:
  const SayScene& scene_;
  qbhost::HostString path_;
  qbhost::HostString sender_;
  qbhost::HostString line_;
};

// The host's text conversions that one command asks for, alone: the packet
// body to UTF-8, then sender, line, the plug-in's library path (for its chat
// relay) and the reply "OK" to engine text. The line is the message itself:
// the format pass turns the doubled braces back into single ones.
class ConversionsAlone {
 public:
  ConversionsAlone()
      : body_(qbbench::EngineText(CommandLine())), line_(Message()), path_(OwnLibraryPath()) {}

  void Run() {
    benchmark::DoNotOptimize(host_.ToUtf8(body_));
    benchmark::DoNotOptimize(host_.ToEngine(sender_));
    benchmark::DoNotOptimize(host_.ToEngine(line_));
    benchmark::DoNotOptimize(host_.ToEngine(path_));
    benchmark::DoNotOptimize(host_.ToEngine(reply_));
  }

 private:
  std::basic_string<EngineChar> body_;
  std::string sender_ = kSender;
  std::string line_;
  std::string path_;
  std::string reply_ = "OK";
  qbbench::HostConversions host_;
};

// The anchor: the command's two heaviest steps done the plainest way.
class Anchor {
 public:
  Anchor() : command_(CommandLine()), json_(command_.size()) {}

  void Run() {
    const std::string_view base64 = std::string_view(command_).substr(kCommandWord);
    const int n =
        EVP_DecodeBlock(json_.data(), reinterpret_cast<const unsigned char*>(base64.data()),
                        static_cast<int>(base64.size()));
    const auto document = nlohmann::json::parse(json_.data(), json_.data() + n);
    std::string sender = document.value("sender", std::string());
    std::string message = document.value("message", std::string());
    benchmark::DoNotOptimize(sender.data());
    benchmark::DoNotOptimize(message.data());
  }

 private:
  std::string command_;
  std::vector<unsigned char> json_;
};

// Lines in the players' inboxes from `sender`.
std::size_t LinesFrom(const SayScene& scene, const std::string& sender) {
  std::size_t lines = 0;
  for (auto* player : scene.Players()) {
    for (const auto& line : qbhost::Inbox(player)) lines += line.sender == sender ? 1 : 0;
  }
  return lines;
}

void BM_SayCommand(benchmark::State& state) {
  std::int64_t whole = 0, relayed = 0, converted = 0, anchored = 0;
  std::size_t lines = 0, relayLines = 0;
  std::int64_t ok = 0;
  {
    SayScene scene;
    qbhost::HostRconPacket packet(7, qbhost::kRconExecOrAuthResponse, CommandLine());
    RelayAlone relay(scene);
    ConversionsAlone conversions;
    Anchor anchor;
    const auto countAndRebuild = [&](std::int64_t commands) {
      ok += scene.OkAmongLatest(static_cast<std::size_t>(commands));
      lines += LinesFrom(scene, kSender);
      relayLines += LinesFrom(scene, RelayAlone::kSender);
      scene.Rebuild();
    };
    std::int64_t calls = 0;
    for (auto _ : state) {
      const std::int64_t t0 = ThreadCpuNs();
      scene.Say(packet.get());
      const std::int64_t t1 = ThreadCpuNs();
      relay.Run();
      const std::int64_t t2 = ThreadCpuNs();
      conversions.Run();
      const std::int64_t t3 = ThreadCpuNs();
      anchor.Run();
      const std::int64_t t4 = ThreadCpuNs();
      whole += t1 - t0;
      relayed += t2 - t1;
      converted += t3 - t2;
      anchored += t4 - t3;
      if (++calls % kBatch == 0) {
        state.PauseTiming();
        countAndRebuild(kBatch);
        state.ResumeTiming();
      }
    }
    countAndRebuild(calls % kBatch);
  }
  const auto calls = static_cast<double>(state.iterations());
  const auto perCallUs = [calls](std::int64_t ns) { return static_cast<double>(ns) / calls / 1e3; };
  state.counters["whole_us"] = perCallUs(whole);
  state.counters["relay_us"] = perCallUs(relayed);
  state.counters["conversions_us"] = perCallUs(converted);
  state.counters["share_us"] = perCallUs(whole - relayed - converted);
  state.counters["anchor_us"] = perCallUs(anchored);
  state.counters["ok_replies"] = static_cast<double>(ok) / calls;
  state.counters["lines_per_player"] = static_cast<double>(lines) / calls / kPlayers;
  state.counters["relay_lines_per_player"] = static_cast<double>(relayLines) / calls / kPlayers;
  state.counters["payload_bytes"] = static_cast<double>(CommandLine().size() - kCommandWord);
}
BENCHMARK(BM_SayCommand)
    ->ComputeStatistics("min", qbbench::Min)
    ->ComputeStatistics("max", qbbench::Max);

}  // namespace
