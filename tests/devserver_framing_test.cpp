// The RCON stream decoder, fed the way TCP delivers bytes: whole packets,
// pieces, several at once, and sizes a sane client never sends.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "devserver/rcon_framing.h"
#include "qbhost/rcon.h"
#include "support/harness.h"

namespace {

using devserver::RconDecoder;
using devserver::RconFrame;

std::string Int32(std::int32_t value) {
  auto u = static_cast<std::uint32_t>(value);
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((u >> (8 * i)) & 0xFF);
  return out;
}

// A packet as a client writes it; `size` overrides the size field.
std::string Packet(std::int32_t id, std::int32_t type, const std::string& body,
                   std::optional<std::int32_t> size = std::nullopt) {
  std::string rest = Int32(id) + Int32(type) + body + std::string(2, '\0');
  return Int32(size.value_or(static_cast<std::int32_t>(rest.size()))) + rest;
}

// Splits `bytes` into pieces of `n` bytes.
std::vector<std::string> Pieces(const std::string& bytes, std::size_t n) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < bytes.size(); i += n) out.push_back(bytes.substr(i, n));
  return out;
}

struct FramingCase {
  std::string name;
  std::vector<std::string> reads;  // what each read from the socket returned
  std::vector<RconFrame> frames;   // every packet expected, in order
  bool fails = false;
};

const std::string kAuth = Packet(7, 3, "secret");
const std::string kExec = Packet(8, 2, "quellmoorsay eyJtZXNzYWdlIjoiSGkifQ==");
const std::string kBig = Packet(9, 2, std::string(4086, 'x'));  // size exactly 4096

std::vector<FramingCase> Cases() {
  return {
      {"WholePacket", {kAuth}, {{7, 3, "secret"}}},
      {"EmptyBodyHasSizeTen", {Packet(1, 2, "")}, {{1, 2, ""}}},
      {"OneByteAtATime", Pieces(kExec, 1), {{8, 2, "quellmoorsay eyJtZXNzYWdlIjoiSGkifQ=="}}},
      {"SizeFieldSplit", {kAuth.substr(0, 2), kAuth.substr(2)}, {{7, 3, "secret"}}},
      {"TwoPacketsInOneRead",
       {kAuth + kExec},
       {{7, 3, "secret"}, {8, 2, "quellmoorsay eyJtZXNzYWdlIjoiSGkifQ=="}}},
      {"PacketAndAHalf",
       {kAuth + kExec.substr(0, 9), kExec.substr(9)},
       {{7, 3, "secret"}, {8, 2, "quellmoorsay eyJtZXNzYWdlIjoiSGkifQ=="}}},
      {"LargestPacket", Pieces(kBig, 1000), {{9, 2, std::string(4086, 'x')}}},
      {"NegativeIdKept", {Packet(-1, 2, "x")}, {{-1, 2, "x"}}},
      {"BodyEndsAtEmbeddedNul", {Packet(4, 2, std::string("ab\0cd", 5))}, {{4, 2, "ab"}}},
      {"SizeFive", {Int32(5) + std::string(5, 'a')}, {}, true},
      {"SizeNine", {Packet(1, 2, "", 9)}, {}, true},
      {"SizeAboveLimit", {Packet(1, 2, std::string(4087, 'x'))}, {}, true},
      {"SizeFiveThousand", {Int32(5000)}, {}, true},
      {"NegativeSize", {Int32(-1) + std::string(20, '\0')}, {}, true},
      {"MostNegativeSize", {Int32(INT32_MIN)}, {}, true},
      {"GoodPacketThenBadSize", {kAuth + Int32(5000)}, {{7, 3, "secret"}}, true},
      {"NothingAfterFailure", {Int32(3), kAuth}, {}, true},
  };
}

class FramingTest : public ::testing::TestWithParam<FramingCase> {};

TEST_P(FramingTest, DecodesWhatTheStreamHolds) {
  const FramingCase& c = GetParam();
  RconDecoder decoder;
  std::vector<RconFrame> got;
  for (const auto& read : c.reads) {
    decoder.Feed(read);
    while (auto frame = decoder.Next()) got.push_back(*frame);
  }
  ASSERT_EQ(got.size(), c.frames.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].id, c.frames[i].id) << i;
    EXPECT_EQ(got[i].type, c.frames[i].type) << i;
    EXPECT_EQ(got[i].body, c.frames[i].body) << i;
  }
  EXPECT_EQ(decoder.failed(), c.fails);
  EXPECT_EQ(decoder.error().empty(), !c.fails);
  if (!c.fails) {
    EXPECT_EQ(decoder.buffered(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, FramingTest, ::testing::ValuesIn(Cases()), qbtest::ByName());

TEST(Framing, BadSizeIsSeenBeforeTheBodyArrives) {
  // A client that announces 5000 bytes must not make the server wait for them.
  RconDecoder decoder;
  decoder.Feed(Int32(5000));
  EXPECT_FALSE(decoder.Next());
  EXPECT_TRUE(decoder.failed());
  EXPECT_NE(decoder.error().find("5000"), std::string::npos);
}

TEST(Framing, IncompletePacketWaitsWithoutLoss) {
  RconDecoder decoder;
  decoder.Feed(kExec.substr(0, kExec.size() - 1));
  EXPECT_FALSE(decoder.Next());
  EXPECT_FALSE(decoder.failed());
  EXPECT_EQ(decoder.buffered(), kExec.size() - 1);
  decoder.Feed(kExec.substr(kExec.size() - 1));
  auto frame = decoder.Next();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->id, 8);
}

}  // namespace

TEST(Framing, ALongReplyIsSplitIntoPacketsTheDecoderAccepts) {
  // What the server writes, its own reader must take: every piece has a size
  // field of at most 4096 and the same id.
  for (std::size_t length :
       {std::size_t{0}, std::size_t{4086}, std::size_t{4087}, std::size_t{10'000}}) {
    std::string body;
    for (std::size_t i = 0; i < length; ++i) body += static_cast<char>('a' + i % 26);
    RconDecoder decoder;
    decoder.Feed(qbhost::EncodeRconPacket(7, 0, body));
    std::string joined;
    std::size_t packets = 0;
    while (auto frame = decoder.Next()) {
      EXPECT_EQ(frame->id, 7);
      EXPECT_EQ(frame->type, 0);
      joined += frame->body;
      ++packets;
    }
    EXPECT_FALSE(decoder.failed()) << decoder.error();
    EXPECT_EQ(decoder.buffered(), 0u);
    EXPECT_EQ(joined, body);
    EXPECT_EQ(packets, length == 0 ? 1 : (length + 4085) / 4086) << length;
  }
}
