// Any packet body through the say command in the stand-in: never a crash,
// exactly one reply, and no engine-heap block left afterwards.
//
// The first byte picks the shape: odd sends "quellmoorsay " and the Base64 of
// the rest, so that the fuzzer reaches the JSON step and the broadcast; even
// sends the rest as the raw command line.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "bridge/say.h"
#include "config/config.h"
#include "plugin/plugin_log.h"
#include "qbhost/engine.h"
#include "qbhost/rcon.h"
#include "support/base64_encode.h"
#include "support/capture_sink.h"

using namespace qb;

namespace {

struct Fixture {
  std::size_t replies = 0;  // packets written to the client
  RCONClientConnection* connection =
      qbhost::CreateRconConnection([this](std::string_view) { ++replies; });
  UWorld* world = qbhost::CreateWorld();

  Fixture() {
    qbhost::SetLogSinks({std::make_shared<qbtest::CaptureSink>()});
    PluginLog::Instance().Create("QuellmoorBridge");
    PluginState = PluginConfig{true, "http://127.0.0.1:9", "token", "map", ""};
    qbhost::SetCurrentWorld(world);
    qbhost::AddPlayer(world, {"Alice", "Ali", true});
    auto* gone = qbhost::AddPlayer(world, {"Bob", "", true});
    qbhost::AddPlayer(world, {"Carol", "", false});
    qbhost::RemovePlayer(gone);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture fixture;
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string body = (data[0] & 1) ? "quellmoorsay " + qbtest::EncodeBase64(rest) : rest;

  const auto before = qbhost::Heap();
  const auto repliesBefore = fixture.replies;
  {
    qbhost::HostRconPacket packet(7, qbhost::kRconExecOrAuthResponse, body);
    OnSayCommand(fixture.connection, packet.get(), fixture.world);
  }
  if (fixture.replies != repliesBefore + 1) std::abort();
  if (qbhost::Heap().liveBlocks != before.liveBlocks) std::abort();
  return 0;
}
