#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/base64.h"
#include "support/base64_encode.h"
#include "support/harness.h"

namespace {

using namespace std::string_literals;

// The decoding rule written the plain way, one byte at a time: the yardstick
// for the decoder's four-at-a-time path.
std::optional<std::string> ReferenceDecode(std::string_view text) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::uint32_t acc = 0;
  int pending = -8;
  std::string out;
  for (const char c : text) {
    if (c == '\n' || c == '\r' || c == ' ' || c == '=') continue;
    const auto value = alphabet.find(c);
    if (value == std::string::npos) return std::nullopt;
    acc = (acc << 6) + static_cast<std::uint32_t>(value);
    pending += 6;
    if (pending >= 0) {
      out.push_back(static_cast<char>((acc >> pending) & 0xFF));
      pending -= 8;
    }
  }
  return out;
}

using qbtest::EncodeBase64;

std::string Bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::string out(n, '\0');
  for (auto& c : out) c = static_cast<char>(rng() & 0xFF);
  return out;
}

struct Case {
  std::string name;
  std::string input;
  std::optional<std::string> expected;  // nullopt: invalid
};

class Rules : public ::testing::TestWithParam<Case> {};

TEST_P(Rules, Decode) {
  const Case& c = GetParam();
  EXPECT_EQ(DecodeBase64(c.input), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Base64, Rules,
    ::testing::Values(
        Case{"Empty", "", ""s}, Case{"OnlySkippedBytes", "= \r\n==  \n\r=", ""s},
        Case{"Padded", "QQ==", "A"s}, Case{"Unpadded", "QQ", "A"s},
        Case{"PaddingInside", "Q=Q", "A"s}, Case{"DroppedBitsNeedNotBeZero", "QR==", "A"s},
        Case{"OneSymbolGivesNothing", "Q", ""s}, Case{"OneSymbolPadded", "Q===", ""s},
        Case{"PaddingIsNotTheEnd", "QQ==QQ==", "\x41\x04\x10"s},
        Case{"ThreeSymbols", "Zm9vYmE=", "fooba"s}, Case{"Group", "Zm9vYmFy", "foobar"s},
        Case{"PlusAndSlash", "+/+/", "\xfb\xff\xbf"s},
        Case{"CrLfLines", "Zm9v\r\nYmFy\r\n", "foobar"s},
        Case{"SpacesInside", " Zm 9v Ym Fy ", "foobar"s}, Case{"Tab", "Zm9v\tYmFy", std::nullopt},
        Case{"TrailingTab", "Zm9vYmFy\t", std::nullopt}, Case{"UrlSafeMinus", "Zm9-", std::nullopt},
        Case{"UrlSafeUnderscore", "_m9v", std::nullopt}, Case{"Dot", "Zm9v.", std::nullopt},
        Case{"Nul", "Zm9v\0YmFy"s, std::nullopt}, Case{"Byte80", "Zm9v\x80", std::nullopt},
        Case{"ByteFF", "\xffZm9v", std::nullopt}, Case{"Utf8Letter", "Zm9v\xc3\xa4", std::nullopt},
        Case{"ValidTextAfterInvalidByte", "-Zm9vYmFyZm9vYmFy", std::nullopt}),
    qbtest::ByName());

// Long inputs run the four-at-a-time path; a skipped byte at any position,
// whatever its offset within a group, must decode like the clean text, and an
// invalid byte at any position must spoil the whole input.
TEST(Base64, EveryPositionOfASkippedByteInALongInput) {
  const std::string data = Bytes(96, 1);
  const std::string clean = EncodeBase64(data);
  ASSERT_EQ(DecodeBase64(clean), data);
  for (const char skipped : {'\n', '\r', ' ', '='}) {
    for (std::size_t at = 0; at <= clean.size(); ++at) {
      std::string text = clean;
      text.insert(at, 1, skipped);
      ASSERT_EQ(DecodeBase64(text), data) << "byte " << int{skipped} << " at " << at;
    }
  }
}

TEST(Base64, EveryPositionOfAnInvalidByteInALongInput) {
  const std::string clean = EncodeBase64(Bytes(96, 2));
  for (const char invalid : {'\t', '-', '\x80', '\0'}) {
    for (std::size_t at = 0; at <= clean.size(); ++at) {
      std::string text = clean;
      text.insert(at, 1, invalid);
      ASSERT_EQ(DecodeBase64(text), std::nullopt) << "byte " << int{invalid} << " at " << at;
    }
  }
}

TEST(Base64, MatchesTheByteWiseRuleOnRandomInput) {
  // Mostly alphabet, with layout bytes and the odd invalid byte mixed in.
  const std::string symbols =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
      "\n\r =\n\r =";
  std::mt19937 rng(20240611);
  std::size_t invalidSeen = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text(rng() % 160, '\0');
    for (auto& c : text) {
      c = (rng() % 400 == 0) ? static_cast<char>(rng() & 0xFF) : symbols[rng() % symbols.size()];
    }
    const auto expected = ReferenceDecode(text);
    if (!expected) ++invalidSeen;
    ASSERT_EQ(DecodeBase64(text), expected) << "input: " << text;
  }
  EXPECT_GT(invalidSeen, 100u);  // both verdicts were really exercised
}

TEST(Base64, DecodesWhatWasEncodedForEveryLength) {
  for (std::size_t n = 0; n < 64; ++n) {
    const std::string data = Bytes(n, static_cast<std::uint32_t>(n));
    EXPECT_EQ(DecodeBase64(EncodeBase64(data)), data) << n << " bytes";
  }
}

}  // namespace
