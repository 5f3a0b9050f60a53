// The engine members the plug-in reads, each reached by its qualified engine
// name at every call. Looked-up functions are members of the engine's classes,
// so they are called with the object first. Each name is built into a
// std::string once; the lookup itself runs at every call and nothing it
// returns is kept.

#include <string>

#include "game/engine.h"

namespace qb {

FString* PlayerCharacterNameOf(AShooterPlayerController* controller, FString* result) {
  // The name comes back by value: the engine constructs it in the caller's slot
  // and returns the slot's address.
  using Fn = FString* (*)(AShooterPlayerController*, FString*);
  static const std::string kName("AShooterPlayerController.GetPlayerCharacterName()");
  auto fn = reinterpret_cast<Fn>(GetAddress(kName));
  return fn(controller, result);
}

APlayerState*& PlayerStateOf(AShooterPlayerController* controller) {
  static const std::string kName("AController.PlayerState");
  return *static_cast<APlayerState**>(GetAddress(controller, kName));
}

FString& PlayerNamePrivateOf(APlayerState* playerState) {
  static const std::string kName("APlayerState.PlayerNamePrivate");
  return *static_cast<FString*>(GetAddress(playerState, kName));
}

TArray<FWeakObjectPtr>& PlayerControllerListOf(UWorld* world) {
  static const std::string kName("UWorld.PlayerControllerList");
  return *static_cast<TArray<FWeakObjectPtr>*>(GetAddress(world, kName));
}

AShooterPlayerController* ResolveWeak(const FWeakObjectPtr& reference) {
  // Get() is called on a copy, so the engine never touches the list entry.
  FWeakObjectPtr copy = reference;
  using Fn = UObject* (*)(FWeakObjectPtr*, bool);
  static const std::string kName("FWeakObjectPtr.Get()");
  auto fn = reinterpret_cast<Fn>(GetAddress(kName));
  return reinterpret_cast<AShooterPlayerController*>(fn(&copy, false));
}

}  // namespace qb
