// Lookup by name: the simulated engine's functions and field offsets under the
// engine's qualified names. An unknown name is fatal, as on the real host, and
// the message names it so that a typo is found at once.

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>

#include "engine_objects.h"
#include "host_internal.h"
#include "qbhost/standin.h"

namespace {

template <class F>
void* Fn(F* function) {
  return reinterpret_cast<void*>(function);
}

const std::unordered_map<std::string, void*>& Functions() {
  static const std::unordered_map<std::string, void*> table = {
      {"FMemory.Malloc(unsigned__int64,unsignedint)", Fn(&qbhost::EngineMalloc)},
      {"FMemory.Realloc(void*,unsigned__int64,unsignedint)", Fn(&qbhost::EngineRealloc)},
      {"FMemory.Free(void*)", Fn(&qbhost::EngineFree)},
      {"AShooterPlayerController.GetPlayerCharacterName()",
       Fn(&qbhost::detail::GetPlayerCharacterName)},
      {"FWeakObjectPtr.Get()", Fn(&qbhost::detail::WeakObjectGet)},
      {"RCONClientConnection.SendMessage(int,int,FString&)", Fn(&qbhost::detail::RconSendMessage)},
  };
  return table;
}

const std::unordered_map<std::string, std::ptrdiff_t>& Fields() {
  static const std::unordered_map<std::string, std::ptrdiff_t> table = {
      {"AController.PlayerState", offsetof(AShooterPlayerController, playerState)},
      {"APlayerState.PlayerNamePrivate", offsetof(APlayerState, playerNamePrivate)},
      {"UWorld.PlayerControllerList", offsetof(UWorld, playerControllerList)},
  };
  return table;
}

[[noreturn]] void Unknown(const char* kind, const std::string& name) {
  std::fprintf(stderr, "GetAddress: unknown engine %s \"%s\"\n", kind, name.c_str());
  std::abort();
}

}  // namespace

void* GetAddress(const std::string& name) {
  const auto& table = Functions();
  auto it = table.find(name);
  if (it == table.end()) Unknown("function", name);
  return it->second;
}

void* GetAddress(const void* object, const std::string& name) {
  const auto& table = Fields();
  auto it = table.find(name);
  if (it == table.end()) Unknown("field", name);
  return const_cast<char*>(static_cast<const char*>(object)) + it->second;
}
