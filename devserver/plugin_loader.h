#pragma once

// Loads and unloads plug-ins the way the AsaApi host does: each plug-in is
// DIR/ArkApi/Plugins/<Name>/<Name>.so with the C entries Plugin_Init and
// Plugin_Unload. Every call into a plug-in runs inside a qbhost::PluginScope
// so that its registrations and requests are tagged with its id; unloading
// calls Plugin_Unload, then lets the host forget whatever the plug-in left
// registered or pending, and only then closes the library, so no callback of
// it can run after its code is gone.
//
// Failures (no such file, a dlopen error, a missing entry, an exception from an
// entry) are logged on the host logger and returned as text; nothing throws.
// Not thread-safe: the game thread owns it.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "qbhost/standin.h"

namespace devserver {

class PluginLoader {
 public:
  explicit PluginLoader(std::filesystem::path root);
  ~PluginLoader();  // unloads what is still loaded
  PluginLoader(const PluginLoader&) = delete;
  PluginLoader& operator=(const PluginLoader&) = delete;

  // Empty on success, else why the plug-in was not loaded.
  std::string Load(const std::string& name);
  // Empty on success, else why nothing was unloaded.
  std::string Unload(const std::string& name);
  // Loads every plug-in folder that holds its library, in name order.
  void LoadAll();
  // Unloads every loaded plug-in, the last loaded first.
  void UnloadAll();

  std::vector<std::string> Loaded() const;
  std::filesystem::path LibraryPath(const std::string& name) const;

 private:
  struct Plugin {
    qbhost::PluginId id;
    void* handle;
    void (*unload)();
    std::uint64_t order;
  };
  void Close(const std::string& name, Plugin& plugin);

  std::filesystem::path pluginsDir_;
  std::map<std::string, Plugin> loaded_;
  qbhost::PluginId nextId_ = 1;
  std::uint64_t nextOrder_ = 0;
};

}  // namespace devserver
