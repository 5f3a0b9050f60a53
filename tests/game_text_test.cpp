#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "game/engine.h"
#include "support/harness.h"

using namespace qb;

namespace {

// An engine string whose buffer holds exactly `units` (count = units.size()),
// so that ASan catches any read past count.
FString Exact(std::u16string_view units) {
  FString s;
  s.data = static_cast<EngineChar*>(qbhost::EngineMalloc(units.size() * 2, 2));
  std::memcpy(s.data, units.data(), units.size() * 2);
  s.count = s.capacity = static_cast<std::int32_t>(units.size());
  return s;
}

std::u16string UnitsOf(const FString& s) {
  return s.count == 0 ? u""
                      : std::u16string(reinterpret_cast<const char16_t*>(s.data),
                                       static_cast<std::size_t>(s.count));
}

std::string Repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

class Text : public qbtest::HostTest {};

const std::string kGruesse =
    "Gr\xc3\xbc\xc3\x9f"
    "e";

struct ToUtf8Case {
  std::string name;
  std::u16string units;  // all `count` units of the string
  std::string expected;
};

class ToUtf8Text : public qbtest::HostTest, public ::testing::WithParamInterface<ToUtf8Case> {};

TEST_P(ToUtf8Text, ReadsUpToTheFirstNulButNeverPastCount) {
  FString s = Exact(GetParam().units);
  EXPECT_EQ(ToUtf8(s), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Game, ToUtf8Text,
    ::testing::Values(
        ToUtf8Case{"umlauts_7_bytes", std::u16string(u"Gr\u00fc\u00dfe\0", 6), kGruesse},
        ToUtf8Case{"embedded_nul", std::u16string(u"ab\0cd\0", 6), "ab"},
        ToUtf8Case{"no_nul_within_count", u"abc", "abc"},
        ToUtf8Case{"lone_surrogate_becomes_question_mark", std::u16string{u'a', 0xD800, u'b', 0},
                   "a?b"},
        // A NUL early or late in a longer string, and a long string
        // without one.
        ToUtf8Case{"nul_first_of_a_group", std::u16string(u"abcd\0fghij\0", 11), "abcd"},
        ToUtf8Case{"nul_last_of_a_group", std::u16string(u"abcdefg\0ijkl", 12), "abcdefg"},
        ToUtf8Case{"long_without_nul", u"abcdefghijklm", "abcdefghijklm"}),
    qbtest::ByName());

TEST_F(Text, EmptyOrNegativeCountNeverReadsData) {
  for (std::int32_t count : {0, -1}) {
    FString s;
    s.data = reinterpret_cast<EngineChar*>(alignof(EngineChar) * 8);  // unreadable
    s.count = count;
    EXPECT_EQ(ToUtf8(s), "") << count;
    s.data = nullptr;
  }
  EXPECT_EQ(ToUtf8(FString()), "");
}

struct ToFStringCase {
  std::string name;
  std::string text;
  std::u16string expected;  // the units, terminator included; empty: no buffer
};

class ToFStringText : public qbtest::HostTest,
                      public ::testing::WithParamInterface<ToFStringCase> {};

TEST_P(ToFStringText, EndsAtTheFirstNul) {
  FString s = ToFString(GetParam().text);
  EXPECT_EQ(s.count, static_cast<std::int32_t>(GetParam().expected.size()));
  EXPECT_EQ(UnitsOf(s), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Game, ToFStringText,
                         ::testing::Values(ToFStringCase{"umlauts_5_units", kGruesse,
                                                         std::u16string(u"Gr\u00fc\u00dfe\0", 6)},
                                           ToFStringCase{"embedded_nul", std::string("ab\0cd", 5),
                                                         std::u16string(u"ab\0", 3)},
                                           ToFStringCase{"malformed_becomes_question_mark",
                                                         "a\xff"
                                                         "b",
                                                         std::u16string(u"a?b\0", 4)},
                                           ToFStringCase{"empty", "", u""}),
                         qbtest::ByName());

// Whether a conversion borrows an engine-heap block depends on the converted
// units plus the terminator (at most 128 inline), not on the source's length.
struct BufferCase {
  std::string name;
  std::string text;
  bool toUtf8;  // else towards FString
  bool takesBlock;
};

class ConversionBuffer : public qbtest::HostTest,
                         public ::testing::WithParamInterface<BufferCase> {};

TEST_P(ConversionBuffer, TakesABlockOnlyAbove128UnitsAndGivesItBack) {
  const auto& c = GetParam();
  const std::uint64_t extra = c.takesBlock ? 1 : 0;
  if (c.toUtf8) {
    qbhost::HostString source(c.text);
    auto before = qbhost::Heap();
    EXPECT_EQ(ToUtf8(source.get()), c.text);
    EXPECT_EQ(qbhost::Heap().allocations, before.allocations + extra);
    EXPECT_EQ(qbhost::Heap().liveBlocks, before.liveBlocks);
  } else {
    auto before = qbhost::Heap();
    FString result = ToFString(c.text);
    EXPECT_EQ(qbhost::ToUtf8(result), c.text);
    EXPECT_EQ(qbhost::Heap().allocations, before.allocations + 1 + extra);  // 1: the result
    EXPECT_EQ(qbhost::Heap().liveBlocks, before.liveBlocks + 1);
  }
}

const std::string kUe = "\xc3\xbc";            // 2 bytes, 1 unit
const std::string kGrin = "\xf0\x9f\x98\x80";  // 4 bytes, 2 units

INSTANTIATE_TEST_SUITE_P(
    Game, ConversionBuffer,
    ::testing::Values(
        BufferCase{"utf8_127_bytes", std::string(127, 'a'), true, false},
        BufferCase{"utf8_128_bytes", std::string(128, 'a'), true, true},
        BufferCase{"utf8_127_bytes_from_64_units", Repeat(kUe, 63) + "a", true, false},
        BufferCase{"utf8_128_bytes_from_64_units", Repeat(kUe, 64), true, true},
        BufferCase{"fstring_127_units", std::string(127, 'a'), false, false},
        BufferCase{"fstring_128_units", std::string(128, 'a'), false, true},
        BufferCase{"fstring_127_units_from_254_bytes", Repeat(kUe, 127), false, false},
        BufferCase{"fstring_127_units_of_pairs", Repeat(kGrin, 63) + "a", false, false},
        BufferCase{"fstring_128_units_of_pairs", Repeat(kGrin, 64), false, true}),
    qbtest::ByName());

TEST_F(Text, ConversionReleasesItsBlockWhenItFails) {
  const std::string longText(200, 'x');
  qbhost::HostString source(longText);
  const auto live = qbhost::Heap().liveBlocks;
  // The block is taken, then the result's own buffer fails.
  qbhost::FailNthAllocation(2);
  EXPECT_THROW(ToFString(longText), std::bad_alloc);
  EXPECT_EQ(qbhost::Heap().liveBlocks, live);
  // The block itself fails.
  qbhost::FailNthAllocation(1);
  EXPECT_THROW(ToFString(longText), std::bad_alloc);
  qbhost::FailNthAllocation(1);
  EXPECT_THROW(ToUtf8(source.get()), std::bad_alloc);
  EXPECT_EQ(qbhost::Heap().liveBlocks, live);
}

// A host conversion that misreports is an error in either direction, for a
// text in the inline buffer and one in an engine-heap block: never text with
// a stale or missing tail, never a write outside the buffer, nothing leaked.
struct ConversionFaultCase {
  const char* name;
  qbhost::ConversionFault fault;
  std::string reason;  // part of the error's text
};

class FaultyHostConversion : public qbtest::HostTest,
                             public ::testing::WithParamInterface<ConversionFaultCase> {};

TEST_P(FaultyHostConversion, IsAnError) {
  const auto& c = GetParam();
  for (const std::string& text : {std::string("Hallo"), std::string(200, 'x')}) {
    SCOPED_TRACE(text.size());
    qbhost::HostString source(text);
    const auto live = qbhost::Heap().liveBlocks;
    qbhost::SetConversionFault(c.fault);
    const auto expectFailure = [&](auto convert) {
      try {
        convert();
        ADD_FAILURE() << "converted in spite of the fault";
      } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_EQ(what.rfind("Textumwandlung des Hosts fehlgeschlagen: ", 0), 0u) << what;
        EXPECT_NE(what.find(c.reason), std::string::npos) << what;
      }
    };
    expectFailure([&] { return ToUtf8(source.get()); });
    expectFailure([&] { return ToFString(text); });
    qbhost::SetConversionFault(qbhost::ConversionFault::None);
    EXPECT_EQ(qbhost::Heap().liveBlocks, live);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Game, FaultyHostConversion,
    ::testing::Values(ConversionFaultCase{"negative_length",
                                          qbhost::ConversionFault::NegativeLength, "Laenge -1"},
                      ConversionFaultCase{"length_without_room_for_the_terminator",
                                          qbhost::ConversionFault::HugeLength, "Laenge 2147483647"},
                      ConversionFaultCase{"fewer_units_than_announced",
                                          qbhost::ConversionFault::LengthOneMore, " statt "},
                      ConversionFaultCase{"more_units_than_announced",
                                          qbhost::ConversionFault::LengthOneLess, "Ziel zu klein"},
                      ConversionFaultCase{"null_result", qbhost::ConversionFault::NullResult,
                                          "Ziel zu klein"}),
    qbtest::ByName());

}  // namespace
