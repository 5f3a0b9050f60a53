#pragma once

// A WorldTest with a live HTTP receiver on loopback and the plug-in configured
// (and active) against it. The request service is shut down before the
// receiver stops, so no kept connection holds the receiver's threads.

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "qbhost/requests.h"
#include "support/http_receiver.h"
#include "support/world.h"

namespace qbtest {

class ReceiverTest : public WorldTest {
 protected:
  void SetUp() override {
    WorldTest::SetUp();
    receiver_.Start();
  }
  void TearDown() override {
    qbhost::ShutdownRequests();
    receiver_.Stop();
    WorldTest::TearDown();
  }

  // Loads a configuration naming `baseUrl` and forgets the load's own line.
  void Activate(const std::string& baseUrl, const std::string& map = "Quellmoor",
                const std::string& serverVersion = "") {
    nlohmann::json config = {{"webhookBaseUrl", baseUrl},
                             {"token", "geheim token"},
                             {"map", map},
                             {"serverVersion", serverVersion}};
    LoadWith(config.dump());
    ASSERT_TRUE(qb::PluginState.enabled);
    sink_->Clear();
  }
  void Activate() { Activate(receiver_.BaseUrl()); }

  // Every request handed over so far has finished on the wire; then one tick
  // delivers the completions. The bound is a wait on a condition, generous for
  // a machine busy with builds or a ThreadSanitizer run.
  void Settle() {
    ASSERT_TRUE(qbhost::WaitForRequests(std::chrono::seconds(15)));
    qbhost::Tick();
  }

  std::vector<std::string> Bodies() {
    std::vector<std::string> out;
    for (const auto& post : receiver_.Posts()) out.push_back(post.body);
    return out;
  }

  // The message part of every plug-in line at warning level.
  std::vector<std::string> Warnings() {
    std::vector<std::string> out;
    for (const auto& line : sink_->Lines()) {
      if (line.level != spdlog::level::warn) continue;
      const auto at = line.text.find("] [QuellmoorBridge] ");
      out.push_back(at == std::string::npos ? line.text : line.text.substr(at + 2));
    }
    return out;
  }

  HttpReceiver receiver_;
};

}  // namespace qbtest
