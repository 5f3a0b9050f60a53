// The command registry: chat callbacks, RCON commands and timer callbacks by
// id, each remembered with the plug-in that registered it. Dispatch runs the
// callbacks from a snapshot without holding the lock, so a callback may
// register or remove commands itself. The journal keeps only the latest
// kJournalEntries: load/unload cycles for weeks must not grow it.

#include <algorithm>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "host_internal.h"
#include "qbhost/escape.h"
#include "qbhost/standin.h"

namespace qbhost {
namespace {

thread_local PluginId currentPlugin = 0;

constexpr std::size_t kJournalEntries = 256;

// RCON words match without regard to case; callback ids match exactly.
bool Matches(CommandKind kind, std::string_view a, std::string_view b) {
  return kind == CommandKind::Rcon ? Lower(a) == Lower(b) : a == b;
}

struct Entry {
  CommandKind kind;
  std::string id;
  PluginId owner;
  std::variant<AsaApi::ChatCallback, AsaApi::RconCallback, AsaApi::TimerCallback> callback;
};

struct Registry final : AsaApi::ICommands {
  void RegisterRconCommand(const FString& word, const AsaApi::RconCallback& callback) override {
    Add(CommandKind::Rcon, word, callback);
  }
  void RegisterTimerCallback(const FString& id, const AsaApi::TimerCallback& callback) override {
    Add(CommandKind::Timer, id, callback);
  }
  void RegisterChatCallback(const FString& id, const AsaApi::ChatCallback& callback) override {
    Add(CommandKind::Chat, id, callback);
  }
  bool UnregisterRconCommand(const FString& word) override {
    return Remove(CommandKind::Rcon, word);
  }
  bool UnregisterTimerCallback(const FString& id) override {
    return Remove(CommandKind::Timer, id);
  }
  bool UnregisterChatCallback(const FString& id) override { return Remove(CommandKind::Chat, id); }

  // A copy: dispatch runs the callbacks without the lock.
  std::vector<Entry> Of(CommandKind kind) {
    std::lock_guard lock(mutex);
    std::vector<Entry> out;
    std::copy_if(entries.begin(), entries.end(), std::back_inserter(out),
                 [&](const Entry& e) { return e.kind == kind; });
    return out;
  }

  template <class F>
  void Add(CommandKind kind, const FString& id, const F& callback) {
    std::string text = ToUtf8(id);
    std::lock_guard lock(mutex);
    Record({true, kind, text, false});
    // The first registration under an id keeps it; a second one is refused.
    if (Find(kind, text) == entries.end())
      entries.push_back({kind, std::move(text), currentPlugin, callback});
  }

  bool Remove(CommandKind kind, const FString& id) {
    std::string text = ToUtf8(id);
    std::lock_guard lock(mutex);
    if (auto fault = removalFaults.find(kind); fault != removalFaults.end()) {
      const std::string message = std::move(fault->second);
      removalFaults.erase(fault);
      throw std::runtime_error(message);
    }
    auto it = Find(kind, text);
    bool matched = it != entries.end();
    if (matched) entries.erase(it);
    Record({false, kind, std::move(text), matched});
    return matched;
  }

  // With the mutex held.
  std::vector<Entry>::iterator Find(CommandKind kind, std::string_view id) {
    return std::find_if(entries.begin(), entries.end(),
                        [&](const Entry& e) { return e.kind == kind && Matches(kind, e.id, id); });
  }

  void Record(RegistryEvent event) {
    if (journal.size() == kJournalEntries) journal.pop_front();
    journal.push_back(std::move(event));
  }

  std::mutex mutex;
  std::vector<Entry> entries;
  std::deque<RegistryEvent> journal;
  std::map<CommandKind, std::string> removalFaults;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

PluginScope::PluginScope(PluginId id) : previous_(currentPlugin) {
  currentPlugin = id;
}
PluginScope::~PluginScope() {
  currentPlugin = previous_;
}
PluginId CurrentPlugin() {
  return currentPlugin;
}

void ForgetPlugin(PluginId id) {
  {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.entries, [&](const Entry& e) { return e.owner == id; });
  }
  detail::DropRequestsOf(id);
}

std::vector<RegistryEvent> RegistryJournal() {
  auto& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  return {r.journal.begin(), r.journal.end()};
}
std::vector<std::string> RegisteredIds(CommandKind kind) {
  std::vector<std::string> ids;
  for (const auto& e : TheRegistry().Of(kind)) ids.push_back(e.id);
  return ids;
}
void ResetRegistry() {
  auto& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  r.entries.clear();
  r.journal.clear();
  r.removalFaults.clear();
}
void FailRemoval(CommandKind kind, std::string message) {
  auto& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  r.removalFaults[kind] = std::move(message);
}

bool DispatchChat(AShooterPlayerController* controller, FString* text, int mode, int platform,
                  bool spamCheck, bool commandExecuted) {
  bool suppress = false;
  for (auto& e : TheRegistry().Of(CommandKind::Chat)) {
    PluginScope scope(e.owner);
    const auto& callback = std::get<AsaApi::ChatCallback>(e.callback);
    suppress = callback(controller, text, mode, platform, spamCheck, commandExecuted) || suppress;
  }
  return suppress;
}

bool DispatchRcon(RCONClientConnection* connection, RCONPacket* packet, UWorld* world,
                  bool authenticated) {
  if (!authenticated || packet == nullptr) return false;
  std::string body = ToUtf8(packet->body);
  std::string_view word(body);
  word = word.substr(0, word.find(' '));
  for (auto& e : TheRegistry().Of(CommandKind::Rcon)) {
    if (!Matches(CommandKind::Rcon, e.id, word)) continue;
    PluginScope scope(e.owner);
    std::get<AsaApi::RconCallback>(e.callback)(connection, packet, world);
    return true;
  }
  return false;
}

void Tick() {
  detail::DeliverCompletions();
  for (auto& e : TheRegistry().Of(CommandKind::Timer)) {
    PluginScope scope(e.owner);
    std::get<AsaApi::TimerCallback>(e.callback)();
  }
}

}  // namespace qbhost

AsaApi::ICommands& AsaApi::GetCommands() {
  return qbhost::TheRegistry();
}
