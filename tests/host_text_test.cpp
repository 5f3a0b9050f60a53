#include <string>

#include <gtest/gtest.h>

#include "qbhost/standin.h"
#include "support/harness.h"

namespace {

struct Case {
  const char* name;
  std::u16string utf16;
  std::string utf8;
};

class Utf16ToUtf8 : public ::testing::TestWithParam<Case> {};

TEST_P(Utf16ToUtf8, AppliesTheQuestionMarkRule) {
  EXPECT_EQ(qbhost::Utf16ToUtf8(GetParam().utf16), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(Host, Utf16ToUtf8,
                         ::testing::Values(Case{"ascii", u"abc", "abc"},
                                           Case{"umlauts", u"Gr\u00fc\u00dfe",
                                                "Gr\xc3\xbc\xc3\x9f"
                                                "e"},
                                           Case{"astral", u"\U0001F600", "\xf0\x9f\x98\x80"},
                                           Case{"lone_high", std::u16string{u'a', 0xD800, u'b'},
                                                "a?b"},
                                           Case{"lone_low", std::u16string{0xDC00}, "?"},
                                           Case{"high_at_end", std::u16string{u'x', 0xD83D}, "x?"}),
                         qbtest::ByName());

class Utf8ToUtf16 : public ::testing::TestWithParam<Case> {};

TEST_P(Utf8ToUtf16, AppliesTheQuestionMarkRule) {
  EXPECT_EQ(qbhost::Utf8ToUtf16(GetParam().utf8), GetParam().utf16);
}

INSTANTIATE_TEST_SUITE_P(Host, Utf8ToUtf16,
                         ::testing::Values(Case{"umlauts", u"Gr\u00fc\u00dfe",
                                                "Gr\xc3\xbc\xc3\x9f"
                                                "e"},
                                           Case{"astral", u"\U0001F600", "\xf0\x9f\x98\x80"},
                                           Case{"stray_continuation", u"a?b",
                                                "a\x80"
                                                "b"},
                                           Case{"truncated", u"a?", "a\xc3"},
                                           Case{"overlong", u"??", "\xc0\xaf"},
                                           Case{"encoded_surrogate", u"???", "\xed\xa0\x80"},
                                           Case{"above_max", u"????", "\xf4\x90\x80\x80"},
                                           Case{"invalid_lead", u"?", "\xff"}),
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

}  // namespace
