// Faults at the plug-in's boundary with the host, driven the way the host
// drives the loaded library: every engine allocation of one chat message, one
// heartbeat and one say command fails in turn, and the request service refuses
// or throws. Nothing may escape to the host, no engine block may leak, and the
// RCON client always gets its one answer. Also: requests still in flight or
// finished but undelivered when the plug-in is unloaded never call back.

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "qbhost/rcon.h"
#include "qbhost/requests.h"
#include "support/base64_encode.h"
#include "support/http_receiver.h"
#include "support/plugin_library.h"

namespace {

using namespace std::chrono_literals;

class Faults : public qbtest::PluginLibraryTest {
 protected:
  void SetUp() override {
    PluginLibraryTest::SetUp();
    receiver_.Start();
    Configure(receiver_.BaseUrl());
    alice_ = Join("Alice", "Ali");
    Join("Bob");
    connection_ = qbhost::CreateRconConnection({});
  }
  void TearDown() override {
    if (IsLoaded()) Unload();
    qbhost::ShutdownRequests();
    receiver_.Stop();
    qbhost::DestroyRconConnection(connection_);
    PluginLibraryTest::TearDown();
  }

  void Configure(const std::string& baseUrl) {
    qbtest::WriteConfig(root_->path(),
                        R"({"webhookBaseUrl":")" + baseUrl + R"(","token":"t","map":"Insel"})");
  }

  // One chat message, one heartbeat (the first tick of a fresh load is due)
  // and one say command, as the host dispatches them, with the nth engine
  // allocation failing (0: none). The host's own inputs are built first.
  // Returns false if anything escaped.
  bool DriveOnce(std::uint64_t failAt = 0) {
    qbhost::HostString text(
        "Hallo Gr\xc3\xbc\xc3\x9f"
        "e");
    qbhost::HostRconPacket packet(
        41, qbhost::kRconExecOrAuthResponse,
        "quellmoorsay " + qbtest::EncodeBase64(R"({"sender":"Admin","message":"Hallo {0}"})"));
    qbhost::FailNthAllocation(failAt);
    bool contained = true;
    try {
      qbhost::DispatchChat(alice_, text.ptr(), 0, 0, false, false);
      qbhost::Tick();
      qbhost::DispatchRcon(connection_, packet.get(), world_, true);
    } catch (...) {
      contained = false;
    }
    faultFired_ = failAt != 0 && !qbhost::AllocationFaultArmed();
    qbhost::FailNthAllocation(0);
    return contained;
  }

  bool faultFired_ = false;

  qbtest::HttpReceiver receiver_;
  AShooterPlayerController* alice_ = nullptr;
  RCONClientConnection* connection_ = nullptr;
};

TEST_F(Faults, EveryFailedEngineAllocationIsContained) {
  std::uint64_t n = 1;
  for (; n < 500; ++n) {
    const auto heapBefore = qbhost::Heap();
    const auto repliesBefore = qbhost::SentReplies(connection_).size();
    Load();
    EXPECT_TRUE(DriveOnce(n)) << "an exception reached the host at allocation " << n;
    Unload();
    ASSERT_EQ(qbhost::SentReplies(connection_).size(), repliesBefore + 1)
        << "the say command must answer once, fault at allocation " << n;
    EXPECT_EQ(qbhost::Heap().liveBlocks, heapBefore.liveBlocks) << "leak, fault at " << n;
    if (!faultFired_) break;  // the fault lay past the last allocation
  }
  EXPECT_GT(n, 5u) << "the sweep should have met several allocations";
  EXPECT_LT(n, 500u);
}

TEST_F(Faults, ARefusingOrThrowingRequestServiceIsContained) {
  for (auto fault : {qbhost::RequestFault::Refuse, qbhost::RequestFault::Throw}) {
    Load();
    qbhost::SetRequestFault(fault);
    EXPECT_TRUE(DriveOnce());
    qbhost::SetRequestFault(qbhost::RequestFault::None);
    Unload();
  }
  EXPECT_EQ(qbhost::SentReplies(connection_).size(), 2u);
  EXPECT_EQ(qbhost::SentReplies(connection_).back().body, "OK");
}

TEST_F(Faults, RequestsInFlightAtUnloadNeverCallBack) {
  qbtest::RawPort silent(qbtest::RawPort::Mode::Silent);  // accepts, never answers
  Configure(silent.BaseUrl());
  Load();
  ASSERT_TRUE(DriveOnce());
  EXPECT_GT(qbhost::PendingRequests(), 0u);
  const auto lines = Messages(*sink_).size();
  Unload();
  EXPECT_EQ(qbhost::PendingRequests(), 0u);
  qbhost::Tick();
  EXPECT_EQ(Messages(*sink_).size(), lines);
}

TEST_F(Faults, FinishedButUndeliveredCompletionsAreDroppedAtUnload) {
  receiver_.RespondWith(500);
  Load();
  ASSERT_TRUE(DriveOnce());
  ASSERT_TRUE(qbhost::WaitForRequests(5s));
  const auto lines = Messages(*sink_).size();
  Unload();
  qbhost::Tick();  // would run the failure lines of a library that is gone
  EXPECT_EQ(Messages(*sink_).size(), lines);
}

}  // namespace
