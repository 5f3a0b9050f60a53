// The engine members the plug-in reads, each reached by its qualified engine
// name at every call. Looked-up functions are members of the engine's classes,
// so they are called with the object first. Nothing a lookup returns is kept.

#include <string>

#include "game/engine.h"

namespace qb {

FString* PlayerCharacterNameOf(AShooterPlayerController* controller, FString* result) {
  // The name comes back by value: the engine constructs it in the caller's slot
  // and returns the slot's address.
  using Fn = FString* (*)(AShooterPlayerController*, FString*);
  auto fn = reinterpret_cast<Fn>(GetAddress("AShooterPlayerController.GetPlayerCharacterName()"));
  return fn(controller, result);
}

APlayerState*& PlayerStateOf(AShooterPlayerController* controller) {
  return *static_cast<APlayerState**>(GetAddress(controller, "AController.PlayerState"));
}

FString& PlayerNamePrivateOf(APlayerState* playerState) {
  return *static_cast<FString*>(GetAddress(playerState, "APlayerState.PlayerNamePrivate"));
}

TArray<FWeakObjectPtr>& PlayerControllerListOf(UWorld* world) {
  return *static_cast<TArray<FWeakObjectPtr>*>(GetAddress(world, "UWorld.PlayerControllerList"));
}

AShooterPlayerController* ResolveWeak(const FWeakObjectPtr& reference) {
  // Get() is called on a copy, so the engine never touches the list entry.
  FWeakObjectPtr copy = reference;
  using Fn = UObject* (*)(FWeakObjectPtr*, bool);
  auto fn = reinterpret_cast<Fn>(GetAddress("FWeakObjectPtr.Get()"));
  return reinterpret_cast<AShooterPlayerController*>(fn(&copy, false));
}

}  // namespace qb
