#include <string>

#include <gtest/gtest.h>

#include "plugin/plugin_log.h"
#include "support/harness.h"

namespace {

using spdlog::level::level_enum;
constexpr level_enum kInfo = spdlog::level::info;
constexpr level_enum kWarn = spdlog::level::warn;
constexpr level_enum kError = spdlog::level::err;

const std::string kIncomplete =
    "[QuellmoorBridge] config.json unvollstaendig (webhookBaseUrl/token fehlen) - Plugin bleibt "
    "inaktiv.";
const std::string kUnreadable = "[QuellmoorBridge] config.json konnte nicht gelesen werden: ";

struct Case {
  const char* name;
  std::string file;
  level_enum level;
  std::string message;  // the whole message; for errors, its exact beginning
  bool enabled;
  PluginConfig strings;  // `enabled` unused
};

// Strings left from before loading: the loader must leave them alone where a
// failure stops it early.
const PluginConfig kBefore{true, "old-url", "old-token", "old-map", "old-version"};

class LoadConfigCase : public qbtest::HostTest, public ::testing::WithParamInterface<Case> {};

TEST_P(LoadConfigCase, LogsOneLineAndStoresWhatItRead) {
  const Case& c = GetParam();
  PluginState = kBefore;
  LoadWith(c.file);
  auto lines = sink_->Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, c.level);
  const std::string& text = lines[0].text;
  auto at = text.find("[QuellmoorBridge] ", text.find(']') + 1);
  ASSERT_NE(at, std::string::npos) << text;
  std::string message = text.substr(at);
  if (c.level == kError) {
    EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
  } else {
    EXPECT_EQ(message, c.message);
  }
  EXPECT_EQ(PluginState.enabled, c.enabled);
  EXPECT_EQ(PluginState.webhookBaseUrl, c.strings.webhookBaseUrl);
  EXPECT_EQ(PluginState.token, c.strings.token);
  EXPECT_EQ(PluginState.map, c.strings.map);
  EXPECT_EQ(PluginState.serverVersion, c.strings.serverVersion);
}

const std::string kFull =
    R"({"webhookBaseUrl":"http://h/","token":"t k","map":"Insel","serverVersion":"1.2"})";

INSTANTIATE_TEST_SUITE_P(
    Outcomes, LoadConfigCase,
    ::testing::Values(
        Case{"complete",
             kFull,
             kInfo,
             "[QuellmoorBridge] Konfiguration geladen. Map: Insel",
             true,
             {true, "http://h/", "t k", "Insel", "1.2"}},
        Case{"no_map",
             R"({"webhookBaseUrl":"u","token":"t"})",
             kInfo,
             "[QuellmoorBridge] Konfiguration geladen. Map: ",
             true,
             {true, "u", "t", "", ""}},
        Case{"blank_token_counts",
             R"({"webhookBaseUrl":"u","token":"  "})",
             kInfo,
             "[QuellmoorBridge] Konfiguration geladen. Map: ",
             true,
             {true, "u", "  ", "", ""}},
        Case{"empty_object", "{}", kWarn, kIncomplete, false, {}},
        Case{"disabled",
             R"({"webhookBaseUrl":"u","token":"t","enabled":false})",
             kWarn,
             kIncomplete,
             false,
             {true, "u", "t", "", ""}},
        Case{"token_case",
             R"({"webhookBaseUrl":"u","Token":"t"})",
             kWarn,
             kIncomplete,
             false,
             {true, "u", "", "", ""}},
        Case{"last_duplicate_wins",
             R"({"webhookBaseUrl":"u","token":"a","token":"b"})",
             kInfo,
             "[QuellmoorBridge] Konfiguration geladen. Map: ",
             true,
             {true, "u", "b", "", ""}},
        Case{"trailing_text",
             kFull + " trailing garbage",
             kInfo,
             "[QuellmoorBridge] Konfiguration geladen. Map: Insel",
             true,
             {true, "http://h/", "t k", "Insel", "1.2"}},
        Case{"bom",
             "\xEF\xBB\xBF" + kFull,
             kInfo,
             "[QuellmoorBridge] Konfiguration geladen. Map: Insel",
             true,
             {true, "http://h/", "t k", "Insel", "1.2"}},
        Case{"empty_file", "", kError, kUnreadable + "[json.exception.parse_error.101]", false,
             kBefore},
        Case{"comment", "// c\n" + kFull, kError, kUnreadable + "[json.exception.parse_error",
             false, kBefore},
        Case{"array", "[1,2]", kError,
             kUnreadable + "[json.exception.type_error.306] cannot use value() with array", false,
             kBefore},
        Case{"null", "null", kError,
             kUnreadable + "[json.exception.type_error.306] cannot use value() with null", false,
             kBefore},
        Case{"token_number",
             R"({"webhookBaseUrl":"u","token":5,"map":"m"})",
             kError,
             kUnreadable + "[json.exception.type_error.302] type must be string, but is number",
             false,
             {true, "u", "old-token", "old-map", "old-version"}},
        Case{"enabled_string",
             R"({"webhookBaseUrl":"u","token":"t","enabled":"true"})",
             kError,
             kUnreadable + "[json.exception.type_error.302] type must be boolean, but is string",
             false,
             {true, "u", "t", "", ""}},
        Case{"enabled_number_without_texts",
             R"({"enabled":1})",
             kError,
             kUnreadable + "[json.exception.type_error.302] type must be boolean, but is number",
             false,
             {true, "", "", "", ""}}),
    qbtest::ByName());

class LoadConfigMissing : public qbtest::HostTest {};

TEST_F(LoadConfigMissing, MissingConfigWarnsWithTheFullPathAndKeepsStrings) {
  PluginState = kBefore;
  PluginLog::Instance().Create("QuellmoorBridge");
  LoadConfig();
  auto lines = sink_->Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, kWarn);
  const std::string path = root_->path().string() + "/ArkApi/Plugins/QuellmoorBridge/config.json";
  EXPECT_EQ(ConfigFilePath(), path);
  EXPECT_NE(lines[0].text.find("[QuellmoorBridge] Keine config.json gefunden unter " + path +
                               " - Plugin bleibt inaktiv."),
            std::string::npos)
      << lines[0].text;
  EXPECT_FALSE(PluginState.enabled);
  EXPECT_EQ(PluginState.token, "old-token");
}

}  // namespace
