// How outside text is written into log and output lines (qbhost/escape.h), and
// the log sinks' last guard: no control character reaches a terminal raw, and
// every other character (umlauts, emoji, CJK) stays as it is.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qbhost/escape.h"
#include "qbhost/sinks.h"
#include "support/harness.h"

namespace {

struct EscapeCase {
  const char* name;
  std::string in;
  std::string text;      // EscapeText(in, false)
  std::string controls;  // EscapeControls(in)
};

const std::vector<EscapeCase>& Cases() {
  static const std::vector<EscapeCase> cases{
      {"Ascii", "Hallo Welt", "Hallo Welt", "Hallo Welt"},
      {"C0AndBackslash", "a\\b\nc\x1b[2J\x7f", "a\\\\b\\nc\\x1b[2J\\x7f",
       "a\\b\\x0ac\\x1b[2J\\x7f"},
      {"UmlautsEmojiCjkStay",
       "Gr\xc3\xbc\xc3\x9f"
       "e \xf0\x9f\x90\x89 \xe4\xbd\xa0\xe5\xa5\xbd",
       "Gr\xc3\xbc\xc3\x9f"
       "e \xf0\x9f\x90\x89 \xe4\xbd\xa0\xe5\xa5\xbd",
       "Gr\xc3\xbc\xc3\x9f"
       "e \xf0\x9f\x90\x89 \xe4\xbd\xa0\xe5\xa5\xbd"},
      // U+0080..U+009F in UTF-8: the whole character becomes one escape.
      {"C1Characters", "a\xc2\x80 b\xc2\x9b[31m c\xc2\x9f", "a\\u{80} b\\u{9b}[31m c\\u{9f}",
       "a\\u{80} b\\u{9b}[31m c\\u{9f}"},
      // U+00A0 and U+00FF are printable: the C1 range ends at U+009F.
      {"LatinOneNeighboursStay", "\xc2\xa0\xc3\xbf", "\xc2\xa0\xc3\xbf", "\xc2\xa0\xc3\xbf"},
      // Raw C1 bytes that are not part of a UTF-8 sequence.
      {"StrayC1Bytes",
       "x\x9b"
       "31m\x80\x9f",
       "x\\x9b31m\\x80\\x9f", "x\\x9b31m\\x80\\x9f"},
      // A sequence cut short: its lead byte stays, its continuation byte is a
      // stray C1 byte; a valid U+00DB after it stays.
      {"BrokenSequence",
       "\xe2\x80"
       "A\xc3\x9b",
       "\xe2\\x80A\xc3\x9b", "\xe2\\x80A\xc3\x9b"},
      {"TruncatedLeadThenStrayC1", "\xc3\x28\x85", "\xc3(\\x85", "\xc3(\\x85"},
      // Overlong encodings of C1 controls are not UTF-8: their bytes are
      // escaped where they are C1 bytes.
      {"OverlongC1", "\xe0\x82\x9b", "\xe0\\x82\\x9b", "\xe0\\x82\\x9b"},
      {"BidiControls",
       "\xe2\x80\xaa\xe2\x80\xab\xe2\x80\xac\xe2\x80\xad\xe2\x80\xae"
       "gnp.exe",
       "\\u{202a}\\u{202b}\\u{202c}\\u{202d}\\u{202e}gnp.exe",
       "\\u{202a}\\u{202b}\\u{202c}\\u{202d}\\u{202e}gnp.exe"},
      {"BidiIsolates", "\xe2\x81\xa6x\xe2\x81\xa7y\xe2\x81\xa8z\xe2\x81\xa9",
       "\\u{2066}x\\u{2067}y\\u{2068}z\\u{2069}", "\\u{2066}x\\u{2067}y\\u{2068}z\\u{2069}"},
      // Their neighbours are ordinary punctuation: U+2029 and U+202F, U+2065
      // and U+206A stay.
      {"BidiNeighboursStay", "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa",
       "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa",
       "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"},
      {"Empty", "", "", ""},
  };
  return cases;
}

class Escape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(Escape, WritesControlsOutAndKeepsEverythingElse) {
  const auto& c = GetParam();
  EXPECT_EQ(qbhost::EscapeText(c.in), c.text);
  EXPECT_EQ(qbhost::EscapeControls(c.in), c.controls);
}

INSTANTIATE_TEST_SUITE_P(Host, Escape, ::testing::ValuesIn(Cases()), qbtest::ByName());

TEST(EscapeText, EscapesTheSpaceOnlyWhenAsked) {
  EXPECT_EQ(qbhost::EscapeText("Der Admin \xc2\x85", true), "Der\\x20Admin\\x20\\u{85}");
  EXPECT_EQ(qbhost::EscapeControls("Der Admin"), "Der Admin");
}

// The sink writes the guard's form: a line that reached it unescaped still
// arrives as one line without a control character.
TEST(StreamSink, WritesC1AndBidiControlsEscaped) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), &std::fclose);
  ASSERT_TRUE(file);
  auto sink = std::make_shared<qbhost::StreamSink>(file.get());
  auto log = [&](const std::string& text) {
    spdlog::details::log_msg msg("host", spdlog::level::info, text);
    sink->log(msg);
  };
  log("status \xc2\x9b"
      "31m\xe2\x80\xae"
      "evil\x9b"
      "2J");
  log("Gr\xc3\xbc\xc3\x9f"
      "e \xf0\x9f\x8d\xb0 \xe4\xbd\xa0 \\n stays");
  sink->flush();
  std::rewind(file.get());
  std::string content;
  for (int c; (c = std::fgetc(file.get())) != EOF;) content += static_cast<char>(c);
  EXPECT_EQ(content,
            "status \\u{9b}31m\\u{202e}evil\\x9b2J\n"
            "Gr\xc3\xbc\xc3\x9f"
            "e \xf0\x9f\x8d\xb0 \xe4\xbd\xa0 \\n stays\n");
}

}  // namespace
