#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "bridge/base64.h"
#include "support/base64_encode.h"

using namespace qb;

namespace {

using namespace std::string_literals;
const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

TEST(Base64, Rules) {
  const std::optional<std::string> invalid;
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"", ""s},
      {"= \r\n==  \n\r=", ""s},  // nothing but skipped bytes
      {"QQ==", "A"s},
      {"QQ", "A"s},
      {"Q=Q", "A"s},
      {"QR==", "A"s},  // dropped bits need not be 0
      {"Q", ""s},
      {"Q===", ""s},
      {"QQ==QQ==", "\x41\x04\x10"s},  // "=" is no end
      {"Zm9vYmE=", "fooba"s},
      {"+/+/", "\xfb\xff\xbf"s},
      {"Zm9v\r\nYmFy\r\n", "foobar"s},
      {" Zm 9v Ym Fy ", "foobar"s},
      {"Zm9v\tYmFy", invalid},
      {"Zm9-", invalid},
      {"_m9v", invalid},
      {"Zm9v.", invalid},
      {"Zm9v\0YmFy"s, invalid},
      {"Zm9v\x80", invalid},
      {"\xffZm9v", invalid},
      {"Zm9v\xc3\xa4", invalid},
      {"-Zm9vYmFyZm9vYmFy", invalid}};  // no partial output
  for (const auto& [input, expected] : cases) EXPECT_EQ(DecodeBase64(input), expected) << input;
}

// A skipped byte at any offset within a group must decode like the clean text,
// and an invalid byte anywhere spoils the whole input.
TEST(Base64, EveryPositionOfAnOddByteInALongInput) {
  const std::string data =
      "Das Moor liegt still unter dem Mond, {und} nichts regt sich. 0123456789";
  const std::string clean = qbtest::EncodeBase64(data);
  for (const char odd : {'\n', '\r', ' ', '=', '\t', '-', '\x80', '\0'}) {
    const bool skipped = odd == '\n' || odd == '\r' || odd == ' ' || odd == '=';
    for (std::size_t at = 0; at <= clean.size(); ++at) {
      const std::string text = clean.substr(0, at) + odd + clean.substr(at);
      ASSERT_EQ(DecodeBase64(text), skipped ? std::optional(data) : std::nullopt)
          << "byte " << int{odd} << " at " << at;
    }
  }
}

TEST(Base64, MatchesTheByteWiseRuleOnRandomInput) {
  // Mostly alphabet, with layout bytes and the odd invalid byte mixed in.
  const std::string symbols = kAlphabet + kAlphabet + "\n\r =\n\r =";
  std::mt19937 rng(20240611);
  int invalid = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text(rng() % 160, '\0');
    for (auto& c : text) {
      c = rng() % 400 == 0 ? static_cast<char>(rng()) : symbols[rng() % symbols.size()];
    }
    const auto expected = qbtest::ReferenceDecodeBase64(text);
    invalid += !expected;
    ASSERT_EQ(DecodeBase64(text), expected) << "input: " << text;
  }
  EXPECT_GT(invalid, 100);  // both verdicts were exercised
}

}  // namespace
