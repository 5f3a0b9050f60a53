#pragma once

// The dev server as a child process, for tests that drive it from outside: a
// fresh server root with the built plug-in in its folder, the server started
// on an RCON port the OS picks, and stopped with SIGTERM in TearDown however
// the test ended (the ChildProcess kills it if even that fails). The test
// target defines QB_DEVSERVER_PATH and QB_PLUGIN_PATH.
//
//   class MyTest : public qbtest::DevServerTest {};
//   TEST_F(MyTest, X) { Start(); Console("join Anna", "OK join Anna"); }

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/dev_process.h"
#include "support/harness.h"

#if !defined(QB_DEVSERVER_PATH) || !defined(QB_PLUGIN_PATH)
#error "QB_DEVSERVER_PATH and QB_PLUGIN_PATH must name the built dev server and plug-in"
#endif

namespace qbtest {

class DevServerTest : public ::testing::Test {
 protected:
  static constexpr const char* kPassword = "test-pw";

  void SetUp() override {
    root_ = std::make_unique<TempDir>();
    const auto dir = root_->path() / "ArkApi" / "Plugins" / "QuellmoorBridge";
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(QB_PLUGIN_PATH, dir / "QuellmoorBridge.so");
  }

  void TearDown() override {
    if (server_ && !stopped_) Stop();
    server_.reset();
  }

  // Starts the server (50 ms ticks) and waits until it is ready.
  void Start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--root",          root_->path().string(),
                                  "--rcon-port",     "0",
                                  "--rcon-password", kPassword,
                                  "--tick-ms",       "50"};
    args.insert(args.end(), extra.begin(), extra.end());
    stopped_ = false;
    server_ = std::make_unique<ChildProcess>(QB_DEVSERVER_PATH, args);
    auto listening = server_->Expect("RCON listening on 127.0.0.1:");
    ASSERT_TRUE(listening) << "no RCON port printed";
    rconPort_ = static_cast<std::uint16_t>(std::stoi(listening->substr(listening->rfind(':') + 1)));
    ASSERT_TRUE(server_->Expect("Dev server ready"));
  }

  // SIGTERM, then the exit code (empty if it did not end in time).
  std::optional<int> Stop() {
    stopped_ = true;
    server_->Signal(SIGTERM);
    return server_->WaitExit();
  }

  // A console command and its "OK ..." (or "ERROR ...") answer.
  std::string Console(const std::string& command, const std::string& answer) {
    server_->Send(command);
    auto line = server_->Expect(answer);
    EXPECT_TRUE(line) << "no \"" << answer << "\" after \"" << command << "\"";
    return line.value_or("");
  }

  // How many lines printed so far contain `needle`.
  std::size_t CountLines(const std::string& needle) {
    std::size_t n = 0;
    for (const auto& line : server_->Lines()) n += line.find(needle) != std::string::npos;
    return n;
  }

  // The last line printed so far that contains `needle`.
  std::optional<std::string> FindLine(const std::string& needle) {
    std::optional<std::string> found;
    for (const auto& line : server_->Lines()) {
      if (line.find(needle) != std::string::npos) found = line;
    }
    return found;
  }

  std::unique_ptr<TempDir> root_;
  std::unique_ptr<ChildProcess> server_;
  std::uint16_t rconPort_ = 0;
  bool stopped_ = false;
};

}  // namespace qbtest
