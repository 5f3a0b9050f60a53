#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "plugin/plugin_log.h"
#include "support/harness.h"

using namespace qb;

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
        // A control byte in either value would make the host refuse every
        // request: refused here, with the key named and the value not shown.
        Case{"token_carriage_return",
             R"({"webhookBaseUrl":"u","token":"ab\rc","map":"m"})",
             kError,
             kUnreadable + "\"token\" enthaelt das Steuerzeichen 0x0D an Stelle 3",
             false,
             {true, "u", "ab\rc", "m", ""}},
        Case{"token_line_feed",
             R"({"webhookBaseUrl":"u","token":"t\n"})",
             kError,
             kUnreadable + "\"token\" enthaelt das Steuerzeichen 0x0A an Stelle 2",
             false,
             {true, "u", "t\n", "", ""}},
        Case{"token_nul",
             R"({"webhookBaseUrl":"u","token":"\u0000t"})",
             kError,
             kUnreadable + "\"token\" enthaelt das Steuerzeichen 0x00 an Stelle 1",
             false,
             {true, "u", std::string("\0t", 2), "", ""}},
        Case{"token_delete",
             R"({"webhookBaseUrl":"u","token":"t\u007f"})",
             kError,
             kUnreadable + "\"token\" enthaelt das Steuerzeichen 0x7F an Stelle 2",
             false,
             {true, "u", "t\x7f", "", ""}},
        Case{"url_tab",
             R"({"webhookBaseUrl":"http://h\t/","token":"t\u001f"})",
             kError,
             kUnreadable + "\"webhookBaseUrl\" enthaelt das Steuerzeichen 0x09 an Stelle 9",
             false,
             {true, "http://h\t/", "t\x1f", "", ""}},
        Case{"control_byte_even_when_disabled",
             R"({"webhookBaseUrl":"u","token":"t\r","enabled":false})",
             kError,
             kUnreadable + "\"token\" enthaelt das Steuerzeichen 0x0D",
             false,
             {true, "u", "t\r", "", ""}},
        Case{"non_ascii_token_is_fine",
             R"({"webhookBaseUrl":"u","token":"gr\u00fc\u00df"})",
             kInfo,
             "[QuellmoorBridge] Konfiguration geladen. Map: ",
             true,
             {true, "u", "gr\xc3\xbc\xc3\x9f", "", ""}},
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

// Whatever sits at the path and is not a regular file counts as no file:
// reading a FIFO would wait for a writer for ever, and the server's start
// with it.
struct NotRegularCase {
  const char* name;
  void (*make)(const std::filesystem::path& at);
};

// Should the loader wait on a FIFO, a writer comes along after 5 s and ends
// the wait with an empty document: the test then fails instead of hanging.
class Unblocker {
 public:
  explicit Unblocker(std::filesystem::path fifo)
      : fifo_(std::move(fifo)), thread_([this] {
          std::unique_lock lock(mutex_);
          if (done_.wait_for(lock, std::chrono::seconds(5), [this] { return stop_; })) return;
          const int fd = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
          if (fd >= 0) {
            fired_ = true;
            ::close(fd);
          }
        }) {}
  ~Unblocker() { Stop(); }
  // True when the loader had to be freed.
  bool Stop() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    done_.notify_all();
    if (thread_.joinable()) thread_.join();
    return fired_;
  }

 private:
  std::filesystem::path fifo_;
  std::mutex mutex_;
  std::condition_variable done_;
  bool stop_ = false;
  bool fired_ = false;
  std::thread thread_;
};

class LoadConfigNotRegular : public qbtest::HostTest,
                             public ::testing::WithParamInterface<NotRegularCase> {};

TEST_P(LoadConfigNotRegular, CountsAsMissingAndNeverWaits) {
  const auto dir = root_->path() / "ArkApi" / "Plugins" / "QuellmoorBridge";
  std::filesystem::create_directories(dir);
  const auto file = dir / "config.json";
  GetParam().make(file);
  PluginState = kBefore;
  PluginLog::Instance().Create("QuellmoorBridge");
  Unblocker unblocker(file);
  LoadConfig();
  EXPECT_FALSE(unblocker.Stop()) << "the loader waited for a writer";
  auto lines = sink_->Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, kWarn);
  EXPECT_NE(lines[0].text.find("[QuellmoorBridge] Keine config.json gefunden unter " +
                               file.string() + " - Plugin bleibt inaktiv."),
            std::string::npos)
      << lines[0].text;
  EXPECT_FALSE(PluginState.enabled);
  EXPECT_EQ(PluginState.token, "old-token");
}

INSTANTIATE_TEST_SUITE_P(Files, LoadConfigNotRegular,
                         ::testing::Values(NotRegularCase{"fifo",
                                                          [](const std::filesystem::path& at) {
                                                            ASSERT_EQ(::mkfifo(at.c_str(), 0600),
                                                                      0);
                                                          }},
                                           NotRegularCase{"directory",
                                                          [](const std::filesystem::path& at) {
                                                            std::filesystem::create_directory(at);
                                                          }},
                                           NotRegularCase{"device",
                                                          [](const std::filesystem::path& at) {
                                                            std::filesystem::create_symlink(
                                                                "/dev/zero", at);
                                                          }}),
                         qbtest::ByName());

}  // namespace
