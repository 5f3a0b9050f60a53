#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "qbhost/standin.h"
#include "support/harness.h"

namespace {

struct TextCase {
  const char* name;
  std::u16string utf16;
  std::string utf8;
};

class Utf16ToUtf8 : public ::testing::TestWithParam<TextCase> {};

TEST_P(Utf16ToUtf8, AppliesTheQuestionMarkRule) {
  EXPECT_EQ(qbhost::Utf16ToUtf8(GetParam().utf16), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Host, Utf16ToUtf8,
    ::testing::Values(TextCase{"ascii", u"abc", "abc"},
                      TextCase{"umlauts", u"Gr\u00fc\u00dfe",
                               "Gr\xc3\xbc\xc3\x9f"
                               "e"},
                      TextCase{"astral", u"\U0001F600", "\xf0\x9f\x98\x80"},
                      TextCase{"lone_high", std::u16string{u'a', 0xD800, u'b'}, "a?b"},
                      TextCase{"lone_low", std::u16string{0xDC00}, "?"},
                      TextCase{"high_at_end", std::u16string{u'x', 0xD83D}, "x?"},
                      // Longer runs of ASCII are converted eight units at
                      // a time: what follows a run must still be found.
                      TextCase{"long_mixed", u"Treffen am s\u00fcdlichen Tor, bringt Seile!",
                               "Treffen am s\xc3\xbc"
                               "dlichen Tor, bringt Seile!"},
                      TextCase{"lone_after_run",
                               u"abcdefghi\xD800"
                               u"ABCDEFGH",
                               "abcdefghi?ABCDEFGH"},
                      TextCase{"pair_across_block",
                               u"abcdefg\U0001F600"
                               u"ABCDEFGH",
                               "abcdefg\xf0\x9f\x98\x80"
                               "ABCDEFGH"}),
    qbtest::ByName());

class Utf8ToUtf16 : public ::testing::TestWithParam<TextCase> {};

TEST_P(Utf8ToUtf16, AppliesTheQuestionMarkRule) {
  EXPECT_EQ(qbhost::Utf8ToUtf16(GetParam().utf8), GetParam().utf16);
}

INSTANTIATE_TEST_SUITE_P(Host, Utf8ToUtf16,
                         ::testing::Values(TextCase{"umlauts", u"Gr\u00fc\u00dfe",
                                                    "Gr\xc3\xbc\xc3\x9f"
                                                    "e"},
                                           TextCase{"astral", u"\U0001F600", "\xf0\x9f\x98\x80"},
                                           TextCase{"stray_continuation", u"a?b",
                                                    "a\x80"
                                                    "b"},
                                           TextCase{"truncated", u"a?", "a\xc3"},
                                           TextCase{"overlong", u"??", "\xc0\xaf"},
                                           TextCase{"encoded_surrogate", u"???", "\xed\xa0\x80"},
                                           TextCase{"above_max", u"????", "\xf4\x90\x80\x80"},
                                           TextCase{"invalid_lead", u"?", "\xff"},
                                           TextCase{"long_mixed",
                                                    u"Treffen am s\u00fcdlichen Tor, bringt Seile!",
                                                    "Treffen am s\xc3\xbc"
                                                    "dlichen Tor, bringt Seile!"},
                                           TextCase{"truncated_after_run", u"abcdefgh?ABCDEFGH",
                                                    "abcdefgh\xc3"
                                                    "ABCDEFGH"},
                                           TextCase{"astral_across_block",
                                                    u"abcdefg\U0001F600"
                                                    u"ABCDEFGH",
                                                    "abcdefg\xf0\x9f\x98\x80"
                                                    "ABCDEFGH"}),
                         qbtest::ByName());

TEST(HostFString, EmptyTextOwnsNoBuffer) {
  auto before = qbhost::Heap();
  qbhost::HostString empty("");
  EXPECT_EQ(empty.get().data, nullptr);
  EXPECT_EQ(empty.get().count, 0);
  EXPECT_EQ(qbhost::Heap().liveBlocks, before.liveBlocks);
}

TEST(HostFString, CountIncludesTheTerminator) {
  auto before = qbhost::Heap();
  {
    qbhost::HostString text(
        "Gr\xc3\xbc\xc3\x9f"
        "e");
    EXPECT_EQ(text.get().count, 6);
    EXPECT_EQ(text.get().capacity, 6);
    EXPECT_EQ(text.get().data[5], 0);
    EXPECT_EQ(qbhost::Heap().liveBytes, before.liveBytes + 12);
    EXPECT_EQ(qbhost::ToUtf8(text.get()),
              "Gr\xc3\xbc\xc3\x9f"
              "e");
  }
  EXPECT_EQ(qbhost::Heap().liveBlocks, before.liveBlocks);
}

TEST(HostFString, ConvertRefusesATooSmallDestination) {
  std::u16string src = u"abc\u00fc";
  char dest[4];
  EXPECT_EQ(UE::Core::Private::Convert(dest, 4, src.data(), 4), nullptr);
  char fits[5];
  EXPECT_EQ(UE::Core::Private::Convert(fits, 5, src.data(), 4), fits);
}

TEST(HostFString, ConvertMeasuresALongTextAgainstItsDestination) {
  // 30 ASCII units and one umlaut: 32 bytes in UTF-8.
  const std::u16string src = u"abcdefghijklmnopqrstuvwxyz0123\u00fc";
  const auto len = static_cast<std::int32_t>(src.size());
  char tooSmall[31];
  EXPECT_EQ(UE::Core::Private::Convert(tooSmall, 31, src.data(), len), nullptr);
  char exact[32];
  ASSERT_EQ(UE::Core::Private::Convert(exact, 32, src.data(), len), exact);
  EXPECT_EQ(std::string(exact, 32), "abcdefghijklmnopqrstuvwxyz0123\xc3\xbc");

  const std::string utf8(exact, 32);
  char16_t units[31];
  EXPECT_EQ(UE::Core::Private::Convert(units, 30, utf8.data(), 32), nullptr);
  ASSERT_EQ(UE::Core::Private::Convert(units, 31, utf8.data(), 32), units);
  EXPECT_EQ(std::u16string(units, 31), src);
}

}  // namespace
