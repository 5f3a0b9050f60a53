#include "support/harness.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <string_view>

#include "plugin/plugin_log.h"
#include "qbhost/requests.h"

namespace qbtest {

TempDir::TempDir() {
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    path_ = base / ("qbtest-" + std::to_string(rd()));
    if (std::filesystem::create_directory(path_)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void WriteConfig(const std::filesystem::path& root, const std::string& content) {
  auto dir = root / "ArkApi" / "Plugins" / "QuellmoorBridge";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "config.json", std::ios::binary) << content;
}

qbhost::CompletionDelivery DeliveryOfThisRun() {
  const char* chosen = std::getenv("QB_TEST_COMPLETIONS");
  return chosen != nullptr && std::string_view(chosen) == "any-thread"
             ? qbhost::CompletionDelivery::AnyThread
             : qbhost::CompletionDelivery::Tick;
}

void HostTest::SetUp() {
  qbhost::SetCompletionDelivery(DeliveryOfThisRun());
  heapAtStart_ = qbhost::Heap();
  qbhost::ResetRegistry();
  qbhost::SetReadyState(1);
  qbhost::SetCurrentWorld(nullptr);
  qbhost::FailNthAllocation(0);
  qbhost::SetConversionFault(qbhost::ConversionFault::None);
  sink_ = std::make_shared<qbtest::CaptureSink>();
  qbhost::SetLogSinks({sink_});
  root_ = std::make_unique<TempDir>();
  qbhost::SetCurrentDir(root_->path().string());
  qb::PluginState = qb::PluginConfig{};
}

void HostTest::TearDown() {
  // No request of one test may call back into the next.
  qbhost::ShutdownRequests();
  qbhost::SetRequestFault(qbhost::RequestFault::None);
  qbhost::FailNthAllocation(0);
  qbhost::SetConversionFault(qbhost::ConversionFault::None);
  qbhost::ResetRegistry();
  qb::PluginState = qb::PluginConfig{};
  EXPECT_EQ(qbhost::Heap().liveBlocks, heapAtStart_.liveBlocks) << "engine-heap blocks leaked";
  EXPECT_EQ(qbhost::Heap().liveBytes, heapAtStart_.liveBytes);
}

void HostTest::LoadWith(const std::string& configText) {
  WriteConfig(root_->path(), configText);
  qb::PluginLog::Instance().Create("QuellmoorBridge");
  qb::LoadConfig();
}

}  // namespace qbtest
