#pragma once

// Harness side of the stand-in host: what the dev server and the tests use to
// drive the host that plug-ins see through host.h. Nothing here is visible to a
// plug-in.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/logger.h>

#include "asaapi/host.h"

// Exported by the stand-in host's library, imported by its users on Windows
// (QB_BUILDING_HOST is defined only while the library itself is compiled).
#if defined(_WIN32) && defined(QB_BUILDING_HOST)
#define QB_STANDIN_API __declspec(dllexport)
#elif defined(_WIN32)
#define QB_STANDIN_API __declspec(dllimport)
#else
#define QB_STANDIN_API __attribute__((visibility("default")))
#endif

namespace qbhost {

// ---------------------------------------------------------------- engine heap
struct HeapStats {
  std::size_t liveBlocks = 0;
  std::size_t liveBytes = 0;
  std::uint64_t allocations = 0;  // every successful Malloc or growing Realloc so far
};
QB_STANDIN_API HeapStats Heap();
// The nth allocation from now (1: the next) throws std::bad_alloc, once; 0: off.
QB_STANDIN_API void FailNthAllocation(std::uint64_t n);
// True while a fault set by FailNthAllocation has not fired yet.
QB_STANDIN_API bool AllocationFaultArmed();
// The engine heap as host code calls it (the plug-in goes through GetAddress).
QB_STANDIN_API void* EngineMalloc(std::uint64_t size, std::uint32_t alignment);
QB_STANDIN_API void* EngineRealloc(void* block, std::uint64_t size, std::uint32_t alignment);
QB_STANDIN_API void EngineFree(void* block);

// ------------------------------------------------------------------- text
QB_STANDIN_API std::string Utf16ToUtf8(std::u16string_view text);
QB_STANDIN_API std::u16string Utf8ToUtf16(std::string_view text);
// Text of an engine string: its units up to the first NUL, never past count.
QB_STANDIN_API std::string ToUtf8(const FString& text);

// Makes the conversion that plug-ins call (UE::Core::Private) misbehave, both
// ways, until set back to None. The host's own conversions stay correct.
enum class ConversionFault {
  None,
  NegativeLength,  // GetConvertedLength reports -1
  HugeLength,      // GetConvertedLength reports INT32_MAX
  LengthOneMore,   // GetConvertedLength reports one unit more than Convert writes
  LengthOneLess,   // one unit less: Convert then finds the destination too small
  NullResult,      // Convert returns null although the text fits
};
QB_STANDIN_API void SetConversionFault(ConversionFault fault);

// An FString built and released by host code, without the plug-in's FString
// members: the host constructs it in raw storage and frees its buffer itself.
class QB_STANDIN_API HostString {
 public:
  explicit HostString(std::string_view utf8 = {});
  ~HostString();
  HostString(const HostString&) = delete;
  HostString& operator=(const HostString&) = delete;
  FString& get() { return *ptr(); }
  FString* ptr();

 private:
  alignas(FString) unsigned char storage_[sizeof(FString)];
};

// Writes a finished engine string into `slot`, which must own no buffer; a
// failed allocation leaves the slot as it was.
QB_STANDIN_API void ConstructInto(FString* slot, std::string_view utf8);

// ---------------------------------------------------------- current directory
// What AsaApi::Tools::GetCurrentDir reports from now on, byte for byte; ""
// (the start): the process's current directory (ANSI code page on Windows).
QB_STANDIN_API void SetCurrentDir(std::string dir);

// ---------------------------------------------------------------- plug-ins
// Which plug-in the host is running code for. Registrations and requests made
// while a scope is active belong to that plug-in, and the host drops them all
// when it forgets the plug-in (before its library is closed).
using PluginId = std::uint32_t;  // 0: no plug-in
class QB_STANDIN_API PluginScope {
 public:
  explicit PluginScope(PluginId id);
  ~PluginScope();
  PluginScope(const PluginScope&) = delete;
  PluginScope& operator=(const PluginScope&) = delete;

 private:
  PluginId previous_;
};
QB_STANDIN_API PluginId CurrentPlugin();
// Drops the plug-in's registrations and its pending requests and completions,
// without calling any of them.
QB_STANDIN_API void ForgetPlugin(PluginId id);

// ----------------------------------------------------------- command registry
enum class CommandKind { Chat, Rcon, Timer };
struct RegistryEvent {
  bool added;  // false: removal
  CommandKind kind;
  std::string id;
  bool matched;  // for removals: whether something was registered under it
};
// The latest 256 registrations and removals since ResetRegistry, in order
// (older ones are forgotten: load/unload cycles must not grow the host).
QB_STANDIN_API std::vector<RegistryEvent> RegistryJournal();
QB_STANDIN_API std::vector<std::string> RegisteredIds(CommandKind kind);
// Drops every registration, the journal and the armed removal faults.
QB_STANDIN_API void ResetRegistry();
// The next removal of that kind throws std::runtime_error(message) and removes
// nothing; kinds are armed one by one, so several removals can fail in turn.
QB_STANDIN_API void FailRemoval(CommandKind kind, std::string message);

// Runs every chat callback with the arguments; true when any returned true.
QB_STANDIN_API bool DispatchChat(AShooterPlayerController* controller, FString* text, int mode,
                                 int platform, bool spamCheck, bool commandExecuted);
// Runs the RCON command named by the body's first space-separated word
// (case-insensitive). Returns false when no command matched or the connection
// is not authenticated, so that the caller can fall back to built-in commands.
QB_STANDIN_API bool DispatchRcon(RCONClientConnection* connection, RCONPacket* packet,
                                 UWorld* world, bool authenticated);
// One game-loop tick: delivers finished request completions, then runs every
// timer callback.
QB_STANDIN_API void Tick();

// ------------------------------------------------------------- API utilities
QB_STANDIN_API void SetReadyState(int state);
QB_STANDIN_API void SetCurrentWorld(UWorld* world);

// ------------------------------------------------------------------ logging
// The host's own logger: it formats its lines itself (see sinks.h).
QB_STANDIN_API std::shared_ptr<spdlog::logger> HostLogger();
// Replaces the host's sink list (and the host logger's copy of it).
QB_STANDIN_API void SetLogSinks(std::vector<std::shared_ptr<spdlog::sinks::sink>> sinks);
// The next call of GetLogSinks (the plug-in's way to its sinks) throws
// std::runtime_error, once: a plug-in whose logger cannot be made.
QB_STANDIN_API void FailNextGetLogSinks();

}  // namespace qbhost
