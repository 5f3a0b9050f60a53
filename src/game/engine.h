#pragma once

// The thin layer between the plug-in's UTF-8 strings and the engine: the engine
// heap, text conversion and the few engine members the plug-in reads. Every
// engine member is looked up by its qualified name at every call; nothing is
// cached.

#include <cstdint>
#include <string>

#include "asaapi/host.h"

// Engine heap, through "FMemory.Malloc/Realloc/Free" looked up by name.
// A null block allocates (the alignment is then left to the engine's default).
void* EngineRealloc(void* block, std::uint64_t size, std::uint32_t alignment);
void EngineFree(void* block);

// Engine text -> UTF-8: the units up to the first NUL, never more than count.
// An empty FString (count 0) gives "".
std::string ToUtf8(const FString& text);
// UTF-8 -> engine text; the text ends at its first NUL byte.
FString ToFString(std::string text);

// Constructs the controller's character name in `result`, which must be empty
// (constructed from "") and is owned by the caller afterwards.
FString* PlayerCharacterNameOf(AShooterPlayerController* controller, FString* result);
// The controller's player-state field (may hold null).
APlayerState*& PlayerStateOf(AShooterPlayerController* controller);
// The player state's name field, owned by the engine: copy, never keep.
FString& PlayerNamePrivateOf(APlayerState* playerState);
// The world's player-controller list: weak references, read only.
TArray<FWeakObjectPtr>& PlayerControllerListOf(UWorld* world);
// The controller a weak reference points to, or null when it is gone.
AShooterPlayerController* ResolveWeak(const FWeakObjectPtr& reference);
