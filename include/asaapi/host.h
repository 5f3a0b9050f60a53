#pragma once

// The plug-in's only door to its host. Everything the plug-in uses of the host
// (command registry, API utilities, request service, log sinks, current
// directory, lookup by name, FString and text conversion, engine types) is
// declared here and nowhere else. On Windows the host is AsaApi.dll; on Linux a
// stand-in shared library implements the same declarations.
//
// FString's constructors from text belong to the host; its destructor, copy and
// move belong to the plug-in (they go through the engine heap it looks up by
// name). Host code never runs the plug-in's FString members.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <spdlog/sinks/sink.h>

// The host's exports. On Windows the plug-in imports them from the host's DLL;
// a host library built from these declarations (the stand-in host) defines
// QB_BUILDING_HOST while it is compiled, and exports them instead.
#if defined(_WIN32) && defined(QB_BUILDING_HOST)
#define QB_HOST_API __declspec(dllexport)
#elif defined(_WIN32)
#define QB_HOST_API __declspec(dllimport)
#else
#define QB_HOST_API __attribute__((visibility("default")))
#endif

// One alias for the engine's UTF-16 code unit: wchar_t is 16 bits on Windows
// only, so elsewhere char16_t takes its place. An FString of count 6 owns 12
// bytes on both.
#if defined(_WIN32)
using EngineChar = wchar_t;
#else
using EngineChar = char16_t;
#endif
static_assert(sizeof(EngineChar) == 2, "engine text is UTF-16");

// Engine string: data on the engine heap, count in code units including the
// terminating NUL (0 means empty, whatever data says), capacity in code units.
struct FString {
  EngineChar* data = nullptr;
  std::int32_t count = 0;
  std::int32_t capacity = 0;

  FString() = default;
  // Host constructors: copy the text into an engine-heap buffer of their own.
  // The empty text owns no buffer.
  QB_HOST_API explicit FString(const char* text);
  QB_HOST_API explicit FString(const EngineChar* text);

  // Plug-in operations over the engine heap.
  FString(const FString& other);
  FString(FString&& other) noexcept;
  FString& operator=(const FString& other);
  FString& operator=(FString&& other) noexcept;
  ~FString();
};

// Engine dynamic array: element pointer, then a signed 32-bit element count.
template <class T>
struct TArray {
  T* data;
  std::int32_t count;
  std::int32_t capacity;
};

// Weak object reference, 8 bytes: object index and serial number.
struct FWeakObjectPtr {
  std::int32_t objectIndex;
  std::int32_t objectSerialNumber;
};
static_assert(sizeof(FWeakObjectPtr) == 8);

// Opaque engine types: the plug-in reaches their members only by lookup name.
struct UWorld;
struct UObject;
struct AShooterPlayerController;
struct APlayerState;
struct RCONClientConnection;

struct RCONPacket {
  std::int32_t length;
  std::int32_t id;
  std::int32_t type;
  FString body;
};

namespace AsaApi {

using ChatCallback = std::function<bool(AShooterPlayerController*, FString*, int, int, bool, bool)>;
using RconCallback = std::function<void(RCONClientConnection*, RCONPacket*, UWorld*)>;
using TimerCallback = std::function<void()>;

// The host's command registry. The host copies ids and callbacks. Slot order
// matters on the real host, so these six stay in this order.
class ICommands {
 public:
  virtual void RegisterRconCommand(const FString& word, const RconCallback& callback) = 0;
  virtual void RegisterTimerCallback(const FString& id, const TimerCallback& callback) = 0;
  virtual void RegisterChatCallback(const FString& id, const ChatCallback& callback) = 0;
  virtual bool UnregisterRconCommand(const FString& word) = 0;
  virtual bool UnregisterTimerCallback(const FString& id) = 0;
  virtual bool UnregisterChatCallback(const FString& id) = 0;

 protected:
  ~ICommands() = default;
};

// Delivers chat lines to single players on behalf of one plug-in.
class ChatRelay {
 public:
  UWorld* world;  // never null

  explicit ChatRelay(UWorld* w) : world(w) {}
  ChatRelay(const ChatRelay&) = delete;
  ChatRelay& operator=(const ChatRelay&) = delete;
  virtual void SendToPlayer(AShooterPlayerController* controller, const FString& sender,
                            const FString& message) = 0;

 protected:
  virtual ~ChatRelay() = default;
};

class IApiUtils {
 public:
  virtual UWorld* CurrentWorld() = 0;
  virtual int ReadyState() = 0;  // 1 allows reading the world
  // `libraryPath` is the full path of the calling plug-in's library file.
  virtual std::shared_ptr<ChatRelay> ChatRelayFor(const FString& libraryPath) = 0;

 protected:
  ~IApiUtils() = default;
};

QB_HOST_API ICommands& GetCommands();
QB_HOST_API IApiUtils& GetApiUtils();

namespace Tools {
// Base directory of the server, without a trailing separator.
QB_HOST_API std::string GetCurrentDir();
}  // namespace Tools

}  // namespace AsaApi

namespace API {

// Asynchronous HTTP requests. CreatePostRequest returns at once; the callback
// runs later on the game thread with (success, text, headers). The three numbers
// are the connect, receive and send timeouts in seconds (0 picks a default).
class Requests {
 public:
  using Callback =
      std::function<void(bool, std::string, std::unordered_map<std::string, std::string>)>;

  QB_HOST_API static Requests& Get();
  QB_HOST_API bool CreatePostRequest(const std::string& url, const Callback& callback,
                                     const std::string& postData, const std::string& contentType,
                                     std::vector<std::string> headers, long connectTimeout,
                                     long receiveTimeout, long sendTimeout);

  Requests(const Requests&) = delete;
  Requests& operator=(const Requests&) = delete;

 private:
  Requests() = default;
  ~Requests() = default;
  friend struct RequestsAccess;
};

}  // namespace API

// The host's log sinks, shared by every logger in the process.
QB_HOST_API std::vector<std::shared_ptr<spdlog::sinks::sink>>& GetLogSinks();

// Lookup by name. Every name must resolve; an unknown one is fatal.
QB_HOST_API void* GetAddress(const std::string& name);
QB_HOST_API void* GetAddress(const void* object, const std::string& name);

namespace UE::Core::Private {
// The destination pointer of GetConvertedLength only selects the direction.
// Lengths are in source units; the result is in destination units. What cannot
// be represented (a lone surrogate, a malformed UTF-8 sequence) becomes "?".
QB_HOST_API std::int32_t GetConvertedLength(const char* destTag, const EngineChar* src,
                                            std::int32_t srcLen);
QB_HOST_API std::int32_t GetConvertedLength(const EngineChar* destTag, const char* src,
                                            std::int32_t srcLen);
// Converts srcLen units into dest, writing at most destLen units. Returns dest,
// or null when dest is too small.
QB_HOST_API char* Convert(char* dest, std::int32_t destLen, const EngineChar* src,
                          std::int32_t srcLen);
QB_HOST_API EngineChar* Convert(EngineChar* dest, std::int32_t destLen, const char* src,
                                std::int32_t srcLen);
}  // namespace UE::Core::Private
