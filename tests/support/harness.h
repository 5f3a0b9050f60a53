#pragma once

// Shared test fixture: a clean stand-in host for every test (registry, sinks,
// ready state, world, current directory in a fresh temporary folder) and the
// check that the test left no engine-heap block behind.

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "config/config.h"
#include "qbhost/requests.h"
#include "qbhost/standin.h"
#include "support/capture_sink.h"

namespace qbtest {

// Names parameterised cases after their `name` member.
struct ByName {
  template <class P>
  std::string operator()(const ::testing::TestParamInfo<P>& param) const {
    return param.param.name;
  }
};

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes `content` as the plug-in's config.json below `root`.
void WriteConfig(const std::filesystem::path& root, const std::string& content);

// Where request completions run in this run of the tests: tick, or any-thread
// when QB_TEST_COMPLETIONS=any-thread (tests/CMakeLists.txt runs the request,
// webhook, chat and heartbeat suites both ways). HostTest sets it up.
qbhost::CompletionDelivery DeliveryOfThisRun();

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Installs the given config text (or none) and runs LoadConfig with the
  // plug-in logger created over the capture sink.
  void LoadWith(const std::string& configText);

  std::shared_ptr<qbtest::CaptureSink> sink_;
  std::unique_ptr<TempDir> root_;
  qbhost::HeapStats heapAtStart_;
};

}  // namespace qbtest
