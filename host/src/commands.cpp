// The command registry: chat callbacks, RCON commands and timer callbacks by
// id, each remembered with the plug-in that registered it. Dispatch runs the
// callbacks from a snapshot without holding the lock, so a callback may
// register or remove commands itself.
//
// The journal of registrations and removals keeps only the latest
// kJournalEntries: a server that loads and unloads plug-ins for weeks must not
// grow it, and readers only look at what just happened.

#include <algorithm>
#include <cctype>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "host_internal.h"
#include "qbhost/standin.h"

namespace qbhost {
namespace {

thread_local PluginId currentPlugin = 0;

constexpr std::size_t kJournalEntries = 256;

bool SameWord(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

struct Entry {
  CommandKind kind;
  std::string id;
  PluginId owner;
  std::variant<AsaApi::ChatCallback, AsaApi::RconCallback, AsaApi::TimerCallback> callback;
};

class Registry final : public AsaApi::ICommands {
 public:
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

  template <class F>
  std::vector<std::pair<PluginId, F>> Snapshot(CommandKind kind) {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<PluginId, F>> out;
    for (const auto& e : entries_) {
      if (e.kind == kind) out.emplace_back(e.owner, std::get<F>(e.callback));
    }
    return out;
  }

  std::pair<PluginId, AsaApi::RconCallback> FindRcon(std::string_view word) {
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_) {
      if (e.kind == CommandKind::Rcon && SameWord(e.id, word)) {
        return {e.owner, std::get<AsaApi::RconCallback>(e.callback)};
      }
    }
    return {0, nullptr};
  }

  std::vector<RegistryEvent> Journal() {
    std::lock_guard lock(mutex_);
    return {journal_.begin(), journal_.end()};
  }

  std::vector<std::string> Ids(CommandKind kind) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& e : entries_) {
      if (e.kind == kind) out.push_back(e.id);
    }
    return out;
  }

  void Reset() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    journal_.clear();
    removalFaults_.clear();
  }

  void FailRemoval(CommandKind kind, std::string message) {
    std::lock_guard lock(mutex_);
    removalFaults_[kind] = std::move(message);
  }

  void Forget(PluginId owner) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const Entry& e) { return e.owner == owner; });
  }

 private:
  // RCON words match without regard to case; callback ids match exactly.
  static bool Matches(CommandKind kind, std::string_view a, std::string_view b) {
    return kind == CommandKind::Rcon ? SameWord(a, b) : a == b;
  }

  template <class F>
  void Add(CommandKind kind, const FString& id, const F& callback) {
    std::string text = ToUtf8(id);
    std::lock_guard lock(mutex_);
    Record({true, kind, text, false});
    bool taken = std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
      return e.kind == kind && Matches(kind, e.id, text);
    });
    // The first registration under an id keeps it; a second one is refused.
    if (!taken) entries_.push_back({kind, std::move(text), currentPlugin, callback});
  }

  bool Remove(CommandKind kind, const FString& id) {
    std::string text = ToUtf8(id);
    std::lock_guard lock(mutex_);
    if (auto fault = removalFaults_.find(kind); fault != removalFaults_.end()) {
      const std::string message = std::move(fault->second);
      removalFaults_.erase(fault);
      throw std::runtime_error(message);
    }
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
      return e.kind == kind && Matches(kind, e.id, text);
    });
    bool matched = it != entries_.end();
    if (matched) entries_.erase(it);
    Record({false, kind, std::move(text), matched});
    return matched;
  }

  // Called with mutex_ held.
  void Record(RegistryEvent event) {
    if (journal_.size() == kJournalEntries) journal_.pop_front();
    journal_.push_back(std::move(event));
  }

  std::mutex mutex_;
  std::vector<Entry> entries_;
  std::deque<RegistryEvent> journal_;
  std::map<CommandKind, std::string> removalFaults_;
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
  TheRegistry().Forget(id);
  detail::DropRequestsOf(id);
}

std::vector<RegistryEvent> RegistryJournal() {
  return TheRegistry().Journal();
}
std::vector<std::string> RegisteredIds(CommandKind kind) {
  return TheRegistry().Ids(kind);
}
void ResetRegistry() {
  TheRegistry().Reset();
}
void FailRemoval(CommandKind kind, std::string message) {
  TheRegistry().FailRemoval(kind, std::move(message));
}

bool DispatchChat(AShooterPlayerController* controller, FString* text, int mode, int platform,
                  bool spamCheck, bool commandExecuted) {
  bool suppress = false;
  for (auto& [owner, callback] : TheRegistry().Snapshot<AsaApi::ChatCallback>(CommandKind::Chat)) {
    PluginScope scope(owner);
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
  auto [owner, callback] = TheRegistry().FindRcon(word);
  if (!callback) return false;
  PluginScope scope(owner);
  callback(connection, packet, world);
  return true;
}

void Tick() {
  detail::DeliverCompletions();
  for (auto& [owner, callback] :
       TheRegistry().Snapshot<AsaApi::TimerCallback>(CommandKind::Timer)) {
    PluginScope scope(owner);
    callback();
  }
}

}  // namespace qbhost

AsaApi::ICommands& AsaApi::GetCommands() {
  return qbhost::TheRegistry();
}
