#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qbhost/rcon.h"
#include "support/harness.h"

namespace {

using namespace std::string_literals;

class RconHost : public qbtest::HostTest {};

TEST_F(RconHost, EncodesOneSourceRconPacketLittleEndian) {
  EXPECT_EQ(qbhost::EncodeRconPacket(0x01020304, qbhost::kRconResponse, "OK"),
            "\x0c\x00\x00\x00"
            "\x04\x03\x02\x01"
            "\x00\x00\x00\x00"
            "OK\x00\x00"s);
  EXPECT_EQ(qbhost::EncodeRconPacket(-1, qbhost::kRconExecOrAuthResponse, ""),
            "\x0a\x00\x00\x00\xff\xff\xff\xff\x02\x00\x00\x00\x00\x00"s);
}

using SendMessage = void (*)(RCONClientConnection*, int, int, FString&);

SendMessage LookUpSendMessage() {
  return reinterpret_cast<SendMessage>(
      GetAddress("RCONClientConnection.SendMessage(int,int,FString&)"));
}

TEST_F(RconHost, SendMessageWritesTheTextAsUtf8UpToItsCount) {
  std::vector<std::string> written;
  RCONClientConnection* connection =
      qbhost::CreateRconConnection([&](std::string_view bytes) { written.emplace_back(bytes); });
  {
    qbhost::HostString text(
        "Gr\xc3\xbc\xc3\x9f"
        "e");  // 5 units + NUL
    LookUpSendMessage()(connection, 7, qbhost::kRconResponse, text.get());
    // A count that stops before the terminator: nothing past it is read.
    text.get().count = 3;
    LookUpSendMessage()(connection, 8, qbhost::kRconResponse, text.get());
  }
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0], qbhost::EncodeRconPacket(7, 0,
                                                 "Gr\xc3\xbc\xc3\x9f"
                                                 "e"));
  EXPECT_EQ(written[1], qbhost::EncodeRconPacket(8, 0, "Gr\xc3\xbc"));
  const auto replies = qbhost::SentReplies(connection);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[1].id, 8);
  EXPECT_EQ(replies[1].type, 0);
  EXPECT_EQ(replies[1].body, "Gr\xc3\xbc");
  qbhost::DestroyRconConnection(connection);
}

TEST_F(RconHost, PacketBodyLivesOnTheEngineHeapUntilThePacketGoes) {
  const auto before = qbhost::Heap().liveBlocks;
  {
    qbhost::HostRconPacket packet(42, 2, "quellmoorsay QQ==");
    EXPECT_EQ(qbhost::Heap().liveBlocks, before + 1);
    EXPECT_EQ(packet.get()->id, 42);
    EXPECT_EQ(packet.get()->type, 2);
    EXPECT_EQ(qbhost::ToUtf8(packet.get()->body), "quellmoorsay QQ==");
  }
  EXPECT_EQ(qbhost::Heap().liveBlocks, before);
}

}  // namespace
