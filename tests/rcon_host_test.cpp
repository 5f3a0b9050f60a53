#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qbhost/rcon.h"
#include "support/harness.h"

namespace {

using namespace std::string_literals;

class RconHost : public qbtest::HostTest {};

TEST_F(RconHost, SendMessageWritesOneResponsePacketOfTheTextUpToItsCount) {
  std::vector<std::string> written;
  RCONClientConnection* connection =
      qbhost::CreateRconConnection([&](std::string_view bytes) { written.emplace_back(bytes); });
  using SendMessage = void (*)(RCONClientConnection*, int, int, FString&);
  auto send = reinterpret_cast<SendMessage>(
      GetAddress("RCONClientConnection.SendMessage(int,int,FString&)"));
  {
    qbhost::HostString text("Gr\xc3\xbc\xc3\x9f");  // 4 units + NUL
    send(connection, 0x01020304, qbhost::kRconResponse, text.get());
    text.get().count = 2;  // nothing past count is read
    send(connection, -1, qbhost::kRconExecOrAuthResponse, text.get());
  }
  EXPECT_EQ(written,
            (std::vector<std::string>{"\x10\0\0\0\x04\x03\x02\x01\0\0\0\0Gr\xc3\xbc\xc3\x9f\0\0"s,
                                      "\x0c\0\0\0\xff\xff\xff\xff\x02\0\0\0Gr\0\0"s}));
  const auto replies = qbhost::SentReplies(connection);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[1].id, -1);
  EXPECT_EQ(replies[1].type, 2);
  EXPECT_EQ(replies[1].body, "Gr");
  qbhost::DestroyRconConnection(connection);
}

TEST_F(RconHost, KeepsOnlyTheLatestRepliesForReaders) {
  auto* connection = qbhost::CreateRconConnection({});
  auto send = reinterpret_cast<void (*)(RCONClientConnection*, int, int, FString&)>(
      GetAddress("RCONClientConnection.SendMessage(int,int,FString&)"));
  qbhost::HostString text("x");
  for (int id = 1; id <= 300; ++id) send(connection, id, qbhost::kRconResponse, text.get());
  const auto replies = qbhost::SentReplies(connection);
  ASSERT_EQ(replies.size(), 256u);
  EXPECT_EQ(replies.front().id, 45);
  EXPECT_EQ(replies.back().id, 300);
  qbhost::DestroyRconConnection(connection);
}

}  // namespace
