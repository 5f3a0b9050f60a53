#pragma once

// The built plug-in library, loaded the way the host loads it: copied into the
// server's plug-in folder, opened with dlopen, entries found by name and run
// inside the plug-in's scope, and forgotten by the host before dlclose.

#include <dlfcn.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/world.h"

#ifndef QB_PLUGIN_LIBRARY
#error "QB_PLUGIN_LIBRARY must name the built plug-in library"
#endif

namespace qbtest {

constexpr qbhost::PluginId kPlugin = 7;

class PluginLibraryTest : public WorldTest {
 protected:
  void SetUp() override {
    WorldTest::SetUp();
    pluginDir_ = root_->path() / "ArkApi" / "Plugins" / "QuellmoorBridge";
    std::filesystem::create_directories(pluginDir_);
    library_ = (pluginDir_ / "QuellmoorBridge.so").string();
    std::filesystem::copy_file(QB_PLUGIN_LIBRARY, library_);
  }
  void TearDown() override {
    if (handle_ != nullptr) Unload();
    WorldTest::TearDown();
  }

  void Load() {
    handle_ = dlopen(library_.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    Call("Plugin_Init");
  }

  void Unload() {
    Call("Plugin_Unload");
    qbhost::ForgetPlugin(kPlugin);
    ASSERT_EQ(dlclose(handle_), 0) << dlerror();
    handle_ = nullptr;
  }

  void Call(const char* entry) {
    auto* fn = reinterpret_cast<void (*)()>(dlsym(handle_, entry));
    ASSERT_NE(fn, nullptr) << entry << ": " << dlerror();
    qbhost::PluginScope scope(kPlugin);
    fn();
  }

  // The message part of each plug-in line (after the logger's prefix).
  std::vector<std::string> Messages(qbhost::CaptureSink& sink) {
    std::vector<std::string> out;
    for (const auto& text : sink.Texts()) {
      auto at = text.find("] [QuellmoorBridge] ");
      out.push_back(at == std::string::npos ? text : text.substr(at + 2));
    }
    return out;
  }

  std::filesystem::path pluginDir_;
  std::string library_;
  void* handle_ = nullptr;
};

}  // namespace qbtest
