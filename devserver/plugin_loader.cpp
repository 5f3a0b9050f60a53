#include "devserver/plugin_loader.h"

#include <dlfcn.h>

#include <algorithm>
#include <exception>

#include "qbhost/escape.h"

namespace devserver {
namespace {

using Entry = void (*)();

Entry FindEntry(void* handle, const char* name) {
  // POSIX lets a data pointer from dlsym be converted to a function pointer.
  return reinterpret_cast<Entry>(dlsym(handle, name));
}

bool ValidName(const std::string& name) {
  return !name.empty() && name.front() != '.' && name.find('/') == std::string::npos &&
         name.find('\\') == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace

PluginLoader::PluginLoader(std::filesystem::path root)
    : pluginsDir_(std::move(root) / "ArkApi" / "Plugins") {}

PluginLoader::~PluginLoader() {
  UnloadAll();
}

std::filesystem::path PluginLoader::LibraryPath(const std::string& name) const {
  return pluginsDir_ / name / (name + ".so");
}

std::string PluginLoader::Load(const std::string& name) {
  auto log = qbhost::HostLogger();
  auto fail = [&](std::string why) {
    // The name may come from an RCON client: escaped, it cannot forge a line.
    log->error("Plugin {} not loaded: {}", qbhost::EscapeText(name), qbhost::EscapeText(why));
    return why;
  };
  if (!ValidName(name)) return fail("not a plug-in name");
  if (loaded_.contains(name)) return fail("already loaded");

  std::filesystem::path path = LibraryPath(name);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return fail("no library at " + path.string());
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* error = dlerror();
    return fail(error != nullptr ? error : "dlopen failed");
  }
  Entry init = FindEntry(handle, "Plugin_Init");
  Entry unload = FindEntry(handle, "Plugin_Unload");
  if (init == nullptr || unload == nullptr) {
    dlclose(handle);
    return fail(std::string("entry ") + (init == nullptr ? "Plugin_Init" : "Plugin_Unload") +
                " missing in " + path.string());
  }

  qbhost::PluginId id = nextId_++;
  try {
    qbhost::PluginScope scope(id);
    init();
  } catch (const std::exception& e) {
    // The host survives a throwing entry; whatever the plug-in registered
    // before it threw goes with it.
    qbhost::ForgetPlugin(id);
    dlclose(handle);
    return fail(std::string("Plugin_Init threw: ") + e.what());
  } catch (...) {
    qbhost::ForgetPlugin(id);
    dlclose(handle);
    return fail("Plugin_Init threw a non-standard exception");
  }
  loaded_.emplace(name, Plugin{id, handle, unload, nextOrder_++});
  log->info("Plugin {} loaded from {}", qbhost::EscapeText(name),
            qbhost::EscapeText(path.string()));
  return {};
}

std::string PluginLoader::Unload(const std::string& name) {
  auto it = loaded_.find(name);
  if (it == loaded_.end()) {
    std::string why = "not loaded";
    qbhost::HostLogger()->error("Plugin {} not unloaded: {}", qbhost::EscapeText(name), why);
    return why;
  }
  Close(it->first, it->second);
  loaded_.erase(it);
  return {};
}

void PluginLoader::Close(const std::string& name, Plugin& plugin) {
  auto log = qbhost::HostLogger();
  try {
    qbhost::PluginScope scope(plugin.id);
    plugin.unload();
  } catch (const std::exception& e) {
    log->error("Plugin {}: Plugin_Unload threw: {}", name, qbhost::EscapeText(e.what()));
  } catch (...) {
    log->error("Plugin {}: Plugin_Unload threw a non-standard exception", name);
  }
  // Registrations and pending completions must be gone before the code is.
  qbhost::ForgetPlugin(plugin.id);
  if (dlclose(plugin.handle) != 0) {
    const char* error = dlerror();
    log->warn("Plugin {}: dlclose failed: {}", name,
              qbhost::EscapeText(error != nullptr ? error : "?"));
  }
  log->info("Plugin {} unloaded", name);
}

void PluginLoader::LoadAll() {
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(pluginsDir_, ec)) {
    std::string name = entry.path().filename().string();
    if (entry.is_directory(ec) && std::filesystem::is_regular_file(LibraryPath(name), ec)) {
      names.push_back(name);
    }
  }
  if (names.empty()) {
    qbhost::HostLogger()->warn("No plug-ins found in {}", qbhost::EscapeText(pluginsDir_.string()));
    return;
  }
  std::sort(names.begin(), names.end());
  for (const auto& name : names) Load(name);
}

void PluginLoader::UnloadAll() {
  while (!loaded_.empty()) {
    auto last = std::max_element(loaded_.begin(), loaded_.end(), [](const auto& a, const auto& b) {
      return a.second.order < b.second.order;
    });
    Close(last->first, last->second);
    loaded_.erase(last);
  }
}

std::vector<std::string> PluginLoader::Loaded() const {
  std::vector<std::string> names;
  for (const auto& [name, plugin] : loaded_) names.push_back(name);
  return names;
}

}  // namespace devserver
