#pragma once

// The built plug-in library, loaded the way the host loads it: copied into the
// server's plug-in folder and loaded and unloaded by the dev server's plug-in
// loader (dlopen, entries by name, calls inside the plug-in's scope, the host
// forgetting the plug-in before dlclose).

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "devserver/plugin_loader.h"
#include "support/world.h"

#ifndef QB_PLUGIN_LIBRARY
#error "QB_PLUGIN_LIBRARY must name the built plug-in library"
#endif

namespace qbtest {

class PluginLibraryTest : public WorldTest {
 protected:
  void SetUp() override {
    WorldTest::SetUp();
    pluginDir_ = root_->path() / "ArkApi" / "Plugins" / "QuellmoorBridge";
    std::filesystem::create_directories(pluginDir_);
    library_ = (pluginDir_ / "QuellmoorBridge.so").string();
    std::filesystem::copy_file(QB_PLUGIN_LIBRARY, library_);
    loader_ = std::make_unique<devserver::PluginLoader>(root_->path());
  }
  void TearDown() override {
    loader_.reset();  // unloads what is still loaded
    WorldTest::TearDown();
  }

  // Empty on success, else why the loader gave up (an exception that left
  // Plugin_Init included).
  std::string TryLoad() { return loader_->Load("QuellmoorBridge"); }
  void Load() { ASSERT_EQ(TryLoad(), ""); }
  void Unload() { ASSERT_EQ(loader_->Unload("QuellmoorBridge"), ""); }
  bool IsLoaded() const { return !loader_->Loaded().empty(); }

  // The message part of each of the plug-in's own lines (after the logger's
  // prefix); the host's lines about loading and unloading are left out.
  std::vector<std::string> Messages(qbtest::CaptureSink& sink) {
    std::vector<std::string> out;
    for (const auto& text : sink.Texts()) {
      auto at = text.find("] [QuellmoorBridge] ");
      if (at != std::string::npos) out.push_back(text.substr(at + 2));
    }
    return out;
  }

  std::filesystem::path pluginDir_;
  std::string library_;
  std::unique_ptr<devserver::PluginLoader> loader_;
};

}  // namespace qbtest
