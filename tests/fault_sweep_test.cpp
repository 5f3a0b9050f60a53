// Faults at the plug-in's boundary with the host, driven the way the host
// drives the loaded library: every engine allocation of either entry, of one
// chat message, one heartbeat and one say command fails in turn, and the
// request service refuses or throws. Nothing may escape to the host, no engine block may leak, and
// the RCON client always gets its one answer. Also: requests still in flight or finished but
// undelivered when the plug-in is unloaded never call back.

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

// Each engine allocation of Plugin_Init, then of Plugin_Unload, fails in turn.
// Nothing reaches the host (the loader would say the entry threw); a failed
// start leaves the plug-in inactive with one error line, a failed unload still
// makes every other removal; nothing leaks.
TEST_F(Faults, AFailedEngineAllocationInEitherEntryIsContained) {
  const std::string notConfigured = "QuellmoorBridge ist nicht konfiguriert.";
  for (const bool inInit : {true, false}) {
    std::uint64_t n = 1;
    for (; n < 100; ++n) {
      SCOPED_TRACE((inInit ? "Plugin_Init, allocation " : "Plugin_Unload, allocation ") +
                   std::to_string(n));
      const auto heapBefore = qbhost::Heap();
      sink_->Clear();
      qbhost::ResetRegistry();

      qbhost::FailNthAllocation(inInit ? n : 0);
      EXPECT_EQ(TryLoad(), "");
      const bool initFailed = inInit && !qbhost::AllocationFaultArmed();
      qbhost::FailNthAllocation(0);
      ASSERT_FALSE(Messages(*sink_).empty());
      EXPECT_EQ(Messages(*sink_).back(),
                initFailed ? "[QuellmoorBridge] Laden fehlgeschlagen: std::bad_alloc - Plugin "
                             "bleibt inaktiv."
                           : "[QuellmoorBridge] geladen (aktiv: true).");
      {  // Working, or inactive where the say command got registered at all.
        qbhost::HostRconPacket packet(
            41, qbhost::kRconExecOrAuthResponse,
            "quellmoorsay " + qbtest::EncodeBase64(R"({"message":"Hallo"})"));
        if (qbhost::DispatchRcon(connection_, packet.get(), world_, true)) {
          EXPECT_EQ(qbhost::SentReplies(connection_).back().body,
                    initFailed ? notConfigured : "OK");
        } else {
          EXPECT_TRUE(initFailed) << "a working start registers the say command";
        }
      }

      const auto linesBefore = Messages(*sink_).size();
      qbhost::FailNthAllocation(inInit ? 0 : n);
      Unload();
      const bool unloadFailed = !inInit && !qbhost::AllocationFaultArmed();
      qbhost::FailNthAllocation(0);
      for (const auto& text : sink_->Texts()) {
        EXPECT_EQ(text.find("threw"), std::string::npos) << text;
      }
      std::size_t removals = 0;
      for (const auto& event : qbhost::RegistryJournal()) removals += event.added ? 0 : 1;
      EXPECT_EQ(removals, unloadFailed ? 2u : 3u);
      if (unloadFailed) {
        EXPECT_EQ(Messages(*sink_).back(),
                  "[QuellmoorBridge] Entladen fehlgeschlagen: std::bad_alloc");
      } else {
        EXPECT_EQ(Messages(*sink_).size(), linesBefore) << "unload writes nothing";
      }
      EXPECT_EQ(qbhost::Heap().liveBlocks, heapBefore.liveBlocks) << "leak";
      if (!initFailed && !unloadFailed) break;  // the fault lay past the last allocation
    }
    EXPECT_GT(n, 3u) << "each entry builds three ids on the engine heap";
    EXPECT_LT(n, 100u);
  }
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
