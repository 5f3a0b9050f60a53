// Its own executable: nothing decodes before this test, so the threads below
// really meet the decoding table unbuilt.

#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/base64.h"

using namespace qb;

TEST(Base64FirstUse, ConcurrentFirstCallsAllSeeTheFinishedTable) {
  constexpr int kThreads = 8;
  std::latch start(kThreads);
  std::vector<std::optional<std::string>> results(kThreads);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      result = DecodeBase64("RGVyIFdpbmQgd2VodCB1ZWJlciBkYXMgTW9vci4=");
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& result : results) EXPECT_EQ(result, "Der Wind weht ueber das Moor.");
}
