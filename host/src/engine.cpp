// The simulated engine: worlds, players and the object table that weak
// references (object index, serial number) resolve through. A slot freed when
// a player leaves may be handed out again, but only under a new serial, so
// the departed player's references stay null (see RemovePlayer in engine.h).

#include <algorithm>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "engine_objects.h"
#include "host_internal.h"

namespace qbhost {
namespace {

class ObjectTable {
 public:
  FWeakObjectPtr Add(void* object) {
    auto it =
        std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.serial == 0; });
    if (it == slots_.end()) it = slots_.insert(slots_.end(), Slot{});
    *it = {object, nextSerial_++, false};
    return {static_cast<std::int32_t>(it - slots_.begin()), it->serial};
  }

  void Remove(const FWeakObjectPtr& ref) {
    if (Get(ref, true) != nullptr) slots_[static_cast<std::size_t>(ref.objectIndex)] = {};
  }

  void MarkPendingKill(const FWeakObjectPtr& ref) {
    if (Get(ref, true) != nullptr)
      slots_[static_cast<std::size_t>(ref.objectIndex)].pendingKill = true;
  }

  // Serial 0 never matches: it marks a null reference and a free slot.
  void* Get(const FWeakObjectPtr& ref, bool evenIfPendingKill) const {
    if (ref.objectIndex < 0 || static_cast<std::size_t>(ref.objectIndex) >= slots_.size()) {
      return nullptr;
    }
    const auto& slot = slots_[static_cast<std::size_t>(ref.objectIndex)];
    if (ref.objectSerialNumber == 0 || slot.serial != ref.objectSerialNumber) return nullptr;
    return slot.pendingKill && !evenIfPendingKill ? nullptr : slot.object;
  }

 private:
  struct Slot {
    void* object = nullptr;
    std::int32_t serial = 0;
    bool pendingKill = false;
  };
  std::vector<Slot> slots_;
  std::int32_t nextSerial_ = 1;
};

ObjectTable& Objects() {
  static ObjectTable table;
  return table;
}

// Every world that exists, so that a reference can be recognised as an entry
// of one's player-controller list.
std::unordered_set<const UWorld*>& Worlds() {
  static std::unordered_set<const UWorld*> worlds;
  return worlds;
}

bool IsPlayerListEntry(const FWeakObjectPtr* reference) {
  const std::less<const FWeakObjectPtr*> before;
  for (const UWorld* world : Worlds()) {
    const FWeakObjectPtr* first = world->listStorage.data();
    const FWeakObjectPtr* end = first + world->listStorage.size();
    if (!before(reference, first) && before(reference, end)) return true;
  }
  return false;
}

// Every controller the host keeps (alive or departed), to tell them from
// pointers it never made without dereferencing those.
std::unordered_set<const AShooterPlayerController*>& KnownControllers() {
  static std::unordered_set<const AShooterPlayerController*> known;
  return known;
}

void RefreshList(UWorld& world) {
  world.playerControllerList.data = world.listStorage.data();
  world.playerControllerList.count = static_cast<std::int32_t>(world.listStorage.size());
  world.playerControllerList.capacity = static_cast<std::int32_t>(world.listStorage.capacity());
}

// Replaces an engine string held in raw storage; the old buffer goes only once
// the new text is in place.
void ReplaceText(FString* slot, std::string_view utf8) {
  EngineChar* const oldData = slot->data;
  ConstructInto(slot, utf8);  // writes the slot only once the new block exists
  EngineFree(oldData);
}

}  // namespace

namespace detail {

FString* GetPlayerCharacterName(AShooterPlayerController* self, FString* result) {
  // Written over the slot as the engine does: a buffer the slot owned is lost.
  ConstructInto(result, self->characterName);
  return result;
}

UObject* WeakObjectGet(FWeakObjectPtr* self, bool evenIfPendingKill) {
  if (IsPlayerListEntry(self)) {
    throw std::logic_error(
        "FWeakObjectPtr.Get() called on an entry of the world's player-controller list; "
        "a plug-in calls it on its own copy of the entry");
  }
  return static_cast<UObject*>(Objects().Get(*self, evenIfPendingKill));
}

AShooterPlayerController* FindController(const AShooterPlayerController* pointer) {
  const auto& known = KnownControllers();
  return known.count(pointer) != 0 ? const_cast<AShooterPlayerController*>(pointer) : nullptr;
}

AShooterPlayerController& Known(AShooterPlayerController* controller, const char* caller) {
  auto* found = detail::FindController(controller);
  if (found == nullptr) {
    throw std::invalid_argument(std::string(caller) + ": not a player controller of the host");
  }
  return *found;
}

}  // namespace detail

UWorld* CreateWorld() {
  auto world = std::make_unique<UWorld>();
  Worlds().insert(world.get());
  return world.release();
}

void DestroyWorld(UWorld* world) {
  if (world == nullptr) return;
  for (auto& controller : world->controllers) {
    Objects().Remove(controller->self);
    KnownControllers().erase(controller.get());
  }
  if (AsaApi::GetApiUtils().CurrentWorld() == world) SetCurrentWorld(nullptr);
  Worlds().erase(world);
  delete world;
}

AShooterPlayerController* AddPlayer(UWorld* world, const PlayerOptions& options) {
  if (world == nullptr) throw std::invalid_argument("AddPlayer: no world");
  auto controller = std::make_unique<AShooterPlayerController>();
  controller->world = world;
  controller->characterName = options.characterName;
  if (options.withPlayerState) {
    controller->playerState = new APlayerState();
    ConstructInto(controller->playerState->Name(), options.playerName);
  }
  // Make room first, so that nothing below can fail half way.
  world->controllers.reserve(world->controllers.size() + 1);
  world->listStorage.reserve(world->listStorage.size() + 1);
  KnownControllers().reserve(KnownControllers().size() + 1);

  controller->self = Objects().Add(controller.get());
  KnownControllers().insert(controller.get());
  world->listStorage.push_back(controller->self);
  RefreshList(*world);
  world->controllers.push_back(std::move(controller));
  return world->controllers.back().get();
}

void RemovePlayer(AShooterPlayerController* controller) {
  auto& c = detail::Known(controller, "RemovePlayer");
  if (c.departed) return;
  Objects().Remove(c.self);
  c.departed = true;
  delete c.playerState;
  c.playerState = nullptr;
}

void BeginDestroyPlayer(AShooterPlayerController* controller) {
  auto& c = detail::Known(controller, "BeginDestroyPlayer");
  if (!c.departed) Objects().MarkPendingKill(c.self);
}

void SetPlayerName(AShooterPlayerController* controller, std::string_view name) {
  auto& c = detail::Known(controller, "SetPlayerName");
  if (c.playerState == nullptr) {
    throw std::logic_error("SetPlayerName: the controller has no player state");
  }
  ReplaceText(c.playerState->Name(), name);
}

std::vector<AShooterPlayerController*> LivePlayers(UWorld* world) {
  std::vector<AShooterPlayerController*> live;
  if (world == nullptr) return live;
  for (const auto& ref : world->listStorage) {
    if (void* object = Objects().Get(ref, false)) {
      live.push_back(static_cast<AShooterPlayerController*>(object));
    }
  }
  return live;
}

std::string PlayerLabel(AShooterPlayerController* controller) {
  auto& c = detail::Known(controller, "PlayerLabel");
  // Appended piece by piece: "#" + std::to_string(...) trips a false -Wrestrict
  // in GCC 12 at -O3.
  std::string label = "#";
  label += std::to_string(c.self.objectIndex);
  if (c.departed) return label + " (left)";
  std::string name = c.playerState != nullptr ? ToUtf8(*c.playerState->Name()) : std::string();
  if (name.empty()) name = c.characterName;
  return name.empty() ? label : label + " " + name;
}

}  // namespace qbhost
