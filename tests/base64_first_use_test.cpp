// Its own executable: nothing may decode before this test, so that the
// threads below really meet the decoding table unbuilt.

#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/base64.h"

namespace {

TEST(Base64FirstUse, ConcurrentFirstCallsAllSeeTheFinishedTable) {
  constexpr int kThreads = 8;
  const std::string expected = "Der Wind weht ueber das Moor, {und} die Nacht kommt.";
  const std::string text =
      "RGVyIFdpbmQgd2VodCB1ZWJlciBkYXMgTW9vciwge3VuZH0gZGllIE5hY2h0IGtvbW10Lg==";
  std::latch start(kThreads);
  std::vector<std::optional<std::string>> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      results[static_cast<std::size_t>(i)] = DecodeBase64(text);
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& result : results) EXPECT_EQ(result, expected);
}

}  // namespace
