#include <string>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "plugin/plugin_log.h"
#include "support/harness.h"
#include "support/text_shape.h"

using namespace qb;

namespace {

class Logger : public qbtest::HostTest {};

constexpr std::string_view kPluginLine =
    "##/##/## ##:## [QuellmoorBridge][info] [QuellmoorBridge] hallo true";

TEST_F(Logger, WritesItsOwnPatternWithoutChangingTheHosts) {
  PluginLog::Instance().Create("QuellmoorBridge");
  PluginLog::Instance().Logger()->info("[QuellmoorBridge] hallo {}", true);
  qbhost::HostLogger()->info("host line");
  PluginLog::Instance().Logger()->warn("[QuellmoorBridge] ohne Platzhalter {}");
  auto lines = sink_->Texts();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(qbtest::HasShape(lines[0], kPluginLine)) << lines[0];
  EXPECT_TRUE(qbtest::HasShape(lines[1], "####-##-## ##:##:##.### <host> info: host line"))
      << lines[1];
  EXPECT_NE(lines[2].find("[QuellmoorBridge][warning] [QuellmoorBridge] ohne Platzhalter"),
            std::string::npos)
      << lines[2];
}

TEST_F(Logger, KeepsTheSinkListOfTheMomentItWasCreated) {
  PluginLog::Instance().Create("QuellmoorBridge");
  auto later = std::make_shared<qbtest::CaptureSink>();
  GetLogSinks().push_back(later);              // added after Create: gets nothing
  GetLogSinks().erase(GetLogSinks().begin());  // removed from the host: still served
  PluginLog::Instance().Logger()->info("[QuellmoorBridge] eins");
  EXPECT_EQ(sink_->Texts().size(), 1u);
  EXPECT_TRUE(later->Texts().empty());

  PluginLog::Instance().Create("QuellmoorBridge");  // picks the list as it is now
  PluginLog::Instance().Logger()->info("[QuellmoorBridge] zwei");
  EXPECT_EQ(sink_->Texts().size(), 1u);
  EXPECT_EQ(later->Texts().size(), 1u);
}

TEST_F(Logger, EachSinkKeepsItsOwnLevel) {
  auto warnings = std::make_shared<qbtest::CaptureSink>();
  warnings->set_level(spdlog::level::warn);
  GetLogSinks().push_back(warnings);
  PluginLog::Instance().Create("QuellmoorBridge");
  PluginLog::Instance().Logger()->info("[QuellmoorBridge] info");
  PluginLog::Instance().Logger()->warn("[QuellmoorBridge] warnung");
  EXPECT_EQ(sink_->Texts().size(), 2u);
  const auto lines = warnings->Texts();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[warning] [QuellmoorBridge] warnung"), std::string::npos) << lines[0];
}

TEST_F(Logger, IsNeitherRegisteredNorTheDefault) {
  PluginLog::Instance().Create("QuellmoorBridge");
  EXPECT_EQ(spdlog::get("QuellmoorBridge"), nullptr);
  EXPECT_NE(spdlog::default_logger(), PluginLog::Instance().Logger());
  EXPECT_EQ(PluginLog::Instance().Logger()->flush_level(), spdlog::level::info);
}

}  // namespace
